#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/datastructures.h"

using namespace qb;

namespace {

// Lines joined with CR LF, each line ended.
std::string Lines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

// Two 640 x 480 images without own records, the first the anchor, the second at yaw 30
// optimised in yaw, roll and pitch, one control point between them.
void MakeExampleProject(TvrdProject& p, const std::string& dir) {
    TvrdImage& a = p.AddImage();
    a.FileName = dir + "a.jpg";
    TvrdImage& b = p.AddImage();
    b.FileName = dir + "b.jpg";
    for (TvrdImage* im : {&a, &b}) {
        im->Width = im->CropRight = 640;
        im->Height = im->CropBottom = 480;
    }
    b.Yaw = 30;
    TvrdControlPoint& cp = p.AddControlPoint();
    cp.Image1 = 0;
    cp.Image2 = 1;
    cp.X1 = 600;
    cp.Y1 = 240;
    cp.X2 = 40;
    cp.Y2 = 240;
}

// The lines of a text, CR LF removed; fails when a line end is not CR LF.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t e = text.find("\r\n", pos);
        if (e == std::string::npos) {
            ADD_FAILURE() << "text does not end in CR LF";
            break;
        }
        lines.push_back(text.substr(pos, e - pos));
        pos = e + 2;
    }
    return lines;
}

std::string LineStartingWith(const std::string& text, const std::string& prefix) {
    for (const auto& l : SplitLines(text))
        if (l.rfind(prefix, 0) == 0) return l;
    return "<none>";
}

std::string OptimizeText(const TvrdProject& p, std::string* message = nullptr) {
    return MakeScriptText(p, ScriptMode::Optimize, [&](const std::string& m) {
        if (message) *message = m;
    });
}

}  // namespace

TEST(Writer, ProjectExampleIsByteExact) {
    TvrdProject p;
    MakeExampleProject(p, "C:\\pics\\");
    const std::string expected = Lines({
        "# vorda project file",
        "",
        "#-fileversion 9",
        "#-jpegquality 90",
        "#-previewwidth 250",
        "#-previewheight 250",
        "#-vfov 100",
        "#-fixaspect 1",
        "#-outputfile ",
        "#-ccdcrop 1",
        "#-hasbeenoptimized 0",
        "#-morphmode 2",
        "#-simpleoptimizer",
        "#-imgrotate00",
        "# Panorama settings:",
        "p w1000 h1000 f0 v100 u20 n\"JPEG g0 q90\"",
        "m g1 i0 f0",
        "",
        "# input images:",
        "#-dummyimage",
        "# The following line contains a 'dummy image' containing some global parameters for the project",
        "o w1 h1 y0 r0 p0 v50 a0.001 b0.001 c0.001 f0 d0 e0 g0 t0",
        "#-imgfile 640 480 \"C:\\pics\\a.jpg\"",
        "o f0 y0 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0",
        "#-imgfile 640 480 \"C:\\pics\\b.jpg\"",
        "o f0 y30 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0",
        "",
        "# Control points:",
        "c n1 N2 x600 y240 X40 Y240 t0",
        "# Control Point No 0: -1",
        "#-cpinactive",
        "#-imginactive",
        "#-previewinactive",
        "#-morphcp",
        "#-nooptcp",
        "",
        "# optimizer:",
        "v v b y2 r2 p2",
    });
    EXPECT_EQ(MakeScriptText(p, ScriptMode::Project), expected);
}

TEST(Writer, StitchExampleIsByteExact) {
    // The same project with the images in a folder of this platform.
    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    const std::string expected = Lines({
        "# script file for ptStitcher created by vorda",
        "",
        "p w1000 h1000 f0 v100 u20 n\"JPEG g0 q90\"",
        "m g1 i0 f0",
        "i n\"a.jpg\"",
        "o f0 y0 r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0",
        "i n\"b.jpg\"",
        "o f0 y30 r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0",
    });
    EXPECT_EQ(MakeScriptText(p, ScriptMode::Stitch), expected);
}

TEST(Writer, EmptyProjectStillWritesDummyListsAndGlobalLetters) {
    TvrdProject p;
    p.OptimizeGlobalG = true;
    const std::string text = MakeScriptText(p, ScriptMode::Project);
    EXPECT_NE(text.find("#-imgrotate\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\no w1 h1 y0 r0 p0 v50 a0.001 b0.001 c0.001 f0 d0 e0 g0 t0\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("#-cpinactive\r\n#-imginactive\r\n#-previewinactive\r\n#-morphcp\r\n"
                        "#-nooptcp\r\n\r\n# optimizer:\r\nv v b g\r\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 9), "v v b g\r\n");
}

TEST(Writer, ProjectDirectivesAndListsFollowTheFlags) {
    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    p.SimpleOptimizer = false;
    p.Panorama.FastTransform = false;
    p.EnblendEnabled = false;
    p.LinkPitch = p.LinkRoll = true;
    p.Images[0]->Rotation = 3;
    p.Images[1]->Rotation = 12;  // no single digit: keeps its place as 0
    p.Images[1]->ControlPointsActive = false;
    p.Images[0]->InStitch = false;
    p.Images[1]->InPreview = false;
    p.AddControlPoint().Morph = true;
    p.ControlPoints[0]->Optimize = false;
    p.Panorama.OutputFile = "/out/pano.tif";
    const std::string text = MakeScriptText(p, ScriptMode::Project);
    EXPECT_NE(text.find("#-morphmode 2\r\n#-nofasttransform\r\n#-disableenblend\r\n#-imgrotate30\r\n"
                        "#-linkpitch\r\n#-linkroll\r\n# Panorama settings:\r\n"),
              std::string::npos);
    EXPECT_EQ(LineStartingWith(text, "#-outputfile"), "#-outputfile /out/pano.tif");
    EXPECT_EQ(LineStartingWith(text, "m "), "m g1 i0");
    EXPECT_NE(text.find("#-cpinactive 1\r\n#-imginactive 0\r\n#-previewinactive 1\r\n"
                        "#-morphcp 1\r\n#-nooptcp 0\r\n"),
              std::string::npos);
    // Project mode keeps r and p (and the trailing r0, p0 of the links) in the list.
    EXPECT_EQ(LineStartingWith(text, "v "), "v v b y2 r2 p2 r0 p0");
}

TEST(Writer, OwnRecordsCarryValuesAndOthersTheLinks) {
    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    TvrdImage& b = *p.Images[1];
    b.OwnLens = true;
    b.Lens = {60, 0.1, 0.2, 0.3, 3, 1.5};
    b.OwnShear = true;
    b.Shear = {0.5, -0.25};
    p.GlobalShift = {4, 5};
    const std::string project = MakeScriptText(p, ScriptMode::Project);
    EXPECT_NE(project.find("\"/pics/b.jpg\"\r\no f3 y30 r0 p0 v60 a0.1 b0.2 c0.3 d=0 e=0 g0.5 t-0.25\r\n"),
              std::string::npos);
    EXPECT_NE(project.find("\"/pics/a.jpg\"\r\no f0 y0 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0\r\n"),
              std::string::npos);
    // Own lens optimise flags of image 1 (number 2 after the dummy) join the list.
    EXPECT_EQ(LineStartingWith(project, "v "), "v v b v2 a2 b2 c2 y2 r2 p2");
    const std::string stitch = MakeScriptText(p, ScriptMode::Stitch);
    EXPECT_NE(stitch.find("o f0 y0 r0 p0 v50 a0.001 b0.001 c0.001 d4 e5 g0 t0\r\n"), std::string::npos);
    EXPECT_NE(stitch.find("o f3 y30 r0 p0 v60 a0.1 b0.2 c0.3 d4 e5 g0.5 t-0.25\r\n"), std::string::npos);
}

TEST(Writer, StitchLeavesOutImagesAndRenumbersTheColourReference) {
    TvrdProject p;
    for (int i = 0; i < 4; ++i) {
        TvrdImage& im = p.AddImage();
        im.FileName = "/x/" + std::to_string(i) + ".tif";
    }
    p.ColorCorrection = true;
    p.ColorRefImage = 2;
    p.ColorCorrectionKind = 1;
    p.Images[1]->InStitch = false;
    std::string text = MakeScriptText(p, ScriptMode::Stitch);
    EXPECT_EQ(LineStartingWith(text, "p "), "p w1000 h1000 f0 v100 u20 n\"JPEG g0 q90\" b1");
    EXPECT_EQ(text.find("1.tif"), std::string::npos);
    EXPECT_NE(text.find("i n\"3.tif\""), std::string::npos);
    // In the project file the reference keeps its index.
    EXPECT_NE(MakeScriptText(p, ScriptMode::Project).find("n\"JPEG g0 q90\" b2\r\n"), std::string::npos);

    p.ColorCorrectionKind = 2;
    p.Images[2]->InStitch = false;  // the reference itself is left out: no colour letter
    text = MakeScriptText(p, ScriptMode::Stitch);
    EXPECT_EQ(LineStartingWith(text, "p "), "p w1000 h1000 f0 v100 u20 n\"JPEG g0 q90\"");

    p.ColorCorrectionKind = 0;
    p.Images[2]->InStitch = true;
    p.Images[0]->InPreview = false;
    text = MakeScriptText(p, ScriptMode::Preview);
    EXPECT_EQ(LineStartingWith(text, "p "), "p n\"JPEG q90\" w250 h250 f0 v100 u5 k1");
    EXPECT_EQ(text.find("0.tif"), std::string::npos);
}

TEST(Writer, PreviewScalesTheFeatherWidthAndKeepsItWithoutFinalWidth) {
    TvrdProject p;
    p.Panorama.FeatherWidth = 30;
    p.PreviewWidth = 300;
    p.Width = 4000;
    EXPECT_EQ(LineStartingWith(MakeScriptText(p, ScriptMode::Preview), "p "),
              "p n\"JPEG q90\" w300 h250 f0 v100 u2");
    p.Width = 0;  // no division by zero: the feather width as it is
    EXPECT_EQ(LineStartingWith(MakeScriptText(p, ScriptMode::Preview), "p "),
              "p n\"JPEG q90\" w300 h250 f0 v100 u30");
    p.Width = 1;
    p.Panorama.FeatherWidth = 2000000000;
    p.PreviewWidth = 2000000000;  // the product is no 32-bit value
    EXPECT_EQ(LineStartingWith(MakeScriptText(p, ScriptMode::Preview), "p "),
              "p n\"JPEG q90\" w2000000000 h250 f0 v100 u4000000000000000000");
}

TEST(Writer, OutputFormatsAndTheirOptions) {
    TvrdProject p;
    p.Panorama.JpegProgressive = true;
    p.Panorama.JpegQuality = 75;
    const std::pair<int32_t, const char*> cases[] = {
        {0, "n\"PICT\""},        {1, "n\"PSD_mask\""},      {2, "n\"PSD_nomask\""},
        {3, "n\"PSD\""},         {4, "n\"PAN g1 q75\""},    {5, "n\"IVR g1 q75\""},
        {6, "n\"IVR_java g1 q75\""}, {7, "n\"JPEG g1 q75\""}, {8, "n\"TIFF\""},
        {9, "n\"TIFF_m\""},      {10, "n\"TIFF_mask\""},    {11, "n\"PNG\""},
        {kFormatVRML, "n\"VRML g1 q75\""}, {kFormatQTVR, "n\"QTVR\""}, {12, "n\"\""},
        {-1, "n\"\""},
    };
    for (const auto& [code, field] : cases) {
        p.Panorama.OutputFormat = code;
        EXPECT_EQ(LineStartingWith(MakeScriptText(p, ScriptMode::Stitch), "p "),
                  std::string("p w1000 h1000 f0 v100 u20 ") + field)
            << code;
        const std::string name = OutputFormatName(code);
        if (!name.empty()) {
            EXPECT_EQ(OutputFormatFromName(name), code);
        }
    }
    EXPECT_EQ(OutputFormatFromName("jpeg"), 0);
    EXPECT_EQ(OutputFormatFromName(""), 0);
    EXPECT_EQ(OutputFormatFromName("TIFF_m"), 9);
    EXPECT_FALSE(FormatTakesJpegOptions(3));
    EXPECT_FALSE(FormatTakesJpegOptions(kFormatQTVR));
}

TEST(Writer, RealsFollowTheGeneralFormat) {
    TvrdProject p;
    TvrdImage& im = p.AddImage();
    const std::pair<double, const char*> cases[] = {
        {0.0001, "0.0001"},        {0.00001, "1E-5"},  {123456789012345.0, "123456789012345"},
        {1e15, "1E15"},            {2.5e20, "2.5E20"}, {-1.0, "-1"},
        {0.1 + 0.2, "0.3"},        {-0.0, "0"},        {1.0 / 3, "0.333333333333333"},
    };
    for (const auto& [value, text] : cases) {
        im.Yaw = value;
        EXPECT_EQ(LineStartingWith(MakeScriptText(p, ScriptMode::Stitch), "o "),
                  std::string("o f0 y") + text + " r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0");
    }
}

TEST(Writer, MorphMarkerAndMorphData) {
    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    p.AddImage().FileName = "/pics/c.jpg";
    p.MorphMode = 0;
    EXPECT_EQ(MakeScriptText(p, ScriptMode::Stitch).find(" o\r\n"), std::string::npos);
    p.ControlPoints[0]->Morph = true;
    std::string text = MakeScriptText(p, ScriptMode::Stitch);
    EXPECT_NE(text.find("y0 r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0 o\r\ni n\"b.jpg\""),
              std::string::npos);
    EXPECT_NE(text.find("y30 r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0 o\r\ni n\"c.jpg\""),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "t0\r\n");  // c.jpg has no marker
    p.ControlPoints[0]->Type = 1;  // line points never morph
    EXPECT_EQ(MakeScriptText(p, ScriptMode::Preview).find(" o\r\n"), std::string::npos);

    p.MorphToFitData = "C i0 c0  x1 y2\r\nC i1 c0  x3 y4\r\n";
    text = MakeScriptText(p, ScriptMode::Preview);
    const std::string tail = "t0\r\n# Morph-to-fit data:\r\nC i0 c0  x1 y2\r\nC i1 c0  x3 y4\r\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(MakeScriptText(p, ScriptMode::Project).find("Morph-to-fit"), std::string::npos);
}

TEST(Writer, OptimizeCropsLinksAndDummy) {
    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    TvrdImage& a = *p.Images[0];
    a.CropLeft = 10;
    a.CropTop = 20;
    a.CropRight = 630;
    a.CropBottom = 400;
    std::string text = OptimizeText(p);
    EXPECT_EQ(text.substr(0, 52), "# script file for ptOptimizer created by vorda\r\n\r\np ");
    EXPECT_EQ(text.find("#-dummyimage"), std::string::npos);
    EXPECT_EQ(text.find("\r\nm "), std::string::npos);
    EXPECT_NE(text.find("i n\"a.jpg\" w620 h380 f0 y0 r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0\r\n"
                        "i n\"b.jpg\" w640 h480 f0 y30 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0\r\n"
                        "c n0 N1 x590 y220 X40 Y240 t0\r\n\r\n# optimizer:\r\nv  v0 b0 y1 r1 p1\r\n"),
              std::string::npos);
    // The project file keeps the crop and the uncropped coordinates.
    const std::string project = MakeScriptText(p, ScriptMode::Project);
    EXPECT_NE(project.find("v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0 C10,630,20,400\r\n"), std::string::npos);
    EXPECT_NE(project.find("c n1 N2 x600 y240 X40 Y240 t0\r\n"), std::string::npos);

    // Linked roll and pitch: the dummy carries the first optimised image's roll and pitch.
    p.SimpleOptimizer = false;
    p.LinkRoll = p.LinkPitch = true;
    p.Images[1]->Roll = 2.5;
    p.Images[1]->Pitch = -1.5;
    text = OptimizeText(p);
    EXPECT_NE(text.find("#-dummyimage\r\n# The following line contains a 'dummy image' containing "
                        "some global parameters for the project\r\n"
                        "i w1 h1 y0 r2.5 p-1.5 v50 a0.001 b0.001 c0.001 f0 d0 e0 g0 t0\r\n"
                        "i n\"a.jpg\" w620 h380 f0 y0 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0\r\n"
                        "i n\"b.jpg\" w640 h480 f0 y30 r=0 p=0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0\r\n"
                        "c n1 N2 x590 y220 X40 Y240 t0\r\n"),
              std::string::npos);
    EXPECT_EQ(LineStartingWith(text, "v "), "v  v0 b0 y2 r0 p0");
}

TEST(Writer, OptimizeSkipsInactivePointsAndReportsItsChecks) {
    std::string message;
    TvrdProject empty;
    EXPECT_EQ(OptimizeText(empty, &message), "");
    EXPECT_EQ(message, "There are no images, so there is nothing to optimize!");

    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    p.SimpleOptimizer = false;
    p.OptimizeGlobalV = p.OptimizeGlobalB = false;
    p.Images[1]->OptimizeYaw = p.Images[1]->OptimizePitch = p.Images[1]->OptimizeRoll = false;
    message.clear();
    EXPECT_EQ(OptimizeText(p, &message), "");
    EXPECT_EQ(message, "Please select some parameters to optimize!");

    p.Images[1]->OptimizeYaw = true;
    p.ControlPoints[0]->Optimize = false;
    TvrdControlPoint& cp = p.AddControlPoint();
    cp.Image1 = 0;
    cp.Image2 = 1;
    p.Images[1]->ControlPointsActive = false;
    TvrdControlPoint& outside = p.AddControlPoint();  // an image that does not exist
    outside.Image1 = 0;
    outside.Image2 = 7;
    message.clear();
    EXPECT_EQ(OptimizeText(p, &message), "");
    EXPECT_EQ(message, "No active control points!");
    EXPECT_EQ(MakeScriptText(p, ScriptMode::Optimize), "");  // nobody listening

    p.Images[1]->ControlPointsActive = true;
    message.clear();
    const std::string text = OptimizeText(p, &message);
    EXPECT_EQ(message, "");
    EXPECT_EQ(LineStartingWith(text, "c "), "c n0 N1 x0 y0 X0 Y0 t0");
    EXPECT_EQ(text.find("N7"), std::string::npos);
}

TEST(Writer, OptimizeCutsLongVariableListsIntoLines) {
    TvrdProject p;
    p.SimpleOptimizer = false;
    for (int i = 0; i < 14; ++i) {
        TvrdImage& im = p.AddImage();
        im.FileName = "/p/" + std::to_string(i) + ".jpg";
        im.OptimizeYaw = im.OptimizeRoll = im.OptimizePitch = true;
    }
    p.AddControlPoint().Image2 = 1;
    // The list " v0 b0 y0 r0 p0 ... y13 r13 p13" has 144 characters.
    const std::vector<std::string> expected = {
        "v  v0 b0 y0 r0 p0 y1 r1 p1 y2 r2 p2 y3 r3 p3 y4 r4 p4 y5 r5 p5 ",
        "v y6 r6 p6 y7 r7 p7 y8 r8 p8 y9 r9 p9 y10 r10 p10 y11 r11 p11 y12 ",
        "v r12 p12 y13 r13 p13",
    };
    const std::string text = OptimizeText(p);
    const std::string tail = "\r\n# optimizer:\r\n" + Lines(expected);
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(Writer, MorphOptimizeWritesOnlyMorphPointsAndTheYawImage) {
    TvrdProject p;
    MakeExampleProject(p, "/pics/");
    TvrdImage& b = *p.Images[1];
    b.CropLeft = 5;
    b.CropTop = 6;
    p.MorphMode = 1;
    TvrdControlPoint& line = p.AddControlPoint();
    line.Type = 2;
    const std::string text = MakeScriptText(p, ScriptMode::MorphOptimize);
    const std::string expected = Lines({
        "# script file for ptOptimizer (morph to fit) created by vorda",
        "",
        "p w1000 h1000 f0 v100 u20 n\"JPEG g0 q90\"",
        "i n\"a.jpg\" w640 h480 f0 y0 r0 p0 v50 a0.001 b0.001 c0.001 d0 e0 g0 t0",
        "i n\"b.jpg\" w635 h474 f0 y30 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0",
        "",
        "# Dummy image for determining the morph to fit parameters:",
        "i w10 h10 y0 r0 p0 v90 f0",
        "c n0 N1 x600 y240 X35 Y234 t0",
        "",
        "# optimizer:",
        "v y2",
    });
    EXPECT_EQ(text, expected);
}
