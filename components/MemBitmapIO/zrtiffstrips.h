// A TIFF image read one strip at a time, each row as bitmap pixels (blue, green, red, and
// alpha for 4-byte pixels), so that a caller can place rows where it wants them without a
// bitmap of the whole image.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

namespace qb {

class TzrTiffStrips {
public:
    // The current directory of `tif`, `width` × `height` pixels in strips of `rowsPerStrip`
    // rows (a strip taller than the image holds the whole image), read as pixels of
    // `bytesPerPixel` (3 or 4) bytes.
    TzrTiffStrips(TIFF* tif, int width, int height, int rowsPerStrip, int bytesPerPixel);

    int Count() const { return strips_; }
    int FirstRow(int strip) const { return strip * rows_; }
    int RowsIn(int strip) const;
    // Decodes a strip; raises the codec's failure.
    void Read(int strip);
    // Row i (0 = the strip's first row) of the strip read last.
    const std::uint8_t* Row(int i) const { return pixels_.data() + std::size_t(i) * rowBytes_; }

    // The 8-bit RGB and RGBA files whose stored samples are the pixels as they are (plain
    // strips, top-left orientation) are decoded directly; every other layout goes through
    // the codec's RGBA reader.
    bool Direct() const { return direct_; }

private:
    TIFF* tif_;
    int width_, height_, rows_, strips_, bpp_;
    int samples_ = 0;
    bool direct_ = false;
    std::size_t rowBytes_;
    std::vector<std::uint8_t> pixels_;
    std::vector<std::uint8_t> raw_;
    std::vector<std::uint32_t> rgba_;
};

}  // namespace qb
