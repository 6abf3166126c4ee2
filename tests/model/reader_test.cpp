#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/exceptions.h"
#include "model/datastructures.h"
#include "tests/support/tempdir.h"

using namespace qb;

namespace {

std::string Lines(const std::vector<std::string>& lines, const char* end = "\r\n") {
    std::string s;
    for (const auto& l : lines) s += l + end;
    return s;
}

void ReadProject(const std::string& text, TvrdProject& p) {
    ReadProjectText(text, ReadMode::Project, p, true, true, false);
}

std::string ErrorOf(const std::string& text, ReadMode mode = ReadMode::Project,
                    bool skipImageCheck = true) {
    TvrdProject p;
    try {
        ReadProjectText(text, mode, p, true, skipImageCheck, false);
    } catch (const EConvertError& e) {
        return "convert: " + e.message();
    } catch (const Exception& e) {
        return e.message();
    }
    return "<no error>";
}

const std::string kHeader = "# vorda project file\r\n\r\n";

// A version 9 project of two images, written as the editor writes it.
const std::vector<std::string> kTwoImages = {
    "# vorda project file",
    "",
    "#-fileversion 9",
    "#-previewwidth 300",
    "#-previewheight 150",
    "#-vfov 60",
    "#-fixaspect 0",
    "#-hasbeenoptimized 0",
    "#-morphmode 1",
    "#-imgrotate13",
    "p w2000 h1000 f2 v120 u10 n\"TIFF_m\" d1",
    "m g2.2 i3 f0",
    "#-dummyimage",
    "o w1 h1 y10 r11 p12 v60 a0.1 b0.2 c0.3 f2 d4 e5 g6 t7",
    "#-imgfile 800.9 600 \"/pics/my a.jpg\"",
    "o f0 y1 r2 p3 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0",
    "#-imgfile 800 600 \"/pics/b.jpg\"",
    "o f1 y20 r0 p0 v45 a1 b2 c3 d=0 e=0 g9 t8 C1,799,2,598",
    "c n1 N2 x10.5 y3.49 X0 Y0 t0",
    "# Control Point No 0: 2.5",
    "c n2 N1 x-0.5 y-0.51 X7 Y8 t2",
    "# Control Point No 1: -1",
    "#-cpinactive 1 5",
    "#-imginactive 0",
    "#-previewinactive 1",
    "#-morphcp 1",
    "#-nooptcp 0 9",
    "v v d y2 p2 v2 g2",
};

}  // namespace

TEST(Reader, ReadsAVersion9Project) {
    TvrdProject p;
    ReadProject(Lines(kTwoImages), p);
    ASSERT_EQ(p.ImageCount(), 2);
    ASSERT_EQ(p.ControlPointCount(), 2);
    EXPECT_EQ(p.PreviewWidth, 300);
    EXPECT_EQ(p.PreviewHeight, 150);
    EXPECT_EQ(p.Panorama.Vfov, 60);
    EXPECT_FALSE(p.FixAspect);
    EXPECT_FALSE(p.HasBeenOptimized);
    EXPECT_EQ(p.MorphMode, 1);
    EXPECT_EQ(p.Width, 2000);
    EXPECT_EQ(p.Panorama.Projection, 2);
    EXPECT_EQ(p.Panorama.Hfov, 120);
    EXPECT_EQ(p.Panorama.FeatherWidth, 10);
    EXPECT_EQ(p.Panorama.OutputFormat, kFormatTIFF_m);
    EXPECT_EQ(p.Panorama.Gamma, 2.2);
    EXPECT_EQ(p.Panorama.Interpolator, 3);
    EXPECT_TRUE(p.ColorCorrection);
    EXPECT_EQ(p.ColorCorrectionKind, 2);
    EXPECT_EQ(p.ColorRefImage, 1);
    EXPECT_FALSE(p.SimpleOptimizer);

    // The dummy line reaches only the global records.
    EXPECT_EQ(p.GlobalLens, TvrdLensParams({60, 0.1, 0.2, 0.3, 2, 1.0}));
    EXPECT_EQ(p.GlobalShift, TvrdShift({4, 5}));
    EXPECT_EQ(p.GlobalShear, TvrdShear({6, 7}));

    const TvrdImage& a = p.Image(0);
    EXPECT_EQ(a.FileName, "/pics/my a.jpg");
    EXPECT_EQ(a.Width, 800);
    EXPECT_EQ(a.Height, 600);
    EXPECT_EQ(a.Yaw, 1);
    EXPECT_EQ(a.Roll, 2);
    EXPECT_EQ(a.Pitch, 3);
    EXPECT_FALSE(a.OwnLens || a.OwnShift || a.OwnShear);
    EXPECT_EQ(a.Lens, p.GlobalLens);  // from ApplyGlobalParams
    EXPECT_EQ(a.Shear, p.GlobalShear);
    EXPECT_FALSE(a.IsCropped());
    EXPECT_EQ(a.Rotation, 1);
    EXPECT_FALSE(a.InStitch);
    EXPECT_TRUE(a.InPreview && a.ControlPointsActive);

    const TvrdImage& b = p.Image(1);
    EXPECT_TRUE(b.OwnLens);
    EXPECT_EQ(b.Lens, TvrdLensParams({45, 1, 2, 3, 1, 1.0}));
    EXPECT_FALSE(b.OwnShift);
    EXPECT_EQ(b.Shift, p.GlobalShift);
    EXPECT_TRUE(b.OwnShear);
    EXPECT_EQ(b.Shear, TvrdShear({9, 8}));
    EXPECT_EQ(b.CropLeft, 1);
    EXPECT_EQ(b.CropRight, 799);
    EXPECT_EQ(b.CropTop, 2);
    EXPECT_EQ(b.CropBottom, 598);
    EXPECT_EQ(b.Rotation, 3);
    EXPECT_FALSE(b.ControlPointsActive || b.InPreview);

    // Optimise flags: global v, d; image 1 yaw, pitch, own v and own g.
    EXPECT_TRUE(p.OptimizeGlobalV && p.OptimizeGlobalD);
    EXPECT_FALSE(p.OptimizeGlobalB || p.OptimizeGlobalA);
    EXPECT_FALSE(a.OptimizeYaw || a.OptimizePitch || a.OptimizeRoll || a.OptimizeV);
    EXPECT_TRUE(b.OptimizeYaw && b.OptimizePitch && b.OptimizeV && b.OptimizeG);
    EXPECT_FALSE(b.OptimizeRoll || b.OptimizeA || b.OptimizeT);

    // Points: numbers lowered by the dummy, coordinates rounded half up.
    const TvrdControlPoint& c0 = p.ControlPoint(0);
    EXPECT_EQ(c0.Image1, 0);
    EXPECT_EQ(c0.Image2, 1);
    EXPECT_EQ(c0.X1, 11);
    EXPECT_EQ(c0.Y1, 3);
    EXPECT_EQ(c0.Distance, 2.5);
    EXPECT_FALSE(c0.Optimize);
    EXPECT_FALSE(c0.Morph);
    const TvrdControlPoint& c1 = p.ControlPoint(1);
    EXPECT_EQ(c1.X1, 0);
    EXPECT_EQ(c1.Y1, -1);
    EXPECT_EQ(c1.Type, 2);
    EXPECT_TRUE(c1.Morph && c1.Optimize);
}

TEST(Reader, LineSplitting) {
    // LF alone ends no line: the whole text is one line and fails the header test.
    EXPECT_EQ(ErrorOf(Lines({"# vorda project file", "", "#-fileversion 9"}, "\n")),
              "This is not a Vorda project file.");
    // Trailing blanks and control characters are trimmed.
    EXPECT_EQ(ErrorOf("  # vorda project file \t\r\n\r\n#-fileversion 9\r\n"), "<no error>");
    EXPECT_EQ(ErrorOf("# vorda project\r\n"), "This is not a Vorda project file.");
    EXPECT_EQ(ErrorOf(""), "This is not a Vorda project file.");

    TvrdProject p;
    // A CR not followed by LF: the line runs to the next LF.
    ReadProject(kHeader + "#-fileversion 9\r\np w10 z\rh20\n#-previewwidth 77\r\n", p);
    EXPECT_EQ(p.Width, 10);
    EXPECT_EQ(p.Height, 1000);  // "z\rh20" is one token of an unknown letter
    EXPECT_EQ(p.PreviewWidth, 77);
    // A rest with a CR but no LF after it is the last line (and reading ends).
    TvrdProject q;
    ReadProject(kHeader + "#-fileversion 9\r\np w10 z\rh20 u3\r", q);
    EXPECT_EQ(q.Width, 10);
    EXPECT_EQ(q.Panorama.FeatherWidth, 3);
    TvrdProject r;
    ReadProject(kHeader + "#-fileversion 9\r\n#-previewwidth 5\r\r\r", r);
    EXPECT_EQ(r.PreviewWidth, 5);
}

TEST(Reader, TokensAndFields) {
    TvrdProject p;
    ReadProject(Lines({"# vorda project file", "#-fileversion 9",
                       "p   w5    h6 n\"PSD_nomask\" zz f1 # w99",
                       "#-imgfile 10 20 \"/a b/c\"d.jpg\"",
                       "o y1 w55 n\"xy\" q \"r 2\"",
                       "#-imgfile 10 20 \"/unclosed name",
                       "o", "v y1 y0 q3 p7 r"}),
                p);
    EXPECT_EQ(p.Width, 5);
    EXPECT_EQ(p.Height, 6);
    EXPECT_EQ(p.Panorama.Projection, 1);
    EXPECT_EQ(p.Panorama.OutputFormat, 2);
    ASSERT_EQ(p.ImageCount(), 2);
    EXPECT_EQ(p.Image(0).FileName, "/a b/c");
    EXPECT_EQ(p.Image(0).Roll, 2);
    EXPECT_EQ(p.Image(1).FileName, "/unclosed name");
    // A dummy was never announced: numbers count from 0; numbers past the images and
    // letters without image are ignored.
    EXPECT_TRUE(p.Image(1).OptimizeYaw);
    EXPECT_TRUE(p.Image(0).OptimizeYaw);
    EXPECT_FALSE(p.Image(0).OptimizeRoll || p.Image(1).OptimizePitch);
}

TEST(Reader, OnlyTheLastVariableLineCounts) {
    TvrdProject p;
    ReadProject(Lines({"# vorda project file", "#-fileversion 9", "#-dummyimage",
                       "o w1 h1 y0 r0 p0 v50 a0 b0 c0 f0 d0 e0 g0 t0", "#-imgfile 1 1 \"/x\"",
                       "o f0 y0 r0 p0", "v v a y1", "v b r1"}),
                p);
    EXPECT_FALSE(p.OptimizeGlobalV || p.OptimizeGlobalA || p.Image(0).OptimizeYaw);
    EXPECT_TRUE(p.OptimizeGlobalB && p.Image(0).OptimizeRoll);
}

TEST(Reader, ImageRotationColourReferenceAndSimpleOptimizer) {
    TvrdProject p;
    ReadProject(Lines({"# vorda project file", "#-fileversion 9", "#-imgrotate 3",
                       "#-simpleoptimizer", "p k7", "#-imgfile 1 1 \"/x\"", "o", "#-imgfile 1 1 \"/y\"",
                       "o", "#-imgfile 1 1 \"/z\"", "o", "v v a"}),
                p);
    EXPECT_EQ(p.Image(0).Rotation, 3);
    EXPECT_EQ(p.Image(1).Rotation, 0);
    EXPECT_TRUE(p.ColorCorrection);
    EXPECT_EQ(p.ColorRefImage, 2);
    EXPECT_EQ(p.ColorCorrectionKind, 0);
    EXPECT_TRUE(p.SimpleOptimizer);
    EXPECT_TRUE(p.OptimizeGlobalA && p.OptimizeGlobalB && p.OptimizeGlobalC);  // a, b, c together
    EXPECT_EQ(p.FindAnchorImage(), 0);
    EXPECT_TRUE(p.Image(1).OptimizeYaw && p.Image(2).OptimizeRoll);

    TvrdProject q;
    q.Images.clear();
    for (int i = 0; i < 3; ++i) q.AddImage().Rotation = 2;
    ReadProjectText(Lines({"# vorda project file", "#-fileversion 9", "#-imgrotate9x1", "p b-4"}),
                    ReadMode::OptimizerScript, q, true, true, false);
    EXPECT_EQ(q.Image(0).Rotation, 2);  // 9 and x are no rotation digits
    EXPECT_EQ(q.Image(1).Rotation, 2);
    EXPECT_EQ(q.Image(2).Rotation, 1);
    EXPECT_EQ(q.ColorRefImage, 0);  // a negative reference is raised to 0
    EXPECT_EQ(q.ColorCorrectionKind, 1);

    TvrdProject none;
    none.ColorRefImage = 5;
    ReadProject(kHeader, none);
    EXPECT_EQ(none.ColorRefImage, 0);
    EXPECT_FALSE(none.ColorCorrection);
    EXPECT_TRUE(none.HasBeenOptimized);  // no directive: counted as optimised
}

TEST(Reader, Errors) {
    EXPECT_EQ(ErrorOf(kHeader + "#-fileversion 9\r\n#-dummyimage\r\no\r\n#-imgfile 1 1 \"/a\"\r\no\r\no\r\n"),
              "No file name for image 2");
    EXPECT_EQ(ErrorOf(kHeader + "o y1\r\n"), "No file name for image 1");
    EXPECT_EQ(ErrorOf(kHeader + "#-imgfile 1 1 \"/nonexistent/qb/a.jpg\"\r\no\r\n",
                      ReadMode::Project, false),
              "Image not found: /nonexistent/qb/a.jpg");
    EXPECT_EQ(ErrorOf(kHeader + "#-fileversion nine\r\n"),
              "convert: 'nine' is not a valid integer value");
    EXPECT_EQ(ErrorOf(kHeader + "p v1,5\r\n").substr(0, 9), "convert: ");
    EXPECT_EQ(ErrorOf(kHeader + "c x\r\n").substr(0, 9), "convert: ");
    EXPECT_EQ(ErrorOf(kHeader + "c x1e300\r\n").substr(0, 9), "convert: ");
    EXPECT_EQ(ErrorOf(kHeader + "#-imgfile 1\r\n").substr(0, 9), "convert: ");
    EXPECT_EQ(ErrorOf(kHeader + "#-imgfile 1 1 \"/a\"\r\no C1,2,3\r\n").substr(0, 9), "convert: ");
    EXPECT_EQ(ErrorOf(kHeader + "v y1 pp\r\n").substr(0, 9), "convert: ");
    EXPECT_EQ(ErrorOf(kHeader + "#-nooptcp 1 x\r\n").substr(0, 9), "convert: ");
    // Unknown lines, directives and letters are no error.
    EXPECT_EQ(ErrorOf(kHeader + "#-whatever 12\r\nzz top\r\np Q5 w9\r\nc q1\r\n#-morphcp 99 -1\r\n"),
              "<no error>");
    // Modes without header test read anything.
    EXPECT_EQ(ErrorOf("garbage\r\n", ReadMode::MorphResult), "<no error>");
}

TEST(Reader, FirstImageMustExistUnlessSkipped) {
    const std::string dir = test::MakeTempDir();
    test::WriteFile(dir + "a.jpg", "x");
    const std::string text = kHeader + "#-imgfile 1 1 \"" + dir + "a.jpg\"\r\no\r\n" +
                             "#-imgfile 1 1 \"" + dir + "missing.jpg\"\r\no\r\n";
    TvrdProject p;
    EXPECT_NO_THROW(ReadProjectText(text, ReadMode::Project, p, true, false, false));
    EXPECT_EQ(p.ImageCount(), 2);  // only the first image is looked for
    test::RemoveTree(dir);
}

TEST(Reader, SkipLensValues) {
    TvrdProject p;
    ReadProjectText(Lines(kTwoImages), ReadMode::Project, p, true, true, true);
    EXPECT_EQ(p.GlobalLens, TvrdLensParams());
    EXPECT_FALSE(p.Image(1).OwnLens || p.Image(1).OwnShear);
    EXPECT_EQ(p.Image(1).Lens.LensType, 0);
    EXPECT_EQ(p.Image(1).Yaw, 20);
}

TEST(Reader, OlderFileVersions) {
    // Version 0 (no directive): values never own, numbered lens tokens are global, S is a
    // crop, FixAspect forced and the vertical field and preview height recomputed.
    TvrdProject v0;
    ReadProject(Lines({"# vorda project file", "#-fixaspect 0", "#-vfov 10", "#-previewwidth 100",
                       "#-previewheight 7", "p w3000 h1000 f2 v360",
                       "#-imgfile 640 480 \"/a.jpg\"", "o f0 y0 r0 p0 v70 a1 b2 c3 S5,600,6,400",
                       "#-imgfile 640 480 \"/b.jpg\"", "o f0 y9 r0 p0 v80 a4 b5 c6 d1 e1",
                       "v v1 b0 y1"}),
                v0);
    EXPECT_TRUE(v0.FixAspect);
    EXPECT_EQ(v0.Panorama.Vfov, 120);
    EXPECT_EQ(v0.PreviewHeight, 33);  // 33.33 from 100 x 120 / 360
    EXPECT_EQ(v0.GlobalLens.Hfov, 70);  // from the first image line
    EXPECT_FALSE(v0.Image(1).OwnLens || v0.Image(1).OwnShift);
    EXPECT_EQ(v0.Image(1).Lens.Hfov, 70);
    EXPECT_EQ(v0.Image(0).CropLeft, 5);
    EXPECT_EQ(v0.Image(0).CropBottom, 400);
    EXPECT_TRUE(v0.OptimizeGlobalV && v0.OptimizeGlobalB);
    EXPECT_FALSE(v0.Image(1).OptimizeV);
    EXPECT_TRUE(v0.Image(1).OptimizeYaw);

    // Version 1 behaves the same.
    TvrdProject v1;
    ReadProject(Lines({"# vorda project file", "#-fileversion 1", "p w1000 f0 v90",
                       "#-imgfile 640 480 \"/a.jpg\"", "o v70", "#-imgfile 640 480 \"/b.jpg\"",
                       "o v30 a0.5", "v a1"}),
                v1);
    EXPECT_FALSE(v1.Image(1).OwnLens);
    EXPECT_EQ(v1.Image(1).Lens.Hfov, 70);
    EXPECT_TRUE(v1.OptimizeGlobalA);
    EXPECT_NEAR(v1.Panorama.Vfov, 90, 1e-9);  // square rectilinear

    // Version 2: values make own records and numbered tokens the image's flags; S still crops.
    TvrdProject v2;
    ReadProject(Lines({"# vorda project file", "#-fileversion 2", "#-dummyimage",
                       "o w1 h1 v50 a0 b0 c0", "#-imgfile 640 480 \"/a.jpg\"",
                       "o v=0 a=0 b=0 c=0 S1,2,3,4", "#-imgfile 640 480 \"/b.jpg\"", "o v30 a0.5",
                       "v v2 a2 v"}),
                v2);
    EXPECT_FALSE(v2.Image(0).OwnLens);
    EXPECT_EQ(v2.Image(0).CropTop, 3);
    EXPECT_TRUE(v2.Image(1).OwnLens);
    EXPECT_EQ(v2.Image(1).Lens.Hfov, 30);
    EXPECT_EQ(v2.Image(1).Lens.A, 0.5);
    EXPECT_EQ(v2.Image(1).Lens.B, 0.001);  // an own record keeps what the line did not set
    EXPECT_TRUE(v2.Image(1).OptimizeV && v2.Image(1).OptimizeA && v2.OptimizeGlobalV);
    EXPECT_FALSE(v2.OptimizeGlobalA);

    // Version 4: S is no crop any more; auto height on an equirectangular panorama gives
    // the height of a vertical field of 180.
    TvrdProject v4;
    ReadProject(Lines({"# vorda project file", "#-fileversion 4", "#-autoheight 1",
                       "#-previewwidth 200", "p w3000 h77 f2 v360", "#-imgfile 640 480 \"/a.jpg\"",
                       "o S1,2,3,4 C7,600,8,470"}),
                v4);
    EXPECT_EQ(v4.Image(0).CropLeft, 7);
    EXPECT_EQ(v4.Panorama.Vfov, 180);
    EXPECT_EQ(v4.Height, 1500);
    EXPECT_EQ(v4.PreviewHeight, 100);
    EXPECT_TRUE(v4.FixAspect);

    // Auto height counts only for projection 2.
    TvrdProject cyl;
    ReadProject(Lines({"# vorda project file", "#-fileversion 4", "#-autoheight 1",
                       "p w3000 h1000 f3 v360"}),
                cyl);
    EXPECT_EQ(cyl.Height, 1000);
    EXPECT_EQ(cyl.Panorama.Vfov, 120);

    // Version 5 and later keep what the file says.
    TvrdProject v5;
    ReadProject(Lines({"# vorda project file", "#-fileversion 5", "#-fixaspect 0", "#-vfov 10",
                       "#-autoheight 1", "p w3000 h77 f2 v360"}),
                v5);
    EXPECT_FALSE(v5.FixAspect);
    EXPECT_EQ(v5.Panorama.Vfov, 10);
    EXPECT_EQ(v5.Height, 77);
}

TEST(Reader, OptimizerResultUpdatesImagesAndDistances) {
    TvrdProject p;
    p.SimpleOptimizer = false;
    for (int i = 0; i < 3; ++i) {
        TvrdImage& im = p.AddImage();
        im.FileName = "/p/" + std::to_string(i) + ".jpg";
        im.Width = im.CropRight = 100;
        im.Height = im.CropBottom = 100;
    }
    p.Images[2]->OwnLens = true;
    p.Images[1]->ControlPointsActive = false;
    for (int i = 0; i < 5; ++i) {
        TvrdControlPoint& cp = p.AddControlPoint();
        cp.Image2 = i == 1 ? 1 : 2;  // point 1 touches the inactive image
        cp.Distance = 99;
    }
    p.ControlPoints[3]->Optimize = false;
    // What the optimizer returns: the script, the results marker, a line per image (the
    // first one for the dummy image) and a distance for each point of the script.
    const std::string text = Lines({
        "# script file for ptOptimizer created by vorda", "", "#-dummyimage",
        "i w1 h1 y0 r0 p0 v50", "o y77 r77",  // before the marker: ignored
        "c n1 N3 x1 y1 X1 Y1 t0", "v y1", "*", "# Control Point No 0:  0.5",
        "o f0 r0 p0 y0 v51 a0.1 b0.2 c0.3 g0 t0 d0 e0 u10 -buf",
        "o f3 r1.5 p-2 y10 v60 a0 b0 c0 g0 t0 d0 e0 u10 +buf",
        "o f0 r0 p0 y20 v60 a0 b0 c0 g0 t0 d0 e0",
        "o f0 r0 p0 y30 v70 a0.7 b0 c0 g0 t0 d0 e0",
        "o y40",  // no image left: ignored
        "# Control Point No 1:  1.25", "# Control Point No 2:  2.5", "# Control Point No 3: 9",
        "C i0 c0  x1 y1 X1 Y1  D0 Dx0 Dy0"});
    ReadProjectText(text, ReadMode::OptimizerResult, p, true, false, false);
    EXPECT_EQ(p.GlobalLens.Hfov, 51);
    EXPECT_EQ(p.GlobalLens.A, 0.1);
    EXPECT_EQ(p.Image(0).Yaw, 10);
    EXPECT_EQ(p.Image(0).Roll, 1.5);
    EXPECT_EQ(p.Image(0).Pitch, -2);
    EXPECT_EQ(p.Image(0).Lens.Hfov, 51);  // not own: the global record
    EXPECT_EQ(p.Image(0).Lens.LensType, 0);  // f is not read back
    EXPECT_EQ(p.Image(1).Yaw, 20);
    EXPECT_EQ(p.Image(2).Yaw, 30);
    EXPECT_EQ(p.Image(2).Lens.Hfov, 70);
    EXPECT_EQ(p.Image(2).Lens.A, 0.7);
    // Distances go to the points the script held: 0, 2, 4 (1 has an inactive image, 3 is
    // not optimised); the fourth distance has no point left.
    EXPECT_EQ(p.ControlPoint(0).Distance, 0.5);
    EXPECT_EQ(p.ControlPoint(1).Distance, -1);
    EXPECT_EQ(p.ControlPoint(2).Distance, 1.25);
    EXPECT_EQ(p.ControlPoint(3).Distance, -1);
    EXPECT_EQ(p.ControlPoint(4).Distance, 2.5);
    EXPECT_FALSE(p.Images[1]->ControlPointsActive);  // the script's flags stay
    EXPECT_EQ(p.ImageCount(), 3);
    EXPECT_EQ(p.ControlPointCount(), 5);
    EXPECT_TRUE(p.MorphToFitData.empty());
}

TEST(Reader, MorphResultCollectsTheCLines) {
    TvrdProject p;
    p.AddImage().Yaw = 5;
    p.MorphToFitData = "old\r\n";
    const std::string text = Lines({"# script file for ptOptimizer (morph to fit) created by vorda",
                                    "C i0 c9 before the marker", "*", "o y99",
                                    "C i0 c0  x561.256 y249.607 X561.237 Y249.647  D0.08743",
                                    "c n0", "C   i1 c0 x1 # comment", "Cx i2"});
    ReadProjectText(text, ReadMode::MorphResult, p, true, false, false);
    EXPECT_EQ(p.MorphToFitData,
              "C i0 c0  x561.256 y249.607 X561.237 Y249.647  D0.08743\r\nC i1 c0 x1\r\n");
    EXPECT_EQ(p.Image(0).Yaw, 5);
    EXPECT_EQ(p.ControlPointCount(), 0);
}

TEST(Reader, OptimizerScriptUpdatesExistingImages) {
    TvrdProject p;
    p.AddImage().FileName = "/keep.jpg";
    ReadProjectText(Lines({"# vorda project file", "#-fileversion 9", "#-nooptcp 0",
                           "#-cpinactive 0", "#-imgfile 5 5 \"/other\"", "o y12 v33",
                           "c n0 N0", "o y13", "*", "o y14"}),
                    ReadMode::OptimizerScript, p, true, false, false);
    ASSERT_EQ(p.ImageCount(), 1);
    EXPECT_EQ(p.Image(0).FileName, "/keep.jpg");
    EXPECT_EQ(p.Image(0).Yaw, 12);
    EXPECT_TRUE(p.Image(0).OwnLens);
    EXPECT_EQ(p.Image(0).Lens.Hfov, 33);
    EXPECT_EQ(p.GlobalLens.Hfov, 33);
    EXPECT_EQ(p.ControlPointCount(), 0);
    EXPECT_TRUE(p.Image(0).ControlPointsActive);  // the lists belong to project files
}

TEST(Reader, EveryDistanceLineMovesTheControlPointCursorSoNoPointTakesAnothersDistance) {
    // The project of two images with its point and distance lines in the given order.
    auto read = [](const std::vector<std::string>& pointLines) {
        std::vector<std::string> lines(kTwoImages.begin(), kTwoImages.begin() + 18);
        lines.insert(lines.end(), pointLines.begin(), pointLines.end());
        TvrdProject p;
        ReadProject(Lines(lines), p);
        std::vector<double> distances;
        for (int i = 0; i < p.ControlPointCount(); ++i) distances.push_back(p.ControlPoints[size_t(i)]->Distance);
        return distances;
    };
    const std::string c0 = "c n1 N2 x1 y1 X1 Y1 t0", c1 = "c n2 N1 x2 y2 X2 Y2 t0";
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::vector<double> distances;
    };
    const Case cases[] = {
        {"each after its point", {c0, "# Control Point No 0: 2.5", c1, "# Control Point No 1: 4"}, {2.5, 4}},
        // Point 0 must not take the value written for point 1.
        {"each before its point", {"# Control Point No 0: 2.5", c0, "# Control Point No 1: 4", c1}, {-1, -1}},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.lines), c.distances) << c.what;
}

TEST(Reader, ABadValueIsQuotedShortly) {
    // Three megabytes of digits where a number belongs: the message quotes 100 characters.
    std::vector<std::string> lines(kTwoImages.begin(), kTwoImages.begin() + 10);
    lines.push_back("p w" + std::string(3 << 20, '9') + " h1000 f2 v120 n\"TIFF\"");
    const std::string error = ErrorOf(Lines(lines));
    EXPECT_EQ(error, "convert: '" + std::string(100, '9') + "...' is not a valid integer value");
}
