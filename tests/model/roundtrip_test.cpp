// Project text -> reader -> project text, over hundreds of generated projects.
//
// What a project file cannot carry by design (and the generator therefore leaves at
// values that survive or the comparison leaves out): the image caches and change flags;
// MorphToFitData; JpegProgressive (the reader ignores the g inside the n"..." field); the
// lens, shift and shear records (and the lens type) of images that take the global ones,
// and the CropFactor of an image's own lens; the optimise flags of records an image does
// not own; ColorRefImage and ColorCorrectionKind while ColorCorrection is off; output
// format codes outside the table; rotations outside 0 to 3.
#include <gtest/gtest.h>

#include "model/datastructures.h"
#include "tests/model/projectgen.h"

using namespace qb;

namespace {

void ExpectSameFields(const TvrdProject& a, const TvrdProject& b) {
    ASSERT_EQ(a.ImageCount(), b.ImageCount());
    ASSERT_EQ(a.ControlPointCount(), b.ControlPointCount());
    for (int i = 0; i < a.ImageCount(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        const TvrdImage& x = a.Image(i);
        const TvrdImage& y = b.Image(i);
        EXPECT_EQ(x.FileName, y.FileName);
        EXPECT_EQ(x.Width, y.Width);
        EXPECT_EQ(x.Height, y.Height);
        EXPECT_EQ(x.Yaw, y.Yaw);
        EXPECT_EQ(x.Pitch, y.Pitch);
        EXPECT_EQ(x.Roll, y.Roll);
        EXPECT_EQ(x.OwnLens, y.OwnLens);
        EXPECT_EQ(x.OwnShift, y.OwnShift);
        EXPECT_EQ(x.OwnShear, y.OwnShear);
        const TvrdLensParams& lx = x.OwnLens ? x.Lens : a.GlobalLens;
        EXPECT_EQ(lx.Hfov, y.Lens.Hfov);
        EXPECT_EQ(lx.A, y.Lens.A);
        EXPECT_EQ(lx.B, y.Lens.B);
        EXPECT_EQ(lx.C, y.Lens.C);
        EXPECT_EQ(lx.LensType, y.Lens.LensType);
        EXPECT_EQ(x.OwnShift ? x.Shift : a.GlobalShift, y.Shift);
        EXPECT_EQ(x.OwnShear ? x.Shear : a.GlobalShear, y.Shear);
        EXPECT_EQ(x.OptimizeYaw, y.OptimizeYaw);
        EXPECT_EQ(x.OptimizePitch, y.OptimizePitch);
        EXPECT_EQ(x.OptimizeRoll, y.OptimizeRoll);
        if (x.OwnLens) {
            EXPECT_EQ(x.OptimizeV, y.OptimizeV);
            EXPECT_EQ(x.OptimizeA, y.OptimizeA);
            EXPECT_EQ(x.OptimizeB, y.OptimizeB);
            EXPECT_EQ(x.OptimizeC, y.OptimizeC);
        }
        if (x.OwnShift) {
            EXPECT_EQ(x.OptimizeD, y.OptimizeD);
            EXPECT_EQ(x.OptimizeE, y.OptimizeE);
        }
        if (x.OwnShear) {
            EXPECT_EQ(x.OptimizeG, y.OptimizeG);
            EXPECT_EQ(x.OptimizeT, y.OptimizeT);
        }
        EXPECT_EQ(x.ControlPointsActive, y.ControlPointsActive);
        EXPECT_EQ(x.InPreview, y.InPreview);
        EXPECT_EQ(x.InStitch, y.InStitch);
        EXPECT_EQ(x.Rotation, y.Rotation);
        EXPECT_EQ(x.CropLeft, y.CropLeft);
        EXPECT_EQ(x.CropRight, y.CropRight);
        EXPECT_EQ(x.CropTop, y.CropTop);
        EXPECT_EQ(x.CropBottom, y.CropBottom);
    }
    for (int i = 0; i < a.ControlPointCount(); ++i) {
        SCOPED_TRACE("point " + std::to_string(i));
        const TvrdControlPoint& x = a.ControlPoint(i);
        const TvrdControlPoint& y = b.ControlPoint(i);
        EXPECT_EQ(x.Image1, y.Image1);
        EXPECT_EQ(x.Image2, y.Image2);
        EXPECT_EQ(x.X1, y.X1);
        EXPECT_EQ(x.Y1, y.Y1);
        EXPECT_EQ(x.X2, y.X2);
        EXPECT_EQ(x.Y2, y.Y2);
        EXPECT_EQ(x.Type, y.Type);
        EXPECT_EQ(x.Distance, y.Distance);
        EXPECT_EQ(x.Optimize, y.Optimize);
        EXPECT_EQ(x.Morph, y.Morph);
    }
    const TvrdPanoramaParams& p = a.Panorama;
    const TvrdPanoramaParams& q = b.Panorama;
    EXPECT_EQ(p.Hfov, q.Hfov);
    EXPECT_EQ(p.Vfov, q.Vfov);
    EXPECT_EQ(p.OutputFile, q.OutputFile);
    EXPECT_EQ(p.FeatherWidth, q.FeatherWidth);
    EXPECT_EQ(p.Projection, q.Projection);
    EXPECT_EQ(p.OutputFormat, q.OutputFormat);
    EXPECT_EQ(p.JpegQuality, q.JpegQuality);
    EXPECT_EQ(p.Interpolator, q.Interpolator);
    EXPECT_EQ(p.Gamma, q.Gamma);
    EXPECT_EQ(p.FastTransform, q.FastTransform);
    EXPECT_EQ(a.GlobalLens, b.GlobalLens);
    EXPECT_EQ(a.GlobalShift, b.GlobalShift);
    EXPECT_EQ(a.GlobalShear, b.GlobalShear);
    EXPECT_EQ(a.OptimizeGlobalV, b.OptimizeGlobalV);
    EXPECT_EQ(a.OptimizeGlobalA, b.OptimizeGlobalA);
    EXPECT_EQ(a.OptimizeGlobalB, b.OptimizeGlobalB);
    EXPECT_EQ(a.OptimizeGlobalC, b.OptimizeGlobalC);
    EXPECT_EQ(a.OptimizeGlobalD, b.OptimizeGlobalD);
    EXPECT_EQ(a.OptimizeGlobalE, b.OptimizeGlobalE);
    EXPECT_EQ(a.OptimizeGlobalG, b.OptimizeGlobalG);
    EXPECT_EQ(a.OptimizeGlobalT, b.OptimizeGlobalT);
    EXPECT_EQ(a.PreviewWidth, b.PreviewWidth);
    EXPECT_EQ(a.PreviewHeight, b.PreviewHeight);
    EXPECT_EQ(a.Width, b.Width);
    EXPECT_EQ(a.Height, b.Height);
    EXPECT_EQ(a.FixAspect, b.FixAspect);
    EXPECT_EQ(a.SimpleOptimizer, b.SimpleOptimizer);
    EXPECT_EQ(a.ColorCorrection, b.ColorCorrection);
    if (a.ColorCorrection) {
        EXPECT_EQ(a.ColorRefImage, b.ColorRefImage);
        EXPECT_EQ(a.ColorCorrectionKind, b.ColorCorrectionKind);
    }
    EXPECT_EQ(a.HasBeenOptimized, b.HasBeenOptimized);
    EXPECT_EQ(a.MorphMode, b.MorphMode);
    EXPECT_EQ(a.EnblendEnabled, b.EnblendEnabled);
    EXPECT_EQ(a.LinkPitch, b.LinkPitch);
    EXPECT_EQ(a.LinkRoll, b.LinkRoll);
}

}  // namespace

TEST(RoundTrip, GeneratedProjectsReadBackToTheSameTextAndFields) {
    int withImages = 0, withPoints = 0;
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        test::ProjectGenerator gen(seed);
        auto original = gen.Make();
        withImages += original->ImageCount() > 0;
        withPoints += original->ControlPointCount() > 0;
        const std::string text = MakeScriptText(*original, ScriptMode::Project);
        TvrdProject read;
        ReadProjectText(text, ReadMode::Project, read, true, true, false);
        ASSERT_EQ(MakeScriptText(read, ScriptMode::Project), text);
        ExpectSameFields(*original, read);
        if (HasFailure()) break;
    }
    EXPECT_GT(withImages, 300);
    EXPECT_GT(withPoints, 300);
}

TEST(RoundTrip, AssignedCopyWritesTheSameTextInEveryMode) {
    for (uint32_t seed = 1000; seed < 1100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        test::ProjectGenerator gen(seed);
        auto original = gen.Make();
        original->MorphToFitData = "C i0 c0  x1 y2 X3 Y4\r\n";
        for (bool copyCaches : {true, false}) {
            TvrdProject copy;
            copy.Assign(*original, copyCaches);
            for (ScriptMode mode : {ScriptMode::Stitch, ScriptMode::Optimize, ScriptMode::Project,
                                    ScriptMode::Preview, ScriptMode::MorphOptimize})
                EXPECT_EQ(MakeScriptText(copy, mode), MakeScriptText(*original, mode));
        }
    }
}
