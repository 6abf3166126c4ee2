#include "tests/model/projectgen.h"

#include <cstdio>
#include <cstdlib>

namespace qb::test {

double ProjectGenerator::Real() {
    char buf[64];
    switch (Int(0, 7)) {
        case 0: return 0;
        case 1: return Int(-360, 360);
        case 2: std::snprintf(buf, sizeof buf, "%d.%03d", Int(-500, 500), Int(0, 999)); break;
        case 3: std::snprintf(buf, sizeof buf, "%.14e", std::uniform_real_distribution<double>(-1, 1)(rng_)); break;
        case 4: std::snprintf(buf, sizeof buf, "%d.%de-%d", Int(1, 9), Int(0, 99), Int(5, 40)); break;
        case 5: std::snprintf(buf, sizeof buf, "%de%d", Int(-9, 9), Int(15, 60)); break;
        case 6: std::snprintf(buf, sizeof buf, "%.14e", std::uniform_real_distribution<double>(-1e6, 1e6)(rng_)); break;
        default: std::snprintf(buf, sizeof buf, "0.%04d", Int(0, 9999)); break;
    }
    return std::strtod(buf, nullptr);
}

std::string ProjectGenerator::Name() {
    static const char* const parts[] = {"pics", "Urlaub 2004", "a", "img_", "DSC", "x.y", "-", "é"};
    std::string s;
    const int n = Int(1, 3);
    for (int i = 0; i < n; ++i) s += parts[Int(0, 7)];
    return s + std::to_string(Int(0, 999));
}

std::unique_ptr<TvrdProject> ProjectGenerator::Make(int maxImages, int maxPoints) {
    auto p = std::make_unique<TvrdProject>();
    p->SimpleOptimizer = false;
    const int images = Int(0, maxImages);
    for (int i = 0; i < images; ++i) {
        TvrdImage& im = p->AddImage();
        im.FileName = "/home/" + Name() + "/" + Name() + ".jpg";
        im.Width = Int(1, 9000);
        im.Height = Int(1, 9000);
        im.Yaw = Real();
        im.Pitch = Real();
        im.Roll = Real();
        im.OwnLens = Chance(40);
        im.OwnShift = Chance(30);
        im.OwnShear = Chance(30);
        im.Lens = {Real(), Real(), Real(), Real(), Int(0, 4), 1.0};
        im.Shift = {Real(), Real()};
        im.Shear = {Real(), Real()};
        bool* flags[] = {&im.OptimizeYaw, &im.OptimizePitch, &im.OptimizeRoll, &im.OptimizeV,
                         &im.OptimizeA,   &im.OptimizeB,     &im.OptimizeC,    &im.OptimizeD,
                         &im.OptimizeE,   &im.OptimizeG,     &im.OptimizeT};
        for (bool* f : flags) *f = Chance(50);
        im.ControlPointsActive = Chance(80);
        im.InPreview = Chance(80);
        im.InStitch = Chance(80);
        im.Rotation = Int(0, 3);
        im.CropLeft = 0;
        im.CropRight = im.Width;
        im.CropTop = 0;
        im.CropBottom = im.Height;
        if (Chance(30)) {
            im.CropLeft = Int(-50, im.Width / 2);
            im.CropRight = Int(im.Width / 2, im.Width + 50);
            im.CropTop = Int(-50, im.Height / 2);
            im.CropBottom = Int(im.Height / 2, im.Height + 50);
        }
    }
    const int points = images == 0 ? Int(0, 2) : Int(0, maxPoints);
    for (int i = 0; i < points; ++i) {
        TvrdControlPoint& cp = p->AddControlPoint();
        cp.Image1 = Chance(95) ? Int(0, std::max(0, images - 1)) : Int(-3, images + 3);
        cp.Image2 = Int(0, std::max(0, images - 1));
        cp.X1 = Int(-100, 9000);
        cp.Y1 = Int(-100, 9000);
        cp.X2 = Int(-100, 9000);
        cp.Y2 = Int(-100, 9000);
        cp.Type = Chance(80) ? 0 : Int(1, 2);
        cp.Distance = Chance(30) ? -1.0 : Real();
        cp.Optimize = Chance(80);
        cp.Morph = Chance(30);
    }
    static const int32_t formats[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, kFormatVRML, kFormatQTVR};
    TvrdPanoramaParams& pano = p->Panorama;
    pano.Hfov = Real();
    pano.Vfov = Real();
    pano.OutputFile = Chance(30) ? std::string() : "/out/" + Name() + " pano.jpg";
    pano.FeatherWidth = Int(-5, 200);
    pano.Projection = Int(0, 4);
    pano.OutputFormat = formats[Int(0, 13)];
    pano.JpegQuality = Int(0, 100);
    pano.Interpolator = Int(0, 7);
    pano.Gamma = Real();
    pano.FastTransform = Chance(50);
    p->GlobalLens = {Real(), Real(), Real(), Real(), Int(0, 4), Real()};
    p->GlobalShift = {Real(), Real()};
    p->GlobalShear = {Real(), Real()};
    bool* globals[] = {&p->OptimizeGlobalV, &p->OptimizeGlobalA, &p->OptimizeGlobalB,
                       &p->OptimizeGlobalC, &p->OptimizeGlobalD, &p->OptimizeGlobalE,
                       &p->OptimizeGlobalG, &p->OptimizeGlobalT};
    for (bool* f : globals) *f = Chance(50);
    p->PreviewWidth = Int(1, 2000);
    p->PreviewHeight = Int(1, 2000);
    p->Width = Int(0, 30000);
    p->Height = Int(1, 30000);
    p->FixAspect = Chance(50);
    p->ColorCorrection = Chance(40);
    p->ColorRefImage = images == 0 ? 0 : Int(0, images - 1);
    p->ColorCorrectionKind = Int(0, 2);
    p->HasBeenOptimized = Chance(50);
    p->MorphMode = Int(0, 2);
    p->EnblendEnabled = Chance(60);
    p->LinkPitch = Chance(30);
    p->LinkRoll = Chance(30);
    p->SimpleOptimizer = Chance(40);
    p->ApplySimpleOptimizer();
    return p;
}

}  // namespace qb::test
