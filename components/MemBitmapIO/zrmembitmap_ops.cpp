// Pixel operations of the memory bitmap, part 1: rectangle arithmetic, fills, crops with a
// fill colour, alpha compositing and the test pattern.
//
// Every operation takes its own holds (scoped, so they end on every path out) and works
// row by row through GetScanline, so in-memory and on-disk bitmaps are served alike.
#include <algorithm>
#include <cstring>
#include <limits>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

namespace qb {

namespace {

constexpr std::int64_t kMinInt = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int32_t>::max();

// Rectangles come from project files and callers; their arithmetic saturates instead of
// wrapping around, so that absurd values clip to nothing rather than to garbage.
std::int32_t Saturate(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp(v, kMinInt, kMaxInt));
}

std::int64_t Width64(const TRect& r) { return std::int64_t{r.right} - r.left; }
std::int64_t Height64(const TRect& r) { return std::int64_t{r.bottom} - r.top; }
bool Empty64(const TRect& r) { return Width64(r) <= 0 || Height64(r) <= 0; }

// Copies n pixels between rows of different formats. Each pixel goes through a 32-bit
// value that starts as 0xFF000000 before the source bytes are laid over it: pf24bit to
// pf32bit gives alpha 255, pf32bit to pf24bit drops alpha.
void ConvertPixels(const std::uint8_t* src, int srcBpp, std::uint8_t* dst, int dstBpp, std::int64_t n) {
    if (srcBpp == 3 && dstBpp == 4) {
        for (std::int64_t i = 0; i < n; ++i, src += 3, dst += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = 0xFF;
        }
    } else if (srcBpp == 4 && dstBpp == 3) {
        for (std::int64_t i = 0; i < n; ++i, src += 4, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    } else {
        std::memcpy(dst, src, static_cast<std::size_t>(n) * static_cast<std::size_t>(srcBpp));
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Rectangle arithmetic
// ---------------------------------------------------------------------------------------

TRect TzrMemBitmap::IntersectRect(const TRect& a, const TRect& b) {
    const TRect r(std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                  std::min(a.bottom, b.bottom));
    if (Width64(r) < 1 || Height64(r) < 1) return TRect(0, 0, 0, 0);
    return r;
}

bool TzrMemBitmap::RectsOverlap(const TRect& a, const TRect& b) {
    return !Empty64(IntersectRect(a, b));
}

void TzrMemBitmap::SubstractRect(const TRect& a, const TRect& b, std::array<TRect, 4>& out) {
    out.fill(TRect(0, 0, 0, 0));
    if (!RectsOverlap(a, b)) {
        out[0] = a;
        return;
    }
    // Bands above, left of, right of and below b; the side bands span b's own height and
    // are clipped by the users.
    const TRect candidates[4] = {
        TRect(a.left, a.top, a.right, b.top),
        TRect(a.left, b.top, b.left, b.bottom),
        TRect(b.right, b.top, a.right, b.bottom),
        TRect(a.left, b.bottom, a.right, a.bottom),
    };
    int n = 0;
    for (const TRect& c : candidates) {
        if (!Empty64(c)) out[n++] = c;
    }
}

TRect TzrMemBitmap::fitRect(TRect& r, const TRect& bounds) {
    TRect d;
    if (r.left < bounds.left) {
        d.left = Saturate(std::int64_t{bounds.left} - r.left);
        r.left = bounds.left;
    }
    if (r.top < bounds.top) {
        d.top = Saturate(std::int64_t{bounds.top} - r.top);
        r.top = bounds.top;
    }
    if (r.right > bounds.right) {
        d.right = Saturate(std::int64_t{bounds.right} - r.right);
        r.right = bounds.right;
    }
    if (r.bottom > bounds.bottom) {
        d.bottom = Saturate(std::int64_t{bounds.bottom} - r.bottom);
        r.bottom = bounds.bottom;
    }
    return d;
}

void TzrMemBitmap::addRect(TRect& r, const TRect& d) {
    r.left = Saturate(std::int64_t{r.left} + d.left);
    r.top = Saturate(std::int64_t{r.top} + d.top);
    r.right = Saturate(std::int64_t{r.right} + d.right);
    r.bottom = Saturate(std::int64_t{r.bottom} + d.bottom);
}

// ---------------------------------------------------------------------------------------
// Fills
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::FillColor(TColor color) {
    TzrWriteHold hold(*this);
    FillColor(color, TRect(0, 0, Width, Height), false);
}

void TzrMemBitmap::FillColor(TColor color, const TRect& rect, bool alphaOnly) {
    TzrWriteHold hold(*this);
    if (Empty64(rect)) return;
    const int left = std::max(rect.left, 0);
    const int top = std::max(rect.top, 0);
    const int right = std::min(rect.right, Width);
    const int bottom = std::min(rect.bottom, Height);
    if (right <= left || bottom <= top) return;
    const int bpp = GetBytesPerPixel();
    if (bpp == 3 && alphaOnly) return;  // no alpha byte to write
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(color), static_cast<std::uint8_t>(color >> 8),
        static_cast<std::uint8_t>(color >> 16), static_cast<std::uint8_t>(color >> 24)};
    const int n = right - left;
    for (int y = bottom - 1; y >= top; --y) {
        std::uint8_t* p = GetScanline(y) + std::size_t(left) * bpp;
        if (bpp == 4) {
            if (alphaOnly) {
                for (int i = 0; i < n; ++i) p[std::size_t(i) * 4 + 3] = bytes[3];
            } else {
                for (int i = 0; i < n; ++i) std::memcpy(p + std::size_t(i) * 4, bytes, 4);
            }
        } else {
            for (int i = 0; i < n; ++i) std::memcpy(p + std::size_t(i) * 3, bytes, 3);
        }
    }
}

void TzrMemBitmap::FillAlphaChannel(std::uint8_t alpha) {
    TzrWriteHold hold(*this);
    FillColor(TColor{alpha} << 24, TRect(0, 0, Width, Height), true);
}

// ---------------------------------------------------------------------------------------
// Crops
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::ExtractCropFrom(const TzrMemBitmap& source, const TRect& crop, TColor fill,
                                   bool keepOwnFormat) {
    if (&source == this) {
        // Cropping a bitmap into itself: the crop is built in a new bitmap (of the same
        // format, which is the target format either way) and its storage taken over, so
        // the source rows are never overwritten while they are read.
        TzrMemBitmap crop2;
        crop2.SetPixelFormat(PixelFormat);
        crop2.ExtractCropFrom(source, crop, fill, true);
        Set(&crop2);
        return;
    }
    TzrReadHold sourceHold(source);
    TzrWriteHold hold(*this);

    const TPixelFormat format = keepOwnFormat ? PixelFormat : source.GetPixelFormat();
    const std::int64_t cropWidth = Width64(crop);
    const std::int64_t cropHeight = Height64(crop);
    if (cropWidth > kMaxInt || cropHeight > kMaxInt) {
        throw EOutOfMemory("Out of memory: could not allocate " +
                           std::to_string(static_cast<unsigned long long>(cropWidth) *
                                          static_cast<unsigned long long>(cropHeight) *
                                          static_cast<unsigned>(GetBytesPerPixel(format))) +
                           " bytes");
    }
    SetWidthHeightPixelFormat(static_cast<int>(cropWidth), static_cast<int>(cropHeight), format, false);

    TRect dest(0, 0, Width, Height);
    TRect src = crop;
    addRect(dest, fitRect(src, TRect(0, 0, source.GetWidth(), source.GetHeight())));
    if (Empty64(dest)) {
        FillColor(fill);
        return;
    }

    const int srcBpp = source.GetBytesPerPixel();
    const int dstBpp = GetBytesPerPixel();
    const std::int64_t n = Width64(dest);
    for (int i = static_cast<int>(Height64(dest)) - 1; i >= 0; --i) {
        const std::uint8_t* s = source.GetScanline(src.top + i) + std::size_t(src.left) * srcBpp;
        std::uint8_t* d = GetScanline(dest.top + i) + std::size_t(dest.left) * dstBpp;
        ConvertPixels(s, srcBpp, d, dstBpp, n);
    }

    std::array<TRect, 4> bands;
    SubstractRect(TRect(0, 0, Width, Height), dest, bands);
    for (const TRect& band : bands) FillColor(fill, band, false);
}

// ---------------------------------------------------------------------------------------
// Alpha compositing
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::copyAlphaBitmap(const TzrMemBitmap& source, const TPoint& position,
                                   const TRect& sourceRect, std::uint8_t alpha) {
    const auto supported = [](TPixelFormat f) { return f == pf24bit || f == pf32bit; };
    if (!supported(source.GetPixelFormat()) || !supported(PixelFormat)) {
        throw Exception("Need pf24bit or pf32bit bitmaps");
    }
    if (&source == this) {
        // Compositing a bitmap onto itself: the source pixels are taken from a copy, so
        // that overlapping areas read the original pixels rather than ones already blended.
        TzrMemBitmap copy;
        copy.Assign(this);
        copyAlphaBitmap(copy, position, sourceRect, alpha);
        return;
    }
    TzrReadHold sourceHold(source);
    TzrWriteHold hold(*this);

    TRect src = sourceRect;
    TRect dest(position.x, position.y, Saturate(std::int64_t{position.x} + Width64(sourceRect)),
               Saturate(std::int64_t{position.y} + Height64(sourceRect)));
    addRect(dest, fitRect(src, TRect(0, 0, source.GetWidth(), source.GetHeight())));
    addRect(src, fitRect(dest, TRect(0, 0, Width, Height)));
    if (Empty64(dest) || Empty64(src)) return;

    const int srcBpp = source.GetBytesPerPixel();
    const int dstBpp = GetBytesPerPixel();
    const int n = static_cast<int>(std::min(Width64(dest), Width64(src)));
    const int rows = static_cast<int>(std::min(Height64(dest), Height64(src)));
    for (int i = rows - 1; i >= 0; --i)
        BlendRow(source.GetScanline(src.top + i) + std::size_t(src.left) * srcBpp, srcBpp,
                 GetScanline(dest.top + i) + std::size_t(dest.left) * dstBpp, dstBpp, n, alpha);
}

void TzrMemBitmap::BlendRow(const std::uint8_t* s, int srcBpp, std::uint8_t* d, int dstBpp, int n,
                            std::uint8_t alpha) {
    for (int x = 0; x < n; ++x, s += srcBpp, d += dstBpp) {
        const unsigned t = srcBpp == 4 ? unsigned{alpha} * s[3] / 255u : alpha;
        if (t == 0) continue;
        if (t == 255) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
            if (dstBpp == 4) d[3] = 255;
        } else {
            const unsigned u = 255u - t;
            d[0] = static_cast<std::uint8_t>((d[0] * u + t * s[0]) / 255u);
            d[1] = static_cast<std::uint8_t>((d[1] * u + t * s[1]) / 255u);
            d[2] = static_cast<std::uint8_t>((d[2] * u + t * s[2]) / 255u);
            if (dstBpp == 4) d[3] = static_cast<std::uint8_t>(d[3] + t * (255u - d[3]) / 255u);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Test pattern
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::MakeX(int width, int height) {
    TzrWriteHold hold(*this);
    SetWidthHeightPixelFormat(width, height, pf24bit, false);
    for (int y = 0; y < Height; ++y) {
        std::uint8_t* p = GetScanline(y);
        const bool lowerHalf = 2 * std::int64_t{y} >= Height;
        for (int x = 0; x < Width; ++x, p += 3) {
            const bool rightHalf = 2 * std::int64_t{x} >= Width;
            const bool red = rightHalf == lowerHalf;
            p[0] = red ? 0 : 255;
            p[1] = red ? 0 : 255;
            p[2] = 255;
        }
    }
}

}  // namespace qb
