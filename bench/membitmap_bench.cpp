// Times the memory bitmap's file input and output and its heavy pixel operations on one
// photograph-like 6000 x 4000 picture. Run by bench/membitmap_bench.sh, which times the
// peer programs on the same files and writes the comparison table.
//
//   bench_membitmap generate <dir>     writes <dir>/photo.jpg and <dir>/photo.tif
//   bench_membitmap run <dir> [reps] [case]
//       prints "<case> <wall seconds> <processor seconds>" (medians) for every case, or one
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

namespace {

using qb::TzrMemBitmap;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
// The crop pre-pass job: a 4000 x 3000 window well inside the picture.
constexpr int kCropLeft = 1000;
constexpr int kCropTop = 500;
constexpr int kCropWidth = 4000;
constexpr int kCropHeight = 3000;

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

struct Times {
    double wall;
    double cpu;
};

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

Times Median(const std::function<void()>& job, int reps) {
    std::vector<double> walls, cpus;
    for (int i = 0; i < reps; ++i) {
        const double cpu0 = CpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        job();
        walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpus.push_back(CpuSeconds() - cpu0);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

void Run(const std::string& dir, int reps, const std::string& only) {
    const std::string jpg = dir + "/photo.jpg";
    const std::string tif = dir + "/photo.tif";
    const std::string out = dir + "/ours_out.tif";
    const std::string crop = dir + "/ours_crop.tif";

    // Wall and processor time (user + system) of each case, the medians of reps runs.
    const auto report = [&](const char* name, const std::function<void()>& job) {
        if (!only.empty() && only != name) return;
        const Times t = Median(job, reps);
        std::printf("%s %.4f %.4f\n", name, t.wall, t.cpu);
        std::fflush(stdout);
    };

    report("jpeg_load", [&] {
               TzrMemBitmap b;
               b.LoadFromFile(jpg);
           });
    report("tiff_load", [&] {
               TzrMemBitmap b;
               b.LoadFromFile(tif);
           });

    TzrMemBitmap photo;
    photo.LoadFromFile(jpg);
    if (photo.GetWidth() != kWidth || photo.GetHeight() != kHeight) {
        throw qb::Exception("unexpected picture size");
    }
    report("tiff_save", [&] { photo.SaveToFile(out); });

    report("crop_job", [&] {
               TzrMemBitmap source;
               source.LoadFromFile(jpg);
               TzrMemBitmap target;
               target.SetPixelFormat(qb::pf32bit);
               target.ExtractCropFrom(source,
                                      qb::TRect(kCropLeft, kCropTop, kCropLeft + kCropWidth,
                                                kCropTop + kCropHeight),
                                      0, true);
               target.SaveToFile(crop);
           });
    // The crop alone, to show where the job's time goes.
    report("crop_only", [&] {
               TzrMemBitmap target;
               target.SetPixelFormat(qb::pf32bit);
               target.ExtractCropFrom(photo,
                                      qb::TRect(kCropLeft, kCropTop, kCropLeft + kCropWidth,
                                                kCropTop + kCropHeight),
                                      0, true);
           });
    // A new bitmap of the picture's size, written once: the cost of fresh memory that
    // every operation producing a new bitmap pays.
    report("alloc_touch", [&] {
        TzrMemBitmap b;
        b.SetWidthHeightPixelFormat(kHeight, kWidth, qb::pf24bit, false);
        qb::TzrWriteHold hold(b);
        for (int y = 0; y < b.GetHeight(); y += 1) b.GetScanline(y)[0] = 1;
        for (int y = 0; y < b.GetHeight(); ++y) std::memset(b.GetScanline(y), 7, std::size_t(kHeight) * 3);
    });
    report("rotate90", [&] { auto r = photo.CreateRotatedCopy(90); });
    report("zoomout4", [&] { auto z = photo.CreateZoomedOutCopy(4, true); });
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 3 && std::string(argv[1]) == "generate") {
            Generate(argv[2]);
            return 0;
        }
        if (argc >= 3 && std::string(argv[1]) == "run") {
            Run(argv[2], argc >= 4 ? std::max(1, std::atoi(argv[3])) : 5, argc >= 5 ? argv[4] : "");
            return 0;
        }
        std::fprintf(stderr, "usage: bench_membitmap generate <dir> | run <dir> [reps]\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_membitmap: %s\n", e.what());
        return 1;
    }
}
