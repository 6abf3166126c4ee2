// Writing and reading project files of 500 images with 10,000 and 100,000 control points,
// against the floor of reading the file at all: one read() of its bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "model/datastructures.h"

using namespace qb;

namespace {

// An optimised project as the editor saves it: placement and distances with full precision.
std::unique_ptr<TvrdProject> MakeProject(int images, int points) {
    auto p = std::make_unique<TvrdProject>();
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> angle(-180, 180);
    std::uniform_int_distribution<int> coord(0, 3999);
    std::uniform_real_distribution<double> distance(0, 5);
    for (int i = 0; i < images; ++i) {
        TvrdImage& im = p->AddImage();
        im.FileName = "/home/user/Pictures/2024 trip/DSC_" + std::to_string(10000 + i) + ".JPG";
        im.Width = im.CropRight = 4000;
        im.Height = im.CropBottom = 3000;
        im.Yaw = angle(rng);
        im.Pitch = angle(rng) / 4;
        im.Roll = angle(rng) / 90;
        if (i % 10 == 0) {
            im.OwnLens = true;
            im.Lens = {61.2345678, -0.0123456, 0.0234567, -0.00345678, 0, 1.5};
        }
    }
    std::uniform_int_distribution<int> image(0, images - 1);
    for (int i = 0; i < points; ++i) {
        TvrdControlPoint& cp = p->AddControlPoint();
        cp.Image1 = image(rng);
        cp.Image2 = (cp.Image1 + 1) % images;
        cp.X1 = coord(rng);
        cp.Y1 = coord(rng) * 3 / 4;
        cp.X2 = coord(rng);
        cp.Y2 = coord(rng) * 3 / 4;
        cp.Distance = distance(rng);
        cp.Optimize = i % 50 != 0;
    }
    p->HasBeenOptimized = true;
    return p;
}

const std::string& ProjectText(int points) {
    static std::string text10k, text100k;
    std::string& text = points == 10000 ? text10k : text100k;
    if (text.empty()) text = MakeScriptText(*MakeProject(500, points), ScriptMode::Project);
    return text;
}

void BM_WriteProject(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    auto project = MakeProject(500, points);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = MakeScriptText(*project, ScriptMode::Project);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_ReadProject(benchmark::State& state) {
    const std::string& text = ProjectText(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TvrdProject project;
        ReadProjectText(text, ReadMode::Project, project, true, true, false);
        benchmark::DoNotOptimize(project.ControlPointCount());
    }
    state.SetBytesProcessed(static_cast<int64_t>(text.size() * state.iterations()));
}

// The floor: the file's bytes from the page cache into a buffer of the file's size, with one
// read() (open and close included). Nothing that reads the file can take less.
void BM_ReadFileBytes(benchmark::State& state) {
    const std::string& text = ProjectText(static_cast<int>(state.range(0)));
    const char* tmp = std::getenv("TMPDIR");
    const std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/qb_bench_model_" +
                             std::to_string(getpid()) + ".pts";
    std::ofstream(name, std::ios::binary) << text;
    std::string bytes(text.size(), '\0');
    for (auto _ : state) {
        const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            state.SkipWithError("cannot open the project file");
            break;
        }
        const ssize_t n = read(fd, bytes.data(), bytes.size());
        close(fd);
        if (n != static_cast<ssize_t>(bytes.size())) {
            state.SkipWithError("short read of the project file");
            break;
        }
        benchmark::DoNotOptimize(bytes.data());
        benchmark::ClobberMemory();
    }
    std::remove(name.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(text.size() * state.iterations()));
}

}  // namespace

BENCHMARK(BM_WriteProject)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadProject)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFileBytes)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
