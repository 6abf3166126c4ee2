// Makes the PTStitcher benchmark's inputs the way the queue makes them: a project file as
// the editor saves it, and from it the stitcher script the queue writes, with or without the
// fast transform. Run by bench/ptstitcher_bench.sh.
//
//   bench_ptstitcher_script project <file.pts> <format> <width> <height> <view width>
//                           <view height> <view hfov> <image>=<yaw>...
//       a cylindrical 360-degree panorama of the given output format and size over views
//       of the given size and field of view looking at the given yaws
//   bench_ptstitcher_script stitch <file.pts> <script> fast|exact
//       the stitcher script of the project. "exact" is what the queue writes when the
//       Panorama Tools installation does not report the fast transform (no f0 on the m line);
//       "fast" keeps the project's setting (on by default).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/driver.h"
#include "core/exceptions.h"
#include "core/numbertext.h"
#include "model/datastructures.h"

namespace {

std::string ReadText(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) throw qb::Exception("cannot open " + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& name, const std::string& text) {
    std::ofstream out(name, std::ios::binary);
    out << text;
    if (!out.flush()) throw qb::Exception("cannot write " + name);
}


int Usage() {
    std::fprintf(stderr,
                 "usage: bench_ptstitcher_script project <file.pts> <format> <width> <height> <view width>\n"
                 "           <view height> <view hfov> <image>=<yaw>...\n"
                 "       bench_ptstitcher_script stitch <file.pts> <script> fast|exact\n");
    return 2;
}

int Run(const std::vector<std::string>& a) {
    if (a.size() >= 9 && a[0] == "project") {
        qb::TvrdProject p;
        p.Panorama.OutputFormat = qb::OutputFormatFromName(a[2]);
        if (p.Panorama.OutputFormat == 0) throw qb::Exception("unknown output format " + a[2]);
        p.Width = qb::StrToInt(a[3]);
        p.Height = qb::StrToInt(a[4]);
        p.Panorama.Projection = 1;
        p.Panorama.Hfov = 360;
        p.Panorama.OutputFile = "panorama";
        p.ComputeVfov();
        p.GlobalLens.Hfov = qb::StrToFloat(a[7]);
        p.GlobalLens.A = p.GlobalLens.B = p.GlobalLens.C = 0;
        for (size_t k = 8; k < a.size(); ++k) {
            const size_t eq = a[k].rfind('=');
            if (eq == std::string::npos) return Usage();
            qb::TvrdImage& im = p.AddImage();
            im.FileName = a[k].substr(0, eq);
            im.Yaw = qb::StrToFloat(a[k].substr(eq + 1));
            im.Width = im.CropRight = qb::StrToInt(a[5]);
            im.Height = im.CropBottom = qb::StrToInt(a[6]);
        }
        p.HasBeenOptimized = true;
        WriteText(a[1], qb::MakeScriptText(p, qb::ScriptMode::Project));
        return 0;
    }
    if (a.size() == 4 && a[0] == "stitch" && (a[3] == "fast" || a[3] == "exact")) {
        // As the queue loads a project before it writes the script.
        auto scratch = std::make_unique<qb::TvrdProject>();
        qb::ReadProjectText(ReadText(a[1]), qb::ReadMode::Project, *scratch, true, false, false);
        qb::TvrdProject project;
        project.Assign(*scratch, true);
        if (a[3] == "exact") project.Panorama.FastTransform = false;
        WriteText(a[2], qb::MakeScriptText(project, qb::ScriptMode::Stitch));
        return 0;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) { return qb::bench::DriverMain("bench_ptstitcher_script", argc, argv, Run); }
