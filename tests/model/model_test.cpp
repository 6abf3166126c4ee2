#include <gtest/gtest.h>

#include <cmath>

#include "core/exceptions.h"
#include "model/datastructures.h"
#include "model/stitcheroutput.h"

using namespace qb;

namespace {

TvrdImage& AddNamed(TvrdProject& p, const std::string& name) {
    TvrdImage& im = p.AddImage();
    im.FileName = name;
    return im;
}

TvrdControlPoint& AddPoint(TvrdProject& p, int a, int b, int type = 0) {
    TvrdControlPoint& cp = p.AddControlPoint();
    cp.Image1 = a;
    cp.Image2 = b;
    cp.Type = type;
    return cp;
}

}  // namespace

TEST(Model, NewProjectHasTheDefaults) {
    TvrdProject p;
    EXPECT_EQ(p.ImageCount(), 0);
    EXPECT_EQ(p.ControlPointCount(), 0);
    EXPECT_EQ(p.Panorama.OutputFormat, 7);
    EXPECT_EQ(p.MorphMode, 2);
    EXPECT_EQ(p.Panorama.FeatherWidth, 20);
    EXPECT_TRUE(p.SimpleOptimizer);
    EXPECT_EQ(p.GlobalLens, TvrdLensParams({50, 0.001, 0.001, 0.001, 0, 1.0}));
    EXPECT_EQ(p.FindAnchorImage(), -1);
    EXPECT_THROW(p.Image(0), Exception);
    EXPECT_THROW(p.ControlPoint(-1), Exception);
}

TEST(Model, InsertImageMakesTheFirstTheAnchorAndShiftsIndices) {
    TvrdProject p;
    TvrdImage& first = AddNamed(p, "a");
    EXPECT_FALSE(first.OptimizeYaw || first.OptimizePitch || first.OptimizeRoll);
    TvrdImage& second = AddNamed(p, "b");
    EXPECT_TRUE(second.OptimizeYaw && second.OptimizePitch && second.OptimizeRoll);
    EXPECT_TRUE(second.OptimizeD && second.OptimizeE);
    EXPECT_FALSE(second.OptimizeG || second.OptimizeT);
    AddNamed(p, "c");
    AddPoint(p, 0, 2);
    AddPoint(p, 1, 2);
    p.ColorRefImage = 1;

    p.InsertImage(1).FileName = "new";
    EXPECT_EQ(p.Image(1).FileName, "new");
    EXPECT_EQ(p.Image(2).FileName, "b");
    EXPECT_EQ(p.ControlPoint(0).Image1, 0);
    EXPECT_EQ(p.ControlPoint(0).Image2, 3);
    EXPECT_EQ(p.ControlPoint(1).Image1, 2);
    EXPECT_EQ(p.ColorRefImage, 2);
    p.InsertImage(4);  // at the end: nothing moves
    EXPECT_EQ(p.ColorRefImage, 2);
    EXPECT_EQ(p.ControlPoint(0).Image2, 3);

    try {
        p.InsertImage(6);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Attempt to insert an image at illegal position");
    }
    EXPECT_THROW(p.InsertImage(-1), Exception);
    EXPECT_EQ(p.ImageCount(), 5);
    try {
        p.InsertControlPoint(3);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Attempt to insert a control point at illegal position");
    }
    p.InsertControlPoint(0).X1 = 77;
    EXPECT_EQ(p.ControlPoint(0).X1, 77);
    EXPECT_EQ(p.ControlPoint(0).Distance, -1.0);
    EXPECT_EQ(p.ControlPointCount(), 3);
    p.Clear();
    EXPECT_EQ(p.ImageCount() + p.ControlPointCount(), 0);
}

TEST(Model, WithoutSimpleOptimizerNewImagesKeepTheirDefaults) {
    TvrdProject p;
    p.SimpleOptimizer = false;
    AddNamed(p, "a");
    TvrdImage& b = AddNamed(p, "b");
    EXPECT_FALSE(b.OptimizeD);
    EXPECT_TRUE(b.OptimizeYaw);
}

TEST(Model, FindAnchorImage) {
    TvrdProject p;
    p.SimpleOptimizer = false;
    for (int i = 0; i < 3; ++i) AddNamed(p, "x");
    p.Image(0).OptimizeYaw = p.Image(0).OptimizePitch = p.Image(0).OptimizeRoll = true;
    EXPECT_EQ(p.FindAnchorImage(), 0);  // all optimise everything
    p.Image(2).OptimizePitch = false;
    EXPECT_EQ(p.FindAnchorImage(), 2);
    p.Image(1).OptimizeYaw = p.Image(1).OptimizePitch = p.Image(1).OptimizeRoll = false;
    EXPECT_EQ(p.FindAnchorImage(), 1);
}

TEST(Model, ApplySimpleOptimizer) {
    TvrdProject p;
    p.SimpleOptimizer = false;
    for (int i = 0; i < 3; ++i) AddNamed(p, "x");
    p.Image(0).OptimizeYaw = true;
    p.Image(1).OptimizeYaw = p.Image(1).OptimizePitch = p.Image(1).OptimizeRoll = false;
    p.Image(2).OptimizeG = true;
    p.Image(2).ControlPointsActive = false;
    p.OptimizeGlobalA = false;
    p.OptimizeGlobalB = false;
    p.OptimizeGlobalC = true;
    p.OptimizeGlobalV = false;
    p.OptimizeGlobalD = p.OptimizeGlobalT = true;
    p.LinkPitch = p.LinkRoll = true;
    p.ApplySimpleOptimizer();  // not in simple mode: nothing happens
    EXPECT_TRUE(p.LinkPitch);

    p.SimpleOptimizer = true;
    p.ApplySimpleOptimizer();
    EXPECT_FALSE(p.Image(1).OptimizeYaw || p.Image(1).OptimizePitch || p.Image(1).OptimizeRoll);
    EXPECT_TRUE(p.Image(0).OptimizeYaw && p.Image(0).OptimizePitch && p.Image(0).OptimizeRoll);
    EXPECT_TRUE(p.OptimizeGlobalA && p.OptimizeGlobalB && p.OptimizeGlobalC);
    EXPECT_FALSE(p.OptimizeGlobalV);
    EXPECT_FALSE(p.OptimizeGlobalD || p.OptimizeGlobalT || p.LinkPitch || p.LinkRoll);
    EXPECT_FALSE(p.Image(2).OptimizeG);
    EXPECT_TRUE(p.Image(2).ControlPointsActive && p.Image(2).OptimizeD);

    p.OptimizeGlobalA = p.OptimizeGlobalC = false;  // b alone stays alone
    p.ApplySimpleOptimizer();
    EXPECT_TRUE(p.OptimizeGlobalB);
    EXPECT_FALSE(p.OptimizeGlobalA || p.OptimizeGlobalC);

    AddPoint(p, 0, 1, 1);  // a line point frees the anchor's roll
    p.ApplySimpleOptimizer();
    EXPECT_FALSE(p.Image(1).OptimizeYaw || p.Image(1).OptimizePitch);
    EXPECT_TRUE(p.Image(1).OptimizeRoll);
    AddPoint(p, 0, 1, 2);  // and a type 2 point its pitch too
    p.ApplySimpleOptimizer();
    EXPECT_FALSE(p.Image(1).OptimizeYaw);
    EXPECT_TRUE(p.Image(1).OptimizePitch && p.Image(1).OptimizeRoll);
    EXPECT_EQ(p.FindAnchorImage(), 1);
}

TEST(Model, MorphControlPoints) {
    TvrdProject p;
    AddNamed(p, "a");
    AddNamed(p, "b");
    AddPoint(p, 0, 1).Morph = true;
    AddPoint(p, 0, 1);
    AddPoint(p, 0, 1, 1).Morph = true;
    EXPECT_FALSE(p.UsesMorphToFit());  // mode 2: off
    p.MorphMode = 0;
    EXPECT_TRUE(p.IsMorphControlPoint(0));
    EXPECT_FALSE(p.IsMorphControlPoint(1));
    EXPECT_FALSE(p.IsMorphControlPoint(2));
    EXPECT_TRUE(p.UsesMorphToFit());
    p.MorphMode = 1;
    EXPECT_TRUE(p.IsMorphControlPoint(1));
    EXPECT_FALSE(p.IsMorphControlPoint(2));
    p.ControlPoints.erase(p.ControlPoints.begin(), p.ControlPoints.begin() + 2);
    EXPECT_FALSE(p.UsesMorphToFit());
}

TEST(Model, ApplyGlobalParamsFillsRecordsThatAreNotOwn) {
    TvrdProject p;
    TvrdImage& a = AddNamed(p, "a");
    TvrdImage& b = AddNamed(p, "b");
    p.GlobalLens.Hfov = 77;
    p.GlobalShift = {1, 2};
    p.GlobalShear = {3, 4};
    b.OwnLens = true;
    b.Lens.Hfov = 10;
    b.OwnShear = true;
    p.ApplyGlobalParams();
    EXPECT_EQ(a.Lens.Hfov, 77);
    EXPECT_EQ(a.Shift, p.GlobalShift);
    EXPECT_EQ(b.Lens.Hfov, 10);
    EXPECT_EQ(b.Shift, p.GlobalShift);
    EXPECT_EQ(b.Shear, TvrdShear());
}

TEST(Model, NumericHelpers) {
    EXPECT_DOUBLE_EQ(RoundSignificant(57.123456, 5), 57.1235);
    EXPECT_DOUBLE_EQ(RoundSignificant(-57.123456, 5), -57.1235);
    EXPECT_EQ(RoundSignificant(0, 5), 0);
    EXPECT_DOUBLE_EQ(RoundSignificant(123456.7, 5), 123457);
    // Tiny magnitudes need a scale beyond 32 bits: still rounded (below 1 to n digits).
    EXPECT_DOUBLE_EQ(RoundSignificant(1.23456789e-7, 5), 1.2346e-7);
    EXPECT_DOUBLE_EQ(RoundSignificant(-9.87654321e-12, 5), -9.8765e-12);
    EXPECT_DOUBLE_EQ(RoundSignificant(1.23456789e-300, 5), 1.2346e-300);
    EXPECT_EQ(RoundSignificant(5e-324, 5), 5e-324);
    EXPECT_TRUE(std::isinf(RoundSignificant(INFINITY, 5)));

    EXPECT_EQ(*VfovFromSize(0, 0, 100, 90), 0);
    EXPECT_NEAR(*VfovFromSize(0, 1000, 1000, 90), 90, 1e-9);
    EXPECT_NEAR(*VfovFromSize(1, 360, 180, 90), 2 * std::atan(M_PI / 8) * 180 / M_PI, 1e-9);
    EXPECT_NEAR(*VfovFromSize(2, 3600, 1800, 360), 180, 1e-9);
    EXPECT_NEAR(*VfovFromSize(3, 400, 100, 80), 20, 1e-12);
    EXPECT_FALSE(VfovFromSize(4, 400, 100, 80));
    EXPECT_FALSE(VfovFromSize(-1, 400, 100, 80));

    EXPECT_EQ(*HeightFromFov(0, 1000, 0, 90), 0);
    EXPECT_NEAR(*HeightFromFov(0, 1000, 90, 90), 1000, 1e-9);
    EXPECT_NEAR(*HeightFromFov(1, 360, 90, 2 * std::atan(M_PI / 8) * 180 / M_PI), 180, 1e-9);
    EXPECT_NEAR(*HeightFromFov(2, 3600, 360, 180), 1800, 1e-9);
    EXPECT_NEAR(*HeightFromFov(3, 400, 80, 20), 100, 1e-12);
    EXPECT_FALSE(HeightFromFov(7, 400, 80, 20));
}

TEST(Model, ProjectComputations) {
    TvrdProject p;
    p.Width = 0;
    p.ComputeVfov();
    EXPECT_EQ(p.Panorama.Vfov, 0.0001);
    p.Width = 3000;
    p.Height = 1000;
    p.Panorama.Projection = 2;
    p.Panorama.Hfov = 360;
    p.ComputeVfov();
    EXPECT_EQ(p.Panorama.Vfov, 120);
    p.Panorama.Vfov = 180;
    p.ComputeHeightFromVfov();
    EXPECT_EQ(p.Height, 1500);
    p.PreviewWidth = 301;
    p.ComputePreviewHeight();
    EXPECT_EQ(p.PreviewHeight, 151);  // 150.5 rounds up
    p.Panorama.Vfov = -10;
    p.ComputeHeightFromVfov();
    EXPECT_EQ(p.Height, 1);
    // Huge results stay inside the integer range.
    p.Panorama.Projection = 0;
    p.Panorama.Hfov = 1e-300;
    p.Panorama.Vfov = 179;
    p.ComputeHeightFromVfov();
    EXPECT_EQ(p.Height, INT32_MAX);

    // Unknown projections leave everything as it is.
    p.Panorama.Projection = 5;
    p.Panorama.Vfov = 33;
    p.Height = 44;
    p.PreviewHeight = 55;
    p.Width = 0;
    p.ComputeVfov();
    p.ComputeHeightFromVfov();
    p.ComputePreviewHeight();
    EXPECT_EQ(p.Panorama.Vfov, 33);
    EXPECT_EQ(p.Height, 44);
    EXPECT_EQ(p.PreviewHeight, 55);
}

TEST(Model, AssignWithoutCachesReusesImagesByNameAndMarksChanges) {
    TvrdProject target;
    target.SimpleOptimizer = false;
    TvrdImage* oldA = &AddNamed(target, "a");
    TvrdImage* oldB1 = &AddNamed(target, "b");
    TvrdImage* oldB2 = &AddNamed(target, "b");
    AddNamed(target, "gone");
    oldA->Width = oldA->CropRight = 100;
    oldB1->Yaw = 5;
    oldB1->Changed[4] = true;  // carried along

    TvrdProject source;
    source.SimpleOptimizer = false;
    TvrdImage& sb = AddNamed(source, "b");
    sb.Yaw = 5;
    TvrdImage& sa = AddNamed(source, "a");
    sa.Width = 200;
    sa.CropRight = 200;
    TvrdImage& sn = AddNamed(source, "new");
    sn.Pitch = 3;
    AddPoint(source, 1, 2).X2 = 9;
    source.MorphToFitData = "C x\r\n";
    source.ColorRefImage = 2;

    target.Assign(source, false);
    ASSERT_EQ(target.ImageCount(), 3);
    EXPECT_EQ(&target.Image(0), oldB1);  // the first of the equal range
    EXPECT_EQ(&target.Image(1), oldA);
    EXPECT_NE(&target.Image(2), oldB2);
    EXPECT_EQ(target.Image(2).FileName, "new");
    EXPECT_EQ(target.Image(2).Pitch, 3);
    // b: nothing differed; a: size and crop differed.
    EXPECT_EQ(oldB1->Changed, (std::array<bool, 7>{false, false, false, false, true, false, false}));
    EXPECT_EQ(oldA->Changed, (std::array<bool, 7>{true, true, true, true, false, false, false}));
    EXPECT_EQ(oldA->Width, 200);
    EXPECT_EQ(target.ControlPoint(0).X2, 9);
    EXPECT_EQ(target.MorphToFitData, "C x\r\n");
    EXPECT_EQ(target.ColorRefImage, 2);
    EXPECT_FALSE(target.SimpleOptimizer);

    // A change of the global lens marks every image's geometry as stale.
    source.GlobalLens.A = 0.5;
    target.Assign(source, false);
    EXPECT_TRUE(oldB1->Changed[1] && oldB1->Changed[2]);
    EXPECT_FALSE(oldB1->Changed[0]);
    EXPECT_EQ(target.GlobalLens.A, 0.5);

    // Placement alone: flags 2 and 3 only.
    TvrdImage a, b;
    a.FileName = b.FileName = "same";
    b.Roll = 1;
    a.Assign(b, true);
    EXPECT_EQ(a.Changed, (std::array<bool, 7>{false, true, true, false, false, false, false}));
    EXPECT_EQ(a.Roll, 1);
}

TEST(Model, AssignWithSimpleOptimizerAppliesItAfterCopying) {
    TvrdProject source;
    AddNamed(source, "a");
    AddNamed(source, "b");
    source.LinkPitch = true;  // cleared by the simple optimizer in the copy, copied back after
    TvrdProject target;
    target.Assign(source, true);
    EXPECT_TRUE(target.SimpleOptimizer);
    EXPECT_TRUE(target.LinkPitch);
    EXPECT_FALSE(target.Image(0).OptimizeYaw);
    EXPECT_TRUE(target.Image(1).OptimizeYaw);
}

// The cache operations travel with each cache; the model copies and releases through them.
// The records here stand in for the cache classes, which the model never looks into.
namespace {
struct FakeRecord {
    int value;
};
int g_live = 0;
TptImage* CopyRecord(const TptImage* r) {
    ++g_live;
    auto* src = reinterpret_cast<const FakeRecord*>(r);
    return reinterpret_cast<TptImage*>(new FakeRecord{src->value});
}
void ReleaseRecord(TptImage* r) {
    --g_live;
    delete reinterpret_cast<FakeRecord*>(r);
}
TzrMemBitmap* CopyBitmap(const TzrMemBitmap* b) {
    ++g_live;
    return reinterpret_cast<TzrMemBitmap*>(new FakeRecord{reinterpret_cast<const FakeRecord*>(b)->value});
}
void ReleaseBitmap(TzrMemBitmap* b) {
    --g_live;
    delete reinterpret_cast<FakeRecord*>(b);
}
int ValueOf(const void* p) { return static_cast<const FakeRecord*>(p)->value; }
}  // namespace

TEST(Model, CachesAreCopiedAndReleasedThroughTheirOperations) {
    {
        TvrdProject source;
        TvrdImage& s = AddNamed(source, "x.tif");
        ++g_live;
        s.PtImage = TvrdCache<TptImage>(reinterpret_cast<TptImage*>(new FakeRecord{7}),
                                        {&ReleaseRecord, &CopyRecord});
        ++g_live;
        s.Bitmaps[3] = TvrdCache<TzrMemBitmap>(reinterpret_cast<TzrMemBitmap*>(new FakeRecord{9}),
                                               {&ReleaseBitmap, &CopyBitmap});
        s.Changed[6] = true;
        TvrdProject copy;
        copy.Assign(source, true);
        EXPECT_EQ(g_live, 4);
        ASSERT_TRUE(copy.Image(0).PtImage);
        EXPECT_NE(copy.Image(0).PtImage.get(), s.PtImage.get());
        EXPECT_EQ(ValueOf(copy.Image(0).PtImage.get()), 7);
        EXPECT_EQ(ValueOf(copy.Image(0).Bitmaps[3].get()), 9);
        EXPECT_FALSE(copy.Image(0).Bitmaps[0]);
        EXPECT_TRUE(copy.Image(0).Changed[6]);

        // Same file name: the caches stay; another name without copying: they go.
        copy.Assign(source, true);
        EXPECT_EQ(g_live, 4);
        source.Image(0).FileName = "y.tif";
        copy.Assign(source, false);
        EXPECT_EQ(g_live, 2);
        EXPECT_FALSE(copy.Image(0).PtImage);
    }
    EXPECT_EQ(g_live, 0);
}

TEST(StitcherOutput, NamesTheStitcherWritesForEachFormat) {
    struct Case {
        int32_t format;
        int n;
        const char* name;
    };
    for (const Case& c : std::vector<Case>{{8, 0, "/o.ut/pano.tif"},
                                           {7, 3, "/o.ut/pano.jpg"},
                                           {11, 0, "/o.ut/pano.png"},
                                           {9, 0, "/o.ut/pano0000.tif"},
                                           {10, 12, "/o.ut/pano0012.tif"},
                                           {9, 12345, "/o.ut/pano12345.tif"},
                                           {3, 0, ""},
                                           {kFormatQTVR, 0, ""}}) {
        EXPECT_EQ(StitcherResultFile("/o.ut/pano", c.format, c.n), c.name) << c.format << " " << c.n;
        EXPECT_EQ(IsMultiFileFormat(c.format), c.format == 9 || c.format == 10);
    }
}
