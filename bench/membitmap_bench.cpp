// The memory bitmap as a command-line program, so that each operation is timed as a whole
// process (start, reading the input file, the operation, writing the output file) exactly
// like the peer programs it is compared with. Run by bench/membitmap_bench.sh.
//
//   bench_membitmap generate <dir>                       writes <dir>/photo.jpg and photo.tif
//   bench_membitmap decode <in>                          loads the picture, writes nothing
//   bench_membitmap convert <in> <out>                   loads and saves
//   bench_membitmap crop <in> <out> <left> <top> <w> <h> the crop pre-pass job (pf32bit copy)
//   bench_membitmap rotate <in> <out> <angle>            CreateRotatedCopy
//   bench_membitmap zoomout <in> <out> <factor>          CreateZoomedOutCopy, smooth
//
// Every operation runs on the calling thread; the output's format follows its extension.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/driver.h"
#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"
#include "core/numbertext.h"

namespace {

using qb::TzrMemBitmap;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// A picture with the statistics of a photograph rather than of a test chart: a smooth
// sky-to-ground gradient, large soft shapes, sharp-edged objects, fine texture and sensor
// noise, so that JPEG and PackBits see realistic data.
void Generate(const std::string& dir) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(kWidth, kHeight, qb::pf24bit, false);
    std::vector<float> cx(kWidth), cx2(kWidth);
    for (int x = 0; x < kWidth; ++x) {
        cx[x] = std::cos(x * 0.0021f);
        cx2[x] = std::sin(x * 0.047f + 1.3f);
    }
    std::uint32_t seed = 12345;
    {
        qb::TzrWriteHold hold(b);
        for (int y = 0; y < kHeight; ++y) {
            std::uint8_t* p = b.GetScanline(y);
            const float t = float(y) / kHeight;
            const float cy = std::sin(y * 0.0017f + 0.4f);
            const float cy2 = std::cos(y * 0.051f);
            for (int x = 0; x < kWidth; ++x, p += 3) {
                seed = seed * 1664525u + 1013904223u;
                const float noise = float(int(seed >> 27) - 16) * 0.6f;
                const float soft = 40.0f * cx[x] * cy;
                const float texture = t > 0.55f ? 18.0f * cx2[x] * cy2 : 0.0f;
                // A few buildings: sharp-edged blocks in the lower half.
                const int block = (x / 700) % 3;
                const bool building = t > 0.45f && t < 0.8f && (x % 700) < 520 &&
                                      y > kHeight * (0.45f + 0.07f * block);
                float r, g, bl;
                if (building) {
                    const bool window = (x % 40) < 18 && (y % 60) < 30;
                    r = window ? 210 : 120 + 30 * block;
                    g = window ? 200 : 100 + 20 * block;
                    bl = window ? 150 : 90;
                } else if (t < 0.5f) {  // sky
                    r = 90 + 120 * t + soft * 0.4f;
                    g = 140 + 90 * t + soft * 0.5f;
                    bl = 230 - 40 * t + soft * 0.3f;
                } else {  // ground
                    r = 110 + soft + texture;
                    g = 95 + soft * 0.8f + texture;
                    bl = 60 + soft * 0.5f + texture * 0.5f;
                }
                const auto clamp = [](float v) {
                    return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f));
                };
                p[0] = clamp(bl + noise);
                p[1] = clamp(g + noise);
                p[2] = clamp(r + noise);
            }
        }
    }
    b.JPEGQuality = 92;
    b.SaveToFile(dir + "/photo.jpg");
    b.SaveToFile(dir + "/photo.tif");
}


int Usage() {
    std::fprintf(stderr,
                 "usage: bench_membitmap generate <dir> | decode <in> | convert <in> <out> |\n"
                 "       crop <in> <out> <left> <top> <width> <height> | rotate <in> <out> <angle> |\n"
                 "       zoomout <in> <out> <factor>\n");
    return 2;
}

int Run(const std::vector<std::string>& a) {
    if (a.empty()) return Usage();
    const std::string& op = a[0];
    if (op == "generate" && a.size() == 2) {
        Generate(a[1]);
        return 0;
    }
    if (a.size() < 2) return Usage();
    TzrMemBitmap source;
    if (op == "decode" && a.size() == 2) {
        source.LoadFromFile(a[1]);
        return 0;
    }
    if (op == "convert" && a.size() == 3) {
        source.LoadFromFile(a[1]);
        source.SaveToFile(a[2]);
        return 0;
    }
    if (op == "crop" && a.size() == 7) {
        const int left = qb::StrToInt(a[3]), top = qb::StrToInt(a[4]);
        source.LoadFromFile(a[1]);
        // As the crop pre-pass makes its copies: the window with an opaque alpha channel.
        TzrMemBitmap target;
        target.SetPixelFormat(qb::pf32bit);
        target.ExtractCropFrom(source,
                               qb::TRect(left, top, left + qb::StrToInt(a[5]), top + qb::StrToInt(a[6])),
                               0, true);
        target.SaveToFile(a[2]);
        return 0;
    }
    if (op == "rotate" && a.size() == 4) {
        const int angle = qb::StrToInt(a[3]);
        source.LoadFromFile(a[1]);
        source.CreateRotatedCopy(angle)->SaveToFile(a[2]);
        return 0;
    }
    if (op == "zoomout" && a.size() == 4) {
        const int factor = qb::StrToInt(a[3]);
        source.LoadFromFile(a[1]);
        source.CreateZoomedOutCopy(factor, true)->SaveToFile(a[2]);
        return 0;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) { return qb::bench::DriverMain("bench_membitmap", argc, argv, Run); }
