// The ways an image is set, and the progressive display: the provisional picture at once,
// the full image from the worker, results thrown away after a zoom, rotation or file change
// made while the worker was busy, the failure picture, and no race (these tests also run in
// the thread-sanitizer build).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/tempdir.h"
#include "tests/viewer/view_support.h"

using namespace qb;
using namespace qb::viewer;
using namespace qb::viewer::test;

namespace {

// The colour of a pixel of a bitmap as B, G, R bytes.
QColor PixelOf(const TzrMemBitmap& b, int x, int y) {
    TzrReadHold hold(b);
    const std::uint8_t* p = b.GetScanline(y) + x * b.GetBytesPerPixel();
    return QColor(p[2], p[1], p[0]);
}

class Loading : public ViewTest {
protected:
    void SetUp() override {
        ViewTest::SetUp();
        dir = qb::test::MakeTempDir("qbview");
    }
    void TearDown() override {
        ViewTest::TearDown();
        qb::test::RemoveTree(dir);
    }
    // A TIFF file of the position picture (lossless, so every pixel can be checked).
    std::string PictureFile(const std::string& name, int width, int height) {
        auto picture = PositionPicture(width, height);
        picture->SaveToFile(dir + name);
        return dir + name;
    }
    // The displayed image shows the source pixel (x, y) of the position picture at the
    // place where the current rotation puts it.
    void ExpectShowsPositionPicture(int width, int height) {
        TzrMemBitmap* shown = view->GetMemBitmap();
        ASSERT_NE(shown, nullptr);
        int w, h;
        view->GetImageDimensions(w, h);
        ASSERT_EQ(w, width);
        ASSERT_EQ(h, height);
        const int rw = shown->GetWidth(), rh = shown->GetHeight();
        for (auto [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {width - 1, 0}, {0, height - 1}, {3, 2}}) {
            int dx = x, dy = y;
            switch (view->GetRotate()) {
                case 90:
                    dx = rw - 1 - y;
                    dy = x;
                    break;
                case 180:
                    dx = rw - 1 - x;
                    dy = rh - 1 - y;
                    break;
                case 270:
                    dx = y;
                    dy = rh - 1 - x;
                    break;
            }
            EXPECT_EQ(PixelOf(*shown, dx, dy), ColourOf(x, y)) << x << "," << y;
        }
    }
    std::string dir;
};

}  // namespace

TEST_F(Loading, SetBitmapFormsAndUseBitmap) {
    // A copy leaves the caller's bitmap; taking the storage empties it.
    auto a = PositionPicture(9, 5);
    view->SetBitmap(a.get(), true, false);
    EXPECT_EQ(a->GetWidth(), 9);
    ExpectShowsPositionPicture(9, 5);
    view->SetRotate(90);
    view->SetBitmap(a.get(), false, false);
    EXPECT_EQ(a->GetWidth(), 0);
    ExpectShowsPositionPicture(9, 5);
    // A framework bitmap, and the file form.
    QImage image = PositionImage(6, 4);
    view->SetBitmap(&image);
    ExpectShowsPositionPicture(6, 4);
    view->SetBitmap(PictureFile("p.tif", 7, 3));
    ExpectShowsPositionPicture(7, 3);
    EXPECT_NE(qb::test::FailureMessage([&] { view->SetBitmap(dir + "missing.tif"); }), "(no failure)");
    // A used bitmap is shown as it is and not taken over; turning it makes an owned copy.
    view->SetRotate(0);
    auto used = PositionPicture(5, 5);
    view->UseBitmap(used.get());
    EXPECT_EQ(view->GetMemBitmap(), used.get());
    view->SetRotate(180);
    EXPECT_NE(view->GetMemBitmap(), used.get());
    ExpectShowsPositionPicture(5, 5);
    EXPECT_EQ(PixelOf(*used, 0, 0), ColourOf(0, 0));
    // None empties the view.
    view->SetBitmap(static_cast<const QImage*>(nullptr));
    EXPECT_EQ(view->GetMemBitmap(), nullptr);
    EXPECT_EQ(view->GetImageWidth(), 0);
}

TEST_F(Loading, SetEmptyIsLightGreyInTheTurnedSize) {
    view->SetRotate(270);
    view->SetZoom(-3);
    view->SetEmpty(10, 4);
    TzrMemBitmap* shown = view->GetMemBitmap();
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->GetWidth(), 4);
    EXPECT_EQ(shown->GetHeight(), 10);
    EXPECT_EQ(PixelOf(*shown, 3, 9), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_EQ(view->GetImageWidth(), 10);
    // The reduced copy is what is painted: 2 x 4 black.
    EXPECT_EQ(view->PaintBox()->size(), QSize(2, 4));
}

TEST_F(Loading, ProgressiveDisplayShowsTheThumbnailAtOnceThenTheFile) {
    const std::string file = PictureFile("full.tif", 40, 30);
    // A 2 x 2 thumbnail, stretched to the full size without smoothing.
    QImage small(2, 2, QImage::Format_BGR888);
    small.setPixelColor(0, 0, Qt::red);
    small.setPixelColor(1, 0, Qt::green);
    small.setPixelColor(0, 1, Qt::blue);
    small.setPixelColor(1, 1, Qt::white);
    TzrMemBitmap thumbnail(&small);
    int loaded = 0;
    view->OnImageLoaded = [&](TzrCustomBitmapScrollBox*) { ++loaded; };
    view->SetBitmap(file, &thumbnail, 40, 30);
    EXPECT_TRUE(view->LoadPending());
    // Shown at once, before any event was handled: the stretched thumbnail.
    ASSERT_TRUE(WorkerFinished(*view));
    TzrMemBitmap* shown = view->GetMemBitmap();
    EXPECT_EQ(shown->GetWidth(), 40);
    EXPECT_EQ(PixelOf(*shown, 0, 0), QColor(Qt::red));
    EXPECT_EQ(PixelOf(*shown, 39, 29), QColor(Qt::white));
    ASSERT_TRUE(RunUntil([&] { return !view->LoadPending(); }));
    EXPECT_EQ(loaded, 1);
    ExpectShowsPositionPicture(40, 30);
}

// A change made while the worker was busy (its result not yet handed over) throws the
// result away; the still pending file is then loaded again with the new settings.
TEST_F(Loading, ResultDiscardedAfterAChangeWhileLoadingThenLoadedAgain) {
    const std::string a = PictureFile("a.tif", 30, 20);
    const std::string b = PictureFile("b.tif", 24, 16);
    struct Change {
        const char* name;
        std::function<void(TzrBitmapScrollBox&)> apply;
        int width, height, zoom, rotate;
    };
    const std::vector<Change> changes = {
        {"zoom", [](TzrBitmapScrollBox& v) { v.SetZoom(-2); }, 30, 20, -2, 0},
        {"rotation", [](TzrBitmapScrollBox& v) { v.SetRotate(90); }, 30, 20, 1, 90},
        {"file", [&](TzrBitmapScrollBox& v) { v.SetBitmap(b, nullptr, 24, 16); }, 24, 16, 1, 0},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.name);
        view->SetZoom(1);
        view->SetRotate(0);
        int loaded = 0;
        view->OnImageLoaded = [&](TzrCustomBitmapScrollBox*) { ++loaded; };
        view->SetBitmap(a, nullptr, 30, 20);
        ASSERT_TRUE(WorkerFinished(*view));
        c.apply(*view);
        // Had the first result been taken, it would show the old file, or the picture
        // unturned, or no reduced copy to paint; and only one result is ever taken.
        ASSERT_TRUE(RunUntil([&] { return !view->LoadPending(); }));
        Settle();
        EXPECT_EQ(loaded, 1);
        EXPECT_EQ(view->GetZoom(), c.zoom);
        EXPECT_EQ(view->GetRotate(), c.rotate);
        ExpectShowsPositionPicture(c.width, c.height);
        if (c.zoom == -2) {
            EXPECT_EQ(view->PaintBox()->size(), QSize(15, 10));
            const QImage surface = Surface();
            EXPECT_EQ(surface.pixelColor(0, 0), ColourOf(0, 0));
            EXPECT_NE(surface.pixelColor(14, 9), QColor(0, 0, 0));  // the picture, not the margin
        }
    }
}

TEST_F(Loading, AFileThatFailsToLoadShowsTheFailurePicture) {
    qb::test::WriteFile(dir + "broken.jpg", "not a JPEG file at all");
    for (const std::string& file : {dir + "broken.jpg", dir + "missing.tif"}) {
        SCOPED_TRACE(file);
        view->SetBitmap(file, nullptr, 12, 8);
        ASSERT_TRUE(RunUntil([&] { return !view->LoadPending(); }));
        TzrMemBitmap* shown = view->GetMemBitmap();
        ASSERT_NE(shown, nullptr);
        ASSERT_EQ(shown->GetWidth(), 12);
        ASSERT_EQ(shown->GetHeight(), 8);
        // Red in the top-left and bottom-right quarters, white in the others.
        EXPECT_EQ(PixelOf(*shown, 0, 0), QColor(255, 0, 0));
        EXPECT_EQ(PixelOf(*shown, 11, 7), QColor(255, 0, 0));
        EXPECT_EQ(PixelOf(*shown, 11, 0), QColor(255, 255, 255));
        EXPECT_EQ(PixelOf(*shown, 0, 7), QColor(255, 255, 255));
    }
}

// Setting an image in another way while a load is pending ends that load: its result does
// not replace the image set after it.
TEST_F(Loading, AnImageSetWhileLoadingIsNotReplacedByTheLoad) {
    const std::string file = PictureFile("late.tif", 30, 20);
    auto mine = Uniform(5, 5, QColor(1, 2, 3));
    view->SetBitmap(file, nullptr, 30, 20);
    view->SetBitmap(mine.get(), true, false);
    EXPECT_FALSE(view->LoadPending());
    ASSERT_TRUE(RunUntil([&] { return view->GetMemBitmap() != nullptr; }));
    Settle();
    EXPECT_EQ(view->GetMemBitmap()->GetWidth(), 5);
    EXPECT_EQ(PixelOf(*view->GetMemBitmap(), 0, 0), QColor(1, 2, 3));
}

// Many changes in a random order while loads run: in the end the last file is shown at the
// last zoom and rotation, whole.
TEST_F(Loading, RandomChangesWhileLoadingEndWithTheLastFileShown) {
    const std::vector<std::string> files = {PictureFile("r0.tif", 64, 48), PictureFile("r1.tif", 48, 64)};
    const std::vector<std::pair<int, int>> sizes = {{64, 48}, {48, 64}};
    std::mt19937 random(7);
    int last = 0;
    for (int step = 0; step < 40; ++step) {
        switch (random() % 4) {
            case 0:
                last = static_cast<int>(random() % 2);
                view->SetBitmap(files[last], nullptr, sizes[last].first, sizes[last].second);
                break;
            case 1:
                view->SetZoom(static_cast<int>(random() % 5) - 3);
                break;
            case 2:
                view->SetRotate(static_cast<int>(random() % 4) * 90);
                break;
            default:
                for (int k = static_cast<int>(random() % 3); k > 0; --k) QApplication::processEvents();
        }
    }
    if (view->GetImageWidth() == 0) view->SetBitmap(files[last], nullptr, sizes[last].first, sizes[last].second);
    ASSERT_TRUE(RunUntil([&] { return !view->LoadPending() && view->GetMemBitmap() != nullptr; }));
    ExpectShowsPositionPicture(sizes[last].first, sizes[last].second);
}

TEST_F(Loading, DestroyingTheViewWhileLoadingEndsTheWorkerFirst) {
    const std::string file = PictureFile("big.tif", 1500, 1000);
    for (int k = 0; k < 3; ++k) {
        auto other = std::make_unique<TzrBitmapScrollBox>();
        other->SetBitmap(file, nullptr, 1500, 1000);
        EXPECT_EQ(other->GetMemBitmap(), nullptr);  // the worker is loading
        other.reset();  // the sanitizers see any use of the destroyed view by the worker
    }
    // The view in use is untouched by the others' workers.
    view->SetBitmap(file, nullptr, 1500, 1000);
    ASSERT_TRUE(RunUntil([&] { return !view->LoadPending(); }));
    ExpectShowsPositionPicture(1500, 1000);
}
