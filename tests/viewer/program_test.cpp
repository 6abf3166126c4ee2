// quiltbatch-viewer: its command line, the quick JPEG preview (against djpeg's own reduced
// decode), the window's keys and title, and the program started by the queue in a real
// preview run, ending when its window closes.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QTest>

#include <sys/wait.h>

#include <cstdlib>

#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/support/tempdir.h"
#include "tests/viewer/view_support.h"
#include "tools/viewer/viewertool.h"
#include "viewer/zrzoommarker.h"

using namespace qb;
using namespace qb::viewertool;
using namespace qb::viewer::test;

namespace {

int Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        qb::test::App();
        dir = qb::test::MakeTempDir("qbviewer");
    }
    void TearDown() override { qb::test::RemoveTree(dir); }
    // A JPEG of the position picture.
    std::string Jpeg(const std::string& name, int width, int height) {
        auto picture = PositionPicture(width, height);
        picture->SaveToFile(dir + name);
        return dir + name;
    }
    std::string dir;
};

}  // namespace

TEST_F(Program, CommandLine) {
    struct Case {
        std::vector<const char*> args;
        bool ok;
        std::string file, error;
        bool timing, close;
    };
    const std::vector<Case> cases = {
        {{"a.jpg"}, true, "a.jpg", "", false, false},
        {{"--timing", "my pano.jpg"}, true, "my pano.jpg", "", true, false},
        {{"--close-when-loaded", "a.jpg", "--timing"}, true, "a.jpg", "", true, true},
        {{}, false, "", "No image given", false, false},
        {{"a.jpg", "b.jpg"}, false, "", "Only one image can be shown", false, false},
        {{"--zoom", "a.jpg"}, false, "", "Unknown option --zoom", false, false},
    };
    for (const Case& c : cases) {
        TViewerOptions options;
        std::string error;
        EXPECT_EQ(ParseViewerArguments(static_cast<int>(c.args.size()), c.args.data(), options, error), c.ok);
        EXPECT_EQ(error, c.error);
        if (!c.ok) continue;
        EXPECT_EQ(options.fileName, c.file);
        EXPECT_EQ(options.timing, c.timing);
        EXPECT_EQ(options.closeWhenLoaded, c.close);
    }
}

// The reduced decode gives djpeg's pixels for the same scale, DCT and upsampling.
TEST_F(Program, QuickJpegPreviewIsTheReducedDecode) {
    const std::string file = Jpeg("p.jpg", 205, 77);
    for (auto [minWidth, denom] : std::vector<std::pair<int, int>>{{20, 8}, {40, 4}, {100, 2}, {300, 1}}) {
        SCOPED_TRACE(minWidth);
        const auto preview = QuickJpegPreview(file, minWidth);
        ASSERT_NE(preview, nullptr);
        const std::string ppm = dir + "ref.ppm";
        ASSERT_EQ(Shell("djpeg -scale 1/" + std::to_string(denom) + " -dct fast -nosmooth -outfile '" + ppm + "' '" +
                        file + "'"),
                  0);
        QImage reference(QString::fromStdString(ppm));
        ASSERT_FALSE(reference.isNull());
        ASSERT_EQ(preview->GetWidth(), reference.width());
        ASSERT_EQ(preview->GetHeight(), reference.height());
        QImage mine;
        preview->AssignTo(&mine);
        int different = 0;
        for (int y = 0; y < mine.height(); ++y)
            for (int x = 0; x < mine.width(); ++x) different += mine.pixel(x, y) != reference.pixel(x, y);
        EXPECT_EQ(different, 0);
    }
    // Not a JPEG file, or a broken one: no preview.
    EXPECT_EQ(QuickJpegPreview(dir + "p.tif", 10), nullptr);
    qb::test::WriteFile(dir + "broken.jpg", "\xff\xd8 broken");
    EXPECT_EQ(QuickJpegPreview(dir + "broken.jpg", 10), nullptr);
}

TEST_F(Program, WindowKeysTitleAndFit) {
    const std::string file = Jpeg("view me.jpg", 600, 300);
    TViewerOptions options;
    options.fileName = file;
    std::ostringstream log;
    TViewerWindow window(options, log);
    window.resize(320, 240);
    window.show();
    ASSERT_TRUE(RunUntil([&] { return window.FullImageShown(); }));
    auto& view = window.View();
    // Fitted without magnifying: 600 x 300 in 320 x 240 is reduced by 2.
    EXPECT_EQ(view.GetZoom(), -2);
    EXPECT_EQ(window.windowTitle().toStdString(), "view me.jpg - 1:2 - Quiltbatch Viewer");
    struct Step {
        int key;
        Qt::KeyboardModifiers modifiers;
        int zoom, rotate;
    };
    const std::vector<Step> steps = {
        {Qt::Key_Plus, Qt::NoModifier, 1, 0},    {Qt::Key_Plus, Qt::NoModifier, 2, 0},
        {Qt::Key_Minus, Qt::NoModifier, 1, 0},   {Qt::Key_Minus, Qt::NoModifier, -2, 0},
        {Qt::Key_1, Qt::NoModifier, 1, 0},       {Qt::Key_R, Qt::NoModifier, 1, 90},
        {Qt::Key_R, Qt::ShiftModifier, 1, 0},    {Qt::Key_R, Qt::ShiftModifier, 1, 270},
        {Qt::Key_F, Qt::NoModifier, -3, 270},    {Qt::Key_R, Qt::NoModifier, -2, 0},
    };
    for (const Step& s : steps) {
        QTest::keyClick(&window, static_cast<Qt::Key>(s.key), s.modifiers);
        EXPECT_EQ(view.GetZoom(), s.zoom) << s.key;
        EXPECT_EQ(view.GetRotate(), s.rotate) << s.key;
        EXPECT_NE(window.windowTitle().toStdString().find(ZoomText(s.zoom)), std::string::npos);
    }
    // Ctrl with the wheel zooms; the wheel alone does not.
    QWidget* viewport = view.ScrollBox()->viewport();
    const QPoint at(10, 10);
    QWheelEvent in(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::ControlModifier,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &in);
    EXPECT_EQ(view.GetZoom(), 1);
    QWheelEvent plain(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &plain);
    EXPECT_EQ(view.GetZoom(), 1);
    // Right-button drag pans the picture.
    view.SetZoom(2);
    QWidget* surface = view.PaintBox();
    const int h = view.HorzScrollPos(), v = view.VertScrollPos();
    QTest::mousePress(surface, Qt::RightButton, Qt::NoModifier, QPoint(200, 150));
    QTest::mouseMove(surface, QPoint(170, 140));
    EXPECT_EQ(view.HorzScrollPos(), h + 30);
    EXPECT_EQ(view.VertScrollPos(), v + 10);
    QTest::mouseRelease(surface, Qt::RightButton, Qt::NoModifier, QPoint(200, 150));
    EXPECT_FALSE(view.GetPanning());
    // M turns the magnifier on and off; it follows the pointer at reduced zoom.
    EXPECT_FALSE(view.GetZoomerVisible());
    QTest::keyClick(&window, Qt::Key_M);
    EXPECT_TRUE(view.GetZoomerVisible());
    view.SetZoom(-2);
    QMouseEvent hover(QEvent::MouseMove, QPointF(60, 50), surface->mapToGlobal(QPointF(60, 50)), Qt::NoButton,
                      Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(surface, &hover);
    EXPECT_TRUE(view.ZoomMarker()->isVisible());
    QTest::keyClick(&window, Qt::Key_M);
    EXPECT_FALSE(view.ZoomMarker()->isVisible());
    // Escape closes the window.
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(Program, ProgramEndsWhenItsWindowClosesAndReportsItsTimes) {
    const std::string file = Jpeg("t.jpg", 800, 600);
    const std::string log = dir + "log.txt";
    ASSERT_EQ(Shell("QT_QPA_PLATFORM=offscreen timeout 120 '" QB_BINARY_DIR "/bin/quiltbatch-viewer' --timing "
                    "--close-when-loaded '" + file + "' 2>'" + log + "'"),
              0)
        << qb::test::ReadFile(log);
    const std::string text = qb::test::ReadFile(log);
    EXPECT_NE(text.find("ms: provisional picture shown"), std::string::npos) << text;
    EXPECT_NE(text.find("ms: full image shown"), std::string::npos) << text;
    // Usage errors end it at once with their message.
    EXPECT_EQ(Shell("QT_QPA_PLATFORM=offscreen '" QB_BINARY_DIR "/bin/quiltbatch-viewer' 2>'" + log + "'"), 2);
    EXPECT_NE(qb::test::ReadFile(log).find("No image given"), std::string::npos);
}

#ifdef QB_VIEWER_QUEUE_TEST
#include "model/datastructures.h"
#include "settings/options.h"
#include "tests/support/scene.h"
#include "tests/support/sceneproject.h"

// A preview on a fresh settings store: the settings seeding finds quiltbatch-viewer beside
// the program and the queue shows the preview in it, waiting until its window has closed.
TEST_F(Program, QueueShowsThePreviewInTheSuitesViewerWithNoSettingTouched) {
    qb::test::ThreeViewScene scene;
    scene.Make();
    const std::string images = dir + "My Pictures/";
    mkdir(images.c_str(), 0700);
    scene.CopyViews(images);
    TvrdProject p;
    qb::test::SetThreeViewProject(p, images, scene.views);
    p.Panorama.OutputFormat = 7;
    p.Panorama.OutputFile = dir + "pano.jpg";
    const std::string project = dir + "project.pts";
    qb::test::WriteFile(project, MakeScriptText(p, ScriptMode::Project));
    const std::string store = dir + "fresh.sqlite3";
    const std::string log = dir + "log.txt";
    const int rc = Shell("cd '" + dir + "' && KELMORA_REGISTRY='" + store +
                         "' QT_QPA_PLATFORM=offscreen QUILTBATCH_VIEWER_TIMING=1 QUILTBATCH_VIEWER_CLOSE_WHEN_LOADED=1 "
                         "timeout 300 '" QB_BINARY_DIR "/bin/quiltbatch' -x -v '" + project + "' >'" + log + "' 2>&1");
    scene.Remove();
    const std::string text = qb::test::ReadFile(log);
    ASSERT_EQ(rc, 0) << text;
    // The viewer showed the preview and ended when its window closed; then the queue ended.
    EXPECT_NE(text.find("quiltbatch-viewer: "), std::string::npos) << text;
    EXPECT_NE(text.find("ms: full image shown"), std::string::npos) << text;
    // The seeding chose the suite's viewer; the preview is gone after the viewer ended.
    platform::TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey(settings::OptionsRegistryKey, false));
    EXPECT_EQ(reg.ReadString("CylViewerApp"), QB_BINARY_DIR "/bin/quiltbatch-viewer");
    EXPECT_EQ(platform::FindFiles(images, "_vrdtmp_*"), std::vector<std::string>{});
    EXPECT_FALSE(platform::FileExists(dir + "pano.jpg"));
}
#endif
