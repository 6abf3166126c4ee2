// The bitmap view's marker list and the periodic step: markers stay on their source pixels
// whatever the zoom, rotation and scroll position, the list keeps the selected, hovered and
// highlighted markers when others leave it, and the step drives the selected marker and the
// scroll notice.
#include <gtest/gtest.h>

#include <QScrollBar>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/failure.h"
#include "tests/viewer/view_support.h"

using namespace qb;
using namespace qb::viewer;
using namespace qb::viewer::test;

namespace {

class Markers : public ViewTest {
protected:
    // The painted position of the marker's hot spot.
    QPoint HotSpotOnSurface(const TzrCustomMarker& m) const {
        return m.pos() + m.HotSpot() + QPoint(view->HorzScrollPos(), view->VertScrollPos());
    }
    QPoint Expected(TPoint source) const {
        double x, y;
        view->SourceToScreen(source, x, y, false);
        return QPoint(static_cast<int>(std::floor(x + 0.5)), static_cast<int>(std::floor(y + 0.5)));
    }
};

}  // namespace

TEST_F(Markers, StayOnTheirSourcePixelsAcrossZoomRotationAndScrolling) {
    view->resize(80, 60);
    auto picture = PositionPicture(120, 90);
    view->SetBitmap(picture.get(), false, false);
    auto* a = new TestMarker(view.get());
    auto* b = new TestMarker(view.get());
    a->SetImagePosX(30);
    a->SetImagePosY(40);
    EXPECT_EQ(view->AddMarker(a), 0);
    EXPECT_EQ(view->AddMarker(b), 1);
    b->SetImagePosX(119);
    b->SetImagePosY(0);
    // At zoom 2 the source pixel (0, 0) is at painted (1, 1).
    view->SetZoom(2);
    auto* c = new TestMarker(view.get());
    view->AddMarker(c);
    EXPECT_EQ(HotSpotOnSurface(*c), QPoint(1, 1));
    const std::vector<std::pair<int, int>> steps = {{2, 0}, {3, 90}, {-2, 90}, {1, 180}, {-3, 270}, {4, 270}};
    for (auto [zoom, rotate] : steps) {
        view->SetZoom(zoom);
        view->SetRotate(rotate);
        view->ScrollBox()->horizontalScrollBar()->setValue(17);
        view->ScrollBox()->verticalScrollBar()->setValue(9);
        for (TzrCustomMarker* m : {static_cast<TzrCustomMarker*>(a), static_cast<TzrCustomMarker*>(b),
                                   static_cast<TzrCustomMarker*>(c)})
            EXPECT_EQ(HotSpotOnSurface(*m), Expected(TPoint(m->GetImagePosX(), m->GetImagePosY())))
                << "zoom " << zoom << " rotation " << rotate;
    }
    // Painted positions outside the image are kept inside it (at rotation 270 the painted
    // x runs along the source y, the painted y against the source x).
    a->SetScrollBoxPosX(-500);
    EXPECT_EQ(a->GetImagePosY(), 0);
    b->SetScrollBoxPosY(1e6);
    EXPECT_EQ(b->GetImagePosX(), 0);
    b->SetScrollBoxPosY(-1e6);
    EXPECT_EQ(b->GetImagePosX(), 119);
    EXPECT_EQ(HotSpotOnSurface(*b), Expected(TPoint(119, b->GetImagePosY())));
}

TEST_F(Markers, OnlyAViewCanOwnAMarker) {
    QWidget other;
    EXPECT_EQ(qb::test::FailureMessage([&] { TestMarker m(&other); }),
              "Marker can only be placed on a zrBitmapScrollBox");
}

TEST_F(Markers, DeletingKeepsTheSelectedAndHighlightedMarkers) {
    auto picture = PositionPicture(20, 20);
    view->SetBitmap(picture.get(), false, false);
    std::vector<TestMarker*> m;
    for (int i = 0; i < 4; ++i) {
        m.push_back(new TestMarker(view.get()));
        EXPECT_EQ(view->AddMarker(m.back()), i);
    }
    int selectionChanges = 0, hoverChanges = 0;
    view->OnMarkerSelectionChange = [&](TzrCustomBitmapScrollBox*) { ++selectionChanges; };
    view->OnMarkerHoverChange = [&](TzrCustomBitmapScrollBox*) { ++hoverChanges; };
    view->SetSelectedMarker(3);
    view->SetExtHoverMarker(2);
    EXPECT_TRUE(m[3]->GetSelected());
    EXPECT_TRUE(m[2]->GetExtHover());
    EXPECT_EQ(view->FindMarker(m[1]), 1);

    // Deleting one below them: the indices follow their markers.
    view->DeleteMarker(1, true);
    EXPECT_EQ(view->GetMarkerCount(), 3);
    EXPECT_EQ(view->GetSelectedMarker(), 2);
    EXPECT_EQ(view->GetMarker(2), m[3]);
    EXPECT_EQ(view->GetExtHoverMarker(), 1);
    EXPECT_EQ(view->GetMarker(1), m[2]);
    EXPECT_EQ(selectionChanges, 0);
    EXPECT_EQ(hoverChanges, 0);

    // Deleting the selected and the highlighted marker clears them, with the events.
    TestMarker* kept = m[3];
    view->DeleteMarker(2, false);
    EXPECT_EQ(view->GetSelectedMarker(), -1);
    EXPECT_EQ(selectionChanges, 1);
    EXPECT_EQ(kept->parent(), nullptr);
    delete kept;  // the caller's now
    view->DeleteMarker(1, true);
    EXPECT_EQ(view->GetExtHoverMarker(), -1);
    EXPECT_EQ(hoverChanges, 1);

    // A marker its owner destroys leaves the list by itself.
    delete m[0];
    EXPECT_EQ(view->GetMarkerCount(), 0);
    EXPECT_EQ(view->FindMarker(m[0]), -1);
    EXPECT_NE(qb::test::FailureMessage([&] { view->DeleteMarker(0, true); }), "(no failure)");

    // DeleteAllMarkers frees what it deletes (the sanitizers see a leak otherwise).
    for (int i = 0; i < 3; ++i) view->AddMarker(new TestMarker(view.get()));
    view->SetSelectedMarker(1);
    view->DeleteAllMarkers(true);
    EXPECT_EQ(view->GetMarkerCount(), 0);
    EXPECT_EQ(view->GetSelectedMarker(), -1);
}

TEST_F(Markers, PeriodicStepDrivesTheSelectedMarkerAndTheScrollNotice) {
    view->resize(60, 60);
    auto picture = PositionPicture(200, 200);
    view->SetBitmap(picture.get(), false, false);
    auto* a = new TestMarker(view.get());
    auto* b = new TestMarker(view.get());
    view->AddMarker(a);
    view->AddMarker(b);
    view->SetSelectedMarker(1);
    int scrolls = 0;
    view->OnScroll = [&](TzrCustomBitmapScrollBox*) { ++scrolls; };
    view->FTimerTimer();
    const int first = scrolls;  // the positions of the new image are seen once
    view->FTimerTimer();
    EXPECT_EQ(scrolls, first);
    view->ScrollBox()->horizontalScrollBar()->setValue(30);
    view->FTimerTimer();
    EXPECT_EQ(scrolls, first + 1);
    view->FTimerTimer();
    EXPECT_EQ(scrolls, first + 1);
    EXPECT_EQ(a->timerSteps, 0);
    EXPECT_EQ(b->timerSteps, 4);
    // The real timer runs every 100 ms.
    const int before = b->timerSteps;
    ASSERT_TRUE(RunUntil([&] { return b->timerSteps >= before + 2; }));
}
