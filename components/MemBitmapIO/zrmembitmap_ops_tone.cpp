// Pixel operations of the memory bitmap, part 3: brightness and contrast (on memory
// bitmaps and on QImages), the contrast measure, automatic contrast and the patch
// difference used for matching.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include <QImage>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

namespace qb {

namespace {

// The brightness/contrast mapping of one channel value, as a table of all 256 values:
// v = value - 128 + brightness, limited to -128..127; v = (v x factor) >> 4 (arithmetic
// shift), limited again; the value becomes v + 128, where factor = trunc(10^(c/100) x 16).
std::array<std::uint8_t, 256> ToneTable(int brightness, int contrast) {
    const int factor = static_cast<int>(std::pow(10.0, contrast * 0.01) * 16.0);
    std::array<std::uint8_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        int v = std::clamp(value - 128 + brightness, -128, 127);
        v = (v * factor) >> 4;  // arithmetic on negative values, as the shift is meant
        v = std::clamp(v, -128, 127);
        table[value] = static_cast<std::uint8_t>(v + 128);
    }
    return table;
}

// Applies the table to blue, green and red of n pixels of bpp bytes; a fourth byte
// (alpha) is left alone.
void ApplyTable(const std::array<std::uint8_t, 256>& table, std::uint8_t* p, int n, int bpp) {
    for (int i = 0; i < n; ++i, p += bpp) {
        p[0] = table[p[0]];
        p[1] = table[p[1]];
        p[2] = table[p[2]];
    }
}

// Bytes per pixel of a QImage whose first three bytes of a pixel are colour channels in
// some order and whose fourth byte, if any, is alpha or unused; 0 for any other layout.
int ToneBytesPerPixel(QImage::Format format) {
    switch (format) {
    case QImage::Format_BGR888:
    case QImage::Format_RGB888:
        return 3;
    case QImage::Format_ARGB32:
    case QImage::Format_RGB32:
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        return 4;  // B, G, R, A in memory
#else
        return 0;
#endif
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBX8888:
        return 4;
    default:
        return 0;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Brightness and contrast
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::ApplyBrightnessContrast(std::int8_t brightness, std::int8_t contrast) {
    ApplyBrightnessContrast(nullptr, this, brightness, contrast);
}

void TzrMemBitmap::ApplyBrightnessContrast(TzrMemBitmap& bitmap, std::int8_t brightness,
                                           std::int8_t contrast) {
    ApplyBrightnessContrast(nullptr, &bitmap, brightness, contrast);
}

void TzrMemBitmap::ApplyBrightnessContrast(QImage& bitmap, std::int8_t brightness, std::int8_t contrast) {
    ApplyBrightnessContrast(&bitmap, nullptr, brightness, contrast);
}

void TzrMemBitmap::ApplyBrightnessContrast(QImage* bitmap, TzrMemBitmap* memBitmap,
                                           std::int8_t brightness, std::int8_t contrast) {
    if (brightness == 0 && contrast == 0) return;
    const std::array<std::uint8_t, 256> table = ToneTable(brightness, contrast);

    if (bitmap != nullptr && !bitmap->isNull()) {
        int bpp = ToneBytesPerPixel(bitmap->format());
        if (bpp == 0) {
            // Palette, 16-bit, premultiplied and other layouts cannot be adjusted byte by
            // byte: the image is converted to the 24-bit or 32-bit layout first (its
            // transparency kept), then adjusted.
            *bitmap = bitmap->convertToFormat(bitmap->hasAlphaChannel() ? QImage::Format_ARGB32
                                                                        : QImage::Format_BGR888);
            bpp = bitmap->format() == QImage::Format_ARGB32 ? 4 : 3;
        }
        const int height = bitmap->height();
        const int width = bitmap->width();
        for (int y = 0; y < height; ++y) ApplyTable(table, bitmap->scanLine(y), width, bpp);
    }

    if (memBitmap != nullptr) {
        TzrWriteHold hold(*memBitmap);
        const int bpp = memBitmap->GetBytesPerPixel();
        const int width = memBitmap->GetWidth();
        for (int y = 0; y < memBitmap->GetHeight(); ++y) {
            ApplyTable(table, memBitmap->GetScanline(y), width, bpp);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Contrast measure and automatic contrast
// ---------------------------------------------------------------------------------------

double TzrMemBitmap::DetermineContrast() const {
    TzrReadHold hold(*this);
    const int bpp = GetBytesPerPixel();
    // The weight of a pixel is 1 (pf24bit) or alpha / 255 (pf32bit). The sums are kept as
    // whole numbers (weight x 255 for pf32bit) and scaled once at the end.
    const bool weighted = bpp == 4;
    std::int64_t sum[3] = {0, 0, 0};
    std::int64_t weightSum = 0;
    for (int y = 0; y < Height; ++y) {
        const std::uint8_t* p = GetScanline(y);
        for (int x = 0; x < Width; ++x, p += bpp) {
            const int w = weighted ? p[3] : 1;
            sum[0] += std::int64_t{w} * p[0];
            sum[1] += std::int64_t{w} * p[1];
            sum[2] += std::int64_t{w} * p[2];
            weightSum += w;
        }
    }
    if (weightSum == 0) return 0.0;
    int mean[3];
    for (int c = 0; c < 3; ++c) mean[c] = static_cast<int>(double(sum[c]) / double(weightSum));

    std::int64_t spread = 0;
    for (int y = 0; y < Height; ++y) {
        const std::uint8_t* p = GetScanline(y);
        for (int x = 0; x < Width; ++x, p += bpp) {
            const int w = weighted ? p[3] : 1;
            const int d0 = p[0] - mean[0];
            const int d1 = p[1] - mean[1];
            const int d2 = p[2] - mean[2];
            spread += std::int64_t{w} * (d0 * d0 + d1 * d1 + d2 * d2);
        }
    }
    return std::sqrt(double(spread) / double(weightSum)) / 128.0;
}

void TzrMemBitmap::AutoContrast(double strength) {
    TzrWriteHold hold(*this);
    const int bpp = GetBytesPerPixel();
    const bool skipTransparent = bpp == 4;
    std::int64_t sum[3] = {0, 0, 0};
    std::int64_t squares[3] = {0, 0, 0};
    std::int64_t n = 0;
    for (int y = 0; y < Height; ++y) {
        const std::uint8_t* p = GetScanline(y);
        for (int x = 0; x < Width; ++x, p += bpp) {
            if (skipTransparent && p[3] == 0) continue;
            for (int c = 0; c < 3; ++c) {
                sum[c] += p[c];
                squares[c] += p[c] * p[c];
            }
            ++n;
        }
    }
    double mean = 0.0;
    double spread = 0.0;
    if (n > 0) {
        for (int c = 0; c < 3; ++c) {
            mean += double(sum[c]) / double(n);
            // n x (sum of squares) - sum^2 is formed exactly, so that a flat picture has a
            // spread of exactly 0 however many pixels it has.
            const __int128 numerator = static_cast<__int128>(n) * squares[c] -
                                       static_cast<__int128>(sum[c]) * sum[c];
            spread += std::sqrt(std::max(0.0, double(numerator)) / (double(n) * double(n)));
        }
        mean /= 3.0;
        spread /= 3.0;
    }
    const double s = std::min(2.0 * strength, 1.0);
    double brightness = (128.0 - mean) * s;
    if (brightness >= 128.0) brightness = 127.0;
    if (brightness <= -128.0) brightness = -127.0;
    double contrast = spread != 0.0 ? strength * 40.0 * std::log10(128.0 / spread) : 0.0;
    if (contrast < 0.0) contrast = 0.0;
    if (contrast > 127.0) contrast = 127.0;
    // A strength that is not a number gives no change rather than an undefined one.
    if (std::isnan(brightness)) brightness = 0.0;
    if (std::isnan(contrast)) contrast = 0.0;
    ApplyBrightnessContrast(static_cast<std::int8_t>(brightness), static_cast<std::int8_t>(contrast));
}

// ---------------------------------------------------------------------------------------
// Patch difference
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::Correlate(const TzrMemBitmap& other, double centreX, double centreY,
                             double& difference, double& weight, int step) const {
    TzrReadHold hold(*this);
    TzrReadHold otherHold(other);
    // A step below 1 would never advance; it is taken as 1.
    step = std::max(step, 1);

    const auto toInt = [](double v) {
        return static_cast<std::int64_t>(std::clamp(v, -4.0e18, 4.0e18));
    };
    const std::int64_t x0 = toInt(std::floor(centreX - Width * 0.5 + 0.5));
    const std::int64_t y0 = toInt(std::floor(centreY - Height * 0.5 + 0.5));
    const std::int64_t otherWidth = other.GetWidth();
    const std::int64_t otherHeight = other.GetHeight();
    std::int64_t w = Width;
    std::int64_t h = Height;
    // The window stops one pixel short of the other bitmap's right and bottom edges.
    if (x0 + Width >= otherWidth) w = otherWidth - x0 - 1;
    if (y0 + Height >= otherHeight) h = otherHeight - y0 - 1;
    const std::int64_t l = std::max<std::int64_t>(0, -x0);
    const std::int64_t g = std::max<std::int64_t>(0, -y0);

    const int bpp = GetBytesPerPixel();
    const int otherBpp = other.GetBytesPerPixel();
    const bool patchAlpha = bpp == 4;
    const bool otherAlpha = otherBpp == 4;

    double differenceSum = 0.0;
    double weightSum = 0.0;
    for (std::int64_t py = h - 1; py >= g; py -= step) {
        const std::uint8_t* p = GetScanline(static_cast<int>(py));
        const std::uint8_t* o = other.GetScanline(static_cast<int>(py + y0));
        for (std::int64_t px = l; px < w; px += step) {
            const std::uint8_t* a = p + px * bpp;
            const std::uint8_t* b = o + (px + x0) * otherBpp;
            double pairWeight;
            if (patchAlpha && otherAlpha) {
                pairWeight = double(a[3]) * double(b[3]) / 65025.0;
            } else if (otherAlpha) {
                pairWeight = b[3] / 255.0;
            } else if (patchAlpha) {
                pairWeight = a[3] / 255.0;
            } else {
                pairWeight = 1.0;
            }
            weightSum += pairWeight;
            differenceSum +=
                pairWeight * (std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]));
        }
    }
    weight = weightSum;
    difference = weightSum > 0.0 ? differenceSum / 765.0 / weightSum : 1.0;
}

}  // namespace qb
