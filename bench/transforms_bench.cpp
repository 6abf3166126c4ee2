// Times one Extract job through TPanoCorrect: the panorama TIFF loaded into a memory bitmap,
// converted to the library's image record, a rectilinear view extracted into a memory
// bitmap, the view saved as TIFF. Run by bench/transforms_bench.sh, which times PTmender
// doing the same extraction.
//
//   bench_transforms <panorama.tif> <view.tif> <hfov> <yaw> <pitch> <width> <height>
//       prints "load <s> convert <s> extract <s> save <s> total <s>" (wall seconds)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"
#include "panotools/panocorrect.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: bench_transforms <panorama.tif> <view.tif> <hfov> <yaw> <pitch> <width> <height>\n");
        return 2;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        qb::TPanoCorrect pc;
        pc.ShowProgress = false;
        qb::TzrMemBitmap panorama;
        panorama.LoadFromFile(argv[1]);
        const double load = Seconds(start);

        auto t = std::chrono::steady_clock::now();
        qb::TptImage record;
        qb::TPanoCorrect::ImageFromBitmap(record, &panorama);
        const double convert = Seconds(t);

        t = std::chrono::steady_clock::now();
        qb::TzrMemBitmap view;
        pc.Extract(record, &view, std::atof(argv[3]), std::atof(argv[4]), std::atof(argv[5]), 0, std::atoi(argv[6]),
                   std::atoi(argv[7]));
        const double extract = Seconds(t);

        t = std::chrono::steady_clock::now();
        view.SaveToFile(argv[2]);
        const double save = Seconds(t);
        std::printf("load %.3f convert %.3f extract %.3f save %.3f total %.3f\n", load, convert, extract, save,
                    Seconds(start));
    } catch (const qb::Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
