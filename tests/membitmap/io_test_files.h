// Test files made with libtiff and libjpeg themselves, and reference decodes, for the
// bitmap's file input and output tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

namespace qb::test {

// A pixel of a test image in red, green, blue, alpha.
struct Rgba {
    std::uint8_t r, g, b, a;
};

// A pattern that differs in every channel from pixel to pixel.
inline Rgba PatternPixel(int x, int y) {
    return Rgba{static_cast<std::uint8_t>(x * 7 + y * 3), static_cast<std::uint8_t>(x * 5 + y * 11 + 17),
                static_cast<std::uint8_t>(x * 13 + y + 101), static_cast<std::uint8_t>(x * 3 + y * 9 + 1)};
}

struct TiffLayout {
    int width = 37;
    int height = 23;
    int samples = 3;          // 1 grey or palette, 3 RGB, 4 RGBA (associated alpha)
    int bits = 8;             // 8 or 16
    bool palette = false;     // samples 1: colour map instead of grey
    int rowsPerStrip = 0;     // 0: tag left out (one strip)
    int tile = 0;             // > 0: tiles of tile × tile instead of strips
    bool planarTag = true;    // write PlanarConfiguration
    int resolutionUnit = 0;   // 0: tag left out
    float xResolution = 0;    // 0: tag left out
    float yResolution = 0;
    int pages = 1;            // page p holds the pattern shifted by p rows
};

// Colour map entry i of palette test files.
inline Rgba PaletteColour(int index) {
    return Rgba{static_cast<std::uint8_t>(255 - index), static_cast<std::uint8_t>(index * 3),
                static_cast<std::uint8_t>(index ^ 0x5A), 255};
}

// Writes a TIFF; the pixel at (x, y) of page p is PatternPixel(x, y + p); greyscale and
// palette files hold its red channel as grey value or colour index. 16-bit samples hold
// v * 257 for the 8-bit value v.
inline void WriteTiff(const std::string& path, const TiffLayout& layout) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr) throw std::runtime_error("cannot create " + path);
    for (int page = 0; page < layout.pages; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(layout.width));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(layout.height));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        if (layout.planarTag) TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        if (layout.samples >= 3) {
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        } else if (layout.palette) {
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
            const int n = 1 << layout.bits;
            std::vector<std::uint16_t> r(n), g(n), b(n);
            for (int i = 0; i < n; ++i) {
                const Rgba c = PaletteColour(i & 255);
                r[i] = static_cast<std::uint16_t>(c.r * 257);
                g[i] = static_cast<std::uint16_t>(c.g * 257);
                b[i] = static_cast<std::uint16_t>(c.b * 257);
            }
            TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
        } else {
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        }
        if (layout.samples == 4) {
            const std::uint16_t extra[1] = {EXTRASAMPLE_ASSOCALPHA};
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
        }
        if (layout.resolutionUnit != 0) TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, layout.resolutionUnit);
        if (layout.xResolution != 0) TIFFSetField(tif, TIFFTAG_XRESOLUTION, layout.xResolution);
        if (layout.yResolution != 0) TIFFSetField(tif, TIFFTAG_YRESOLUTION, layout.yResolution);
        if (layout.tile > 0) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, layout.tile);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, layout.tile);
        } else if (layout.rowsPerStrip > 0) {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
        }
        const int bytesPerSample = layout.bits / 8;
        const int pixelBytes = layout.samples * bytesPerSample;
        auto sampleAt = [&](int x, int y, int s) -> int {
            const Rgba p = PatternPixel(x, y + page);
            const std::uint8_t v[4] = {p.r, p.g, p.b, p.a};
            if (layout.samples == 4 && s < 3) return v[s] * p.a / 255;  // associated alpha
            return v[s];
        };
        auto fill = [&](std::uint8_t* out, int x, int y) {
            for (int s = 0; s < layout.samples; ++s) {
                const int v = sampleAt(x, y, s);
                if (layout.bits == 16) {
                    const std::uint16_t w = static_cast<std::uint16_t>(v * 257);
                    std::memcpy(out + s * 2, &w, 2);
                } else {
                    out[s] = static_cast<std::uint8_t>(v);
                }
            }
        };
        if (layout.tile > 0) {
            std::vector<std::uint8_t> tile(static_cast<size_t>(layout.tile) * layout.tile * pixelBytes);
            for (int ty = 0; ty < layout.height; ty += layout.tile)
                for (int tx = 0; tx < layout.width; tx += layout.tile) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int y = 0; y < layout.tile && ty + y < layout.height; ++y)
                        for (int x = 0; x < layout.tile && tx + x < layout.width; ++x)
                            fill(tile.data() + (static_cast<size_t>(y) * layout.tile + x) * pixelBytes, tx + x, ty + y);
                    TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0);
                }
        } else {
            std::vector<std::uint8_t> row(static_cast<size_t>(layout.width) * pixelBytes);
            for (int y = 0; y < layout.height; ++y) {
                for (int x = 0; x < layout.width; ++x) fill(row.data() + static_cast<size_t>(x) * pixelBytes, x, y);
                if (TIFFWriteScanline(tif, row.data(), y, 0) != 1) throw std::runtime_error("scanline");
            }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

// Writes a JPEG of the pattern (components 1: the red channel as grey).
inline void WriteJpeg(const std::string& path, int width, int height, int components, bool progressive,
                      int quality = 90) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = width;
    c.image_height = height;
    c.input_components = components;
    c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<std::uint8_t> row(static_cast<size_t>(width) * components);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgba p = PatternPixel(x, y);
            if (components == 1) {
                row[x] = p.r;
            } else {
                row[x * 3] = p.r;
                row[x * 3 + 1] = p.g;
                row[x * 3 + 2] = p.b;
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

// Decodes a JPEG with libjpeg's own file source into rows of blue, green, red.
struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgr;
};
// A JPEG file opened with libjpeg's own file source, its header read; closed on every path.
struct JpegReader {
    FILE* f = nullptr;
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    explicit JpegReader(const std::string& path) {
        f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) throw std::runtime_error("cannot open " + path);
        d.err = jpeg_std_error(&err);
        jpeg_create_decompress(&d);
        jpeg_stdio_src(&d, f);
        jpeg_read_header(&d, TRUE);
    }
    ~JpegReader() {
        jpeg_destroy_decompress(&d);
        std::fclose(f);
    }
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;
};

inline Decoded DecodeJpegReference(const std::string& path) {
    Decoded out;
    JpegReader reader(path);
    jpeg_decompress_struct& d = reader.d;
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    out.width = static_cast<int>(d.output_width);
    out.height = static_cast<int>(d.output_height);
    out.bgr.resize(static_cast<size_t>(out.width) * out.height * 3);
    std::vector<std::uint8_t> row(static_cast<size_t>(out.width) * 3);
    while (d.output_scanline < d.output_height) {
        const int y = static_cast<int>(d.output_scanline);
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&d, &r, 1);
        for (int x = 0; x < out.width; ++x) {
            std::uint8_t* o = out.bgr.data() + (static_cast<size_t>(y) * out.width + x) * 3;
            o[0] = row[x * 3 + 2];
            o[1] = row[x * 3 + 1];
            o[2] = row[x * 3];
        }
    }
    jpeg_finish_decompress(&d);
    return out;
}

// Header facts of a JPEG: density unit and values, progressive mode, the first value of the
// luminance quantisation table.
struct JpegFacts {
    int width = 0, height = 0, components = 0;
    int densityUnit = 0, xDensity = 0, yDensity = 0;
    bool progressive = false;
    int quant0 = 0;
};
inline JpegFacts ReadJpegFacts(const std::string& path) {
    JpegFacts facts;
    JpegReader reader(path);
    const jpeg_decompress_struct& d = reader.d;
    facts.width = static_cast<int>(d.image_width);
    facts.height = static_cast<int>(d.image_height);
    facts.components = d.num_components;
    facts.densityUnit = d.density_unit;
    facts.xDensity = d.X_density;
    facts.yDensity = d.Y_density;
    facts.progressive = d.progressive_mode != 0;
    facts.quant0 = d.quant_tbl_ptrs[0] != nullptr ? d.quant_tbl_ptrs[0]->quantval[0] : -1;
    return facts;
}

}  // namespace qb::test
