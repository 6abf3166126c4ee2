// Pixel operations of the memory bitmap, part 2: rotation by multiples of 90 degrees,
// stretching (nearest or bilinear), tent-filter zoom-out and the size arithmetic.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

namespace qb {

namespace {

// Brings an angle into 0..359 (as repeated adding or subtracting of 360 would) and checks
// that it is a multiple of 90 degrees.
int NormalisedRightAngle(int angle) {
    int a = angle % 360;
    if (a < 0) a += 360;
    if (a % 90 != 0) throw Exception("Rotation only in multiple of 90 degrees");
    return a;
}

constexpr int kTile = 32;

// Rotation by 90 (clockwise) or 270 degrees through 32 x 32 tiles: the source rows of one
// tile are transposed into a tile buffer, laid out so that each destination row piece is
// one contiguous run, and the pieces are then copied as blocks. Both bitmaps are walked in
// short row-wise runs. `src` and `dst` are the row address tables of the two bitmaps.
template <int Bpp>
void RotateTiled(const std::uint8_t* const* src, int width, int height, std::uint8_t* const* dst,
                 bool clockwise) {
    std::uint8_t tile[kTile * kTile * Bpp];
    for (int ty = 0; ty < height; ty += kTile) {
        const int th = std::min(kTile, height - ty);
        for (int tx = 0; tx < width; tx += kTile) {
            const int tw = std::min(kTile, width - tx);
            // Tile row j holds source column tx + j; clockwise its pieces run from the
            // bottom source row up, otherwise from the top down.
            for (int k = 0; k < th; ++k) {
                const std::uint8_t* s = src[ty + k] + std::size_t(tx) * Bpp;
                const int slot = clockwise ? th - 1 - k : k;
                std::uint8_t* t = tile + std::size_t(slot) * Bpp;
                for (int j = 0; j < tw; ++j) {
                    std::memcpy(t + std::size_t(j) * kTile * Bpp, s + std::size_t(j) * Bpp, Bpp);
                }
            }
            for (int j = 0; j < tw; ++j) {
                // Clockwise: source (x, y) -> destination (height - 1 - y, x).
                // Anticlockwise: source (x, y) -> destination (y, width - 1 - x).
                std::uint8_t* d = clockwise
                                      ? dst[tx + j] + std::size_t(height - ty - th) * Bpp
                                      : dst[width - 1 - (tx + j)] + std::size_t(ty) * Bpp;
                std::memcpy(d, tile + std::size_t(j) * kTile * Bpp, std::size_t(th) * Bpp);
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Rotation
// ---------------------------------------------------------------------------------------

std::unique_ptr<TzrMemBitmap> TzrMemBitmap::CreateRotatedCopy(int angle) const {
    angle = NormalisedRightAngle(angle);
    auto result = std::make_unique<TzrMemBitmap>();
    TzrReadHold hold(*this);
    const bool turned = angle == 90 || angle == 270;
    result->SetWidthHeightPixelFormat(turned ? Height : Width, turned ? Width : Height, PixelFormat,
                                      false);
    TzrWriteHold resultHold(*result);
    if (Width <= 0 || Height <= 0) return result;

    const int bpp = GetBytesPerPixel();
    const std::size_t rowBytes = std::size_t(Width) * bpp;
    if (angle == 0) {
        for (int y = 0; y < Height; ++y) std::memcpy(result->GetScanline(y), GetScanline(y), rowBytes);
    } else if (angle == 180) {
        for (int y = 0; y < Height; ++y) {
            const std::uint8_t* s = GetScanline(Height - 1 - y);
            std::uint8_t* d = result->GetScanline(y) + rowBytes - bpp;
            for (int x = 0; x < Width; ++x, s += bpp, d -= bpp) std::memcpy(d, s, bpp);
        }
    } else {
        GetAllScanlines();
        result->GetAllScanlines();
        if (bpp == 4) {
            RotateTiled<4>(Rows.data(), Width, Height, result->Rows.data(), angle == 90);
        } else {
            RotateTiled<3>(Rows.data(), Width, Height, result->Rows.data(), angle == 90);
        }
    }
    return result;
}

void TzrMemBitmap::Rotate(int angle) {
    if (NormalisedRightAngle(angle) == 0) return;
    TzrWriteHold hold(*this);
    std::unique_ptr<TzrMemBitmap> rotated = CreateRotatedCopy(angle);
    Set(rotated.get());
}

// ---------------------------------------------------------------------------------------
// Stretching
// ---------------------------------------------------------------------------------------

std::unique_ptr<TzrMemBitmap> TzrMemBitmap::CreateStretchedCopy(int newWidth, int newHeight,
                                                                bool smooth) const {
    auto result = std::make_unique<TzrMemBitmap>();
    TzrReadHold hold(*this);
    result->SetWidthHeightPixelFormat(newWidth, newHeight, PixelFormat, false);
    TzrWriteHold resultHold(*result);
    // A copy one pixel wide or high keeps its zero bytes; so does the copy of an empty
    // bitmap, which has no pixels to sample.
    if (newWidth <= 1 || newHeight <= 1 || Width <= 0 || Height <= 0) return result;

    const int bpp = GetBytesPerPixel();
    const double xScale = double(Width - 1) / double(newWidth - 1);
    const double yScale = double(Height - 1) / double(newHeight - 1);

    // Sample positions of the columns by repeated addition, and from them the source byte
    // offsets of every destination column, computed once for all rows. Positions are kept
    // inside the bitmap against rounding at the far edge.
    std::vector<double> xs(static_cast<std::size_t>(newWidth));
    double x = 0.0;
    for (int i = 0; i < newWidth; ++i) {
        xs[i] = x;
        x += xScale;
    }

    if (!smooth) {
        std::vector<std::size_t> offset(static_cast<std::size_t>(newWidth));
        for (int i = 0; i < newWidth; ++i) {
            const int c = std::clamp(static_cast<int>(xs[i] + 0.5), 0, Width - 1);
            offset[i] = std::size_t(c) * bpp;
        }
        for (int j = 0; j < newHeight; ++j) {
            const int r = std::clamp(static_cast<int>(j * yScale), 0, Height - 1);
            const std::uint8_t* s = GetScanline(r);
            std::uint8_t* d = result->GetScanline(j);
            if (bpp == 4) {
                for (int i = 0; i < newWidth; ++i, d += 4) std::memcpy(d, s + offset[i], 4);
            } else {
                for (int i = 0; i < newWidth; ++i, d += 3) std::memcpy(d, s + offset[i], 3);
            }
        }
        return result;
    }

    std::vector<std::size_t> offset0(static_cast<std::size_t>(newWidth));
    std::vector<std::size_t> offset1(static_cast<std::size_t>(newWidth));
    std::vector<double> fxs(static_cast<std::size_t>(newWidth));
    for (int i = 0; i < newWidth; ++i) {
        const int c0 = std::clamp(static_cast<int>(xs[i]), 0, Width - 1);
        const int c1 = c0 + 1 >= Width ? c0 : c0 + 1;
        offset0[i] = std::size_t(c0) * bpp;
        offset1[i] = std::size_t(c1) * bpp;
        fxs[i] = xs[i] - c0;
    }
    for (int j = 0; j < newHeight; ++j) {
        const double y = j * yScale;
        const int r0 = std::clamp(static_cast<int>(y), 0, Height - 1);
        const int r1 = r0 + 1 >= Height ? r0 : r0 + 1;
        const double fy = y - r0;
        const std::uint8_t* s0 = GetScanline(r0);
        const std::uint8_t* s1 = GetScanline(r1);
        std::uint8_t* d = result->GetScanline(j);
        for (int i = 0; i < newWidth; ++i) {
            const double fx = fxs[i];
            const std::uint8_t* p00 = s0 + offset0[i];
            const std::uint8_t* p01 = s0 + offset1[i];
            const std::uint8_t* p10 = s1 + offset0[i];
            const std::uint8_t* p11 = s1 + offset1[i];
            for (int b = 0; b < bpp; ++b) {
                const double v = (p00[b] * (1.0 - fx) + p01[b] * fx) * (1.0 - fy) +
                                 (p10[b] * (1.0 - fx) + p11[b] * fx) * fy;
                *d++ = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
            }
        }
    }
    return result;
}

void TzrMemBitmap::Stretch(int newWidth, int newHeight, bool smooth) {
    TzrWriteHold hold(*this);
    std::unique_ptr<TzrMemBitmap> stretched = CreateStretchedCopy(newWidth, newHeight, smooth);
    Set(stretched.get());
}

// ---------------------------------------------------------------------------------------
// Zoom-out
// ---------------------------------------------------------------------------------------

namespace {

// The tent filter of the zoom-out is separable: the weight (f - k) x (f - l) of the source
// pixel at row distance k and column distance l is the product of a row weight and a
// column weight, and the window that lies inside the bitmap is a rectangle. So every source
// row is filtered horizontally once (at the destination columns), and the filtered rows
// are summed vertically into the destination rows they belong to (each source row belongs
// to at most two). The sums are whole numbers below 255 x f^4. Up to f = 16 they fit in 32
// bits and in single precision exactly, so they are kept in integers and the mean is formed
// in single precision: the same value a single-precision accumulation gives. Beyond that
// no floating type holds them exactly, so they are kept in 128-bit integers (at most
// 255 x f^2 x width x height) and the mean is their exact quotient, truncated.
template <typename Acc, bool SinglePrecisionMean>
void ZoomOutTent(const TzrMemBitmap& src, TzrMemBitmap& dst, int f) {
    const int width = src.GetWidth();
    const int height = src.GetHeight();
    const int newWidth = dst.GetWidth();
    const int newHeight = dst.GetHeight();
    const int bpp = src.GetBytesPerPixel();
    const int channels = bpp;  // blue, green, red and (pf32bit) alpha
    const std::size_t rowValues = std::size_t(newWidth) * channels;

    // Column window of each destination column and the sum of its weights.
    std::vector<int> colFirst(newWidth), colLast(newWidth);
    std::vector<Acc> colWeightSum(newWidth);
    for (int i = 0; i < newWidth; ++i) {
        const std::int64_t c = std::int64_t{i} * f;
        colFirst[i] = static_cast<int>(std::max<std::int64_t>(0, c - (f - 1)));
        colLast[i] = static_cast<int>(std::min<std::int64_t>(width - 1, c + (f - 1)));
        Acc sum = 0;
        for (int x = colFirst[i]; x <= colLast[i]; ++x) sum += Acc(f - std::abs(x - c));
        colWeightSum[i] = sum;
    }

    std::vector<Acc> filtered(rowValues);
    // Running vertical sums of the two destination rows a source row can belong to.
    std::vector<Acc> accum[2] = {std::vector<Acc>(rowValues, 0), std::vector<Acc>(rowValues, 0)};
    Acc rowWeightSum[2] = {0, 0};

    const auto finishRow = [&](int j, int slot) {
        std::uint8_t* d = dst.GetScanline(j);
        const Acc* a = accum[slot].data();
        for (int i = 0; i < newWidth; ++i) {
            const Acc wsum = colWeightSum[i] * rowWeightSum[slot];
            for (int ch = 0; ch < channels; ++ch, ++a, ++d) {
                if (wsum == 0) {
                    *d = 0;
                } else if constexpr (SinglePrecisionMean) {
                    *d = static_cast<std::uint8_t>(float(*a) / float(wsum));
                } else {
                    *d = static_cast<std::uint8_t>(*a / wsum);
                }
            }
        }
        std::fill(accum[slot].begin(), accum[slot].end(), Acc(0));
        rowWeightSum[slot] = 0;
    };

    // Destination row j collects source rows j*f - (f-1) .. j*f + (f-1); rows beyond the
    // last destination row's window are never needed.
    const std::int64_t lastRow = std::min<std::int64_t>(height - 1, std::int64_t{newHeight - 1} * f + (f - 1));
    int nextToFinish = 0;
    for (int r = 0; r <= lastRow; ++r) {
        const std::uint8_t* s = src.GetScanline(r);
        Acc* out = filtered.data();
        for (int i = 0; i < newWidth; ++i) {
            const std::int64_t c = std::int64_t{i} * f;
            Acc sums[4] = {0, 0, 0, 0};
            const std::uint8_t* p = s + std::size_t(colFirst[i]) * bpp;
            for (int x = colFirst[i]; x <= colLast[i]; ++x, p += bpp) {
                const Acc w = Acc(f - std::abs(x - c));
                for (int ch = 0; ch < channels; ++ch) sums[ch] += w * p[ch];
            }
            for (int ch = 0; ch < channels; ++ch) *out++ = sums[ch];
        }
        // Destination rows whose window holds r: j = r / f, and j + 1 unless r is on a
        // multiple of f.
        const int j0 = r / f;
        for (int j = j0; j <= j0 + 1 && j < newHeight; ++j) {
            const std::int64_t dist = std::abs(std::int64_t{j} * f - r);
            if (dist > f - 1) continue;
            const Acc w = Acc(f - dist);
            Acc* a = accum[j & 1].data();
            for (std::size_t v = 0; v < rowValues; ++v) a[v] += w * filtered[v];
            rowWeightSum[j & 1] += w;
        }
        // Row j is complete once r reaches the end of its window (or the last row).
        while (nextToFinish < newHeight &&
               (std::int64_t{nextToFinish} * f + (f - 1) <= r || r == height - 1)) {
            finishRow(nextToFinish, nextToFinish & 1);
            ++nextToFinish;
        }
    }
    // Destination rows whose windows hold no source row (only for an empty source).
    while (nextToFinish < newHeight) {
        finishRow(nextToFinish, nextToFinish & 1);
        ++nextToFinish;
    }
}

}  // namespace

std::unique_ptr<TzrMemBitmap> TzrMemBitmap::CreateZoomedOutCopy(int factor, bool smooth) const {
    // A factor below 1 would divide by zero; it is taken as 1 (a plain copy).
    const int f = std::max(factor, 1);
    TzrReadHold hold(*this);
    const int newWidth = (Width - 1) / f + 1;
    const int newHeight = (Height - 1) / f + 1;
    if (!smooth) return CreateStretchedCopy(newWidth, newHeight, false);

    auto result = std::make_unique<TzrMemBitmap>();
    result->SetWidthHeightPixelFormat(newWidth, newHeight, PixelFormat, false);
    TzrWriteHold resultHold(*result);
    if (newWidth <= 0 || newHeight <= 0) return result;
    if (Width <= 0 || Height <= 0) return result;  // nothing to average: zero bytes
    if (f <= 16) {
        ZoomOutTent<std::uint32_t, true>(*this, *result, f);
    } else {
        ZoomOutTent<unsigned __int128, false>(*this, *result, f);
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Size arithmetic
// ---------------------------------------------------------------------------------------

void TzrMemBitmap::MaximizeSize(int& width, int& height, int maxPixels) {
    if (width <= 0 || height <= 0 || std::int64_t{width} * height <= maxPixels) return;
    const double aspect = double(width) / double(height);
    // A limit of 0 or less leaves the smallest size, 1 pixel on each side.
    const double s = std::sqrt(std::max(0.0, double(maxPixels) / aspect));
    width = std::max(1, static_cast<int>(aspect * s));
    height = std::max(1, static_cast<int>(s));
}

void TzrMemBitmap::MaximizeSize(int& width, int& height, int maxWidth, int maxHeight, bool enlarge) {
    if (width <= 0 || height <= 0) return;
    if (!enlarge && !(maxWidth < width) && !(maxHeight < height)) return;
    const double aspect = double(width) / double(height);
    const double limit = maxHeight <= 0 ? 1.0 : double(maxWidth) / double(maxHeight);
    double w, h;
    if (aspect > limit) {
        w = maxWidth;
        h = double(height) / double(width) * maxWidth;
    } else {
        h = maxHeight;
        w = aspect * maxHeight;
    }
    // Results beyond the integer range (absurd limits) are held at its end.
    const auto toInt = [](double v) {
        return static_cast<int>(std::clamp(v, 1.0, double(std::numeric_limits<int>::max())));
    };
    width = std::max(1, toInt(w));
    height = std::max(1, toInt(h));
}

}  // namespace qb
