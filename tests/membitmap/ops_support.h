// Small helpers shared by the pixel-operation tests: building bitmaps with known pixels and
// reading pixels back, always inside holds.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

namespace qb::test {

using Pixel = std::array<std::uint8_t, 4>;  // blue, green, red, alpha (255 for pf24bit)

// A bitmap whose pixel (x, y) is f(x, y); for pf24bit the alpha of f is ignored.
inline std::unique_ptr<TzrMemBitmap> MakeBitmap(int width, int height, TPixelFormat format,
                                                const std::function<Pixel(int, int)>& f) {
    auto b = std::make_unique<TzrMemBitmap>();
    b->SetWidthHeightPixelFormat(width, height, format, false);
    TzrWriteHold hold(*b);
    const int bpp = b->GetBytesPerPixel();
    for (int y = 0; y < height; ++y) {
        std::uint8_t* p = b->GetScanline(y);
        for (int x = 0; x < width; ++x) {
            const Pixel v = f(x, y);
            for (int c = 0; c < bpp; ++c) p[x * bpp + c] = v[c];
        }
    }
    return b;
}

// A deterministic, irregular pattern: neighbouring pixels and channels all differ.
inline Pixel Pattern(int x, int y) {
    const unsigned h = static_cast<unsigned>(x) * 2654435761u ^ static_cast<unsigned>(y) * 40503u;
    return {static_cast<std::uint8_t>(h >> 3), static_cast<std::uint8_t>(h >> 11),
            static_cast<std::uint8_t>(h >> 19), static_cast<std::uint8_t>(h >> 25)};
}

// Pixel (x, y); alpha reads 255 for pf24bit.
inline Pixel At(const TzrMemBitmap& b, int x, int y) {
    TzrReadHold hold(b);
    const int bpp = b.GetBytesPerPixel();
    const std::uint8_t* p = b.GetScanline(y) + x * bpp;
    return {p[0], p[1], p[2], bpp == 4 ? p[3] : std::uint8_t{255}};
}

inline Pixel Bgra(int b, int g, int r, int a = 255) {
    return {std::uint8_t(b), std::uint8_t(g), std::uint8_t(r), std::uint8_t(a)};
}

// Checks every pixel of b against expected(x, y), reporting the first few differences.
inline void ExpectPixels(const TzrMemBitmap& b, const std::function<Pixel(int, int)>& expected) {
    int failures = 0;
    for (int y = 0; y < b.GetHeight() && failures < 5; ++y) {
        for (int x = 0; x < b.GetWidth() && failures < 5; ++x) {
            const Pixel got = At(b, x, y);
            const Pixel want = expected(x, y);
            if (got != want) {
                ++failures;
                ADD_FAILURE() << "pixel (" << x << ", " << y << "): got " << int(got[0]) << ","
                              << int(got[1]) << "," << int(got[2]) << "," << int(got[3]) << " want "
                              << int(want[0]) << "," << int(want[1]) << "," << int(want[2]) << ","
                              << int(want[3]);
            }
        }
    }
}

}  // namespace qb::test
