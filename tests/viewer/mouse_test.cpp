// The bitmap view driven by real mouse events: marker drags with the dead zone and the Ctrl
// slow-down, clamping inside the image and the events in order; the area dragged by every
// part for rectangle and circle under each rotation, and the cursor over each part.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QScrollBar>

#include <string>
#include <vector>

#include "tests/viewer/view_support.h"
#include "viewer/zrcpmarker.h"

using namespace qb;
using namespace qb::viewer;
using namespace qb::viewer::test;

namespace {

class Mouse : public ViewTest {
protected:
    void SetUp() override {
        ViewTest::SetUp();
        view->resize(300, 240);
        view->SetZoomerVisible(false);
    }
    // The painted position of a source pixel, as a point.
    QPoint At(TPoint source) const {
        double x, y;
        view->SourceToScreen(source, x, y, false);
        return QPoint(static_cast<int>(std::floor(x + 0.5)), static_cast<int>(std::floor(y + 0.5)));
    }
    void Send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* box = view->PaintBox();
        QMouseEvent event(type, QPointF(pos), QPointF(box->mapToGlobal(pos)), button, buttons, modifiers);
        QApplication::sendEvent(box, &event);
    }
    void Move(QPoint pos, Qt::MouseButtons buttons = Qt::NoButton, Qt::KeyboardModifiers m = Qt::NoModifier) {
        Send(QEvent::MouseMove, pos, Qt::NoButton, buttons, m);
    }
    void Press(QPoint pos, Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers m = Qt::NoModifier) {
        Send(QEvent::MouseButtonPress, pos, button, button, m);
    }
    void Release(QPoint pos, Qt::MouseButton button = Qt::LeftButton) {
        Send(QEvent::MouseButtonRelease, pos, button, Qt::NoButton);
    }
    QPoint Pointer() const { return view->PaintBox()->mapFromGlobal(QCursor::pos()); }
};

}  // namespace

TEST_F(Mouse, MarkerDragWithDeadZoneClampingAndEventsInOrder) {
    auto picture = PositionPicture(100, 80);
    view->SetBitmap(picture.get(), false, false);
    auto* marker = new TzrCPMarker(view.get());
    view->AddMarker(marker);
    marker->SetImagePosX(50);
    marker->SetImagePosY(40);
    std::vector<std::string> events;
    view->OnMarkerSelectionChange = [&](TzrCustomBitmapScrollBox*) { events.push_back("selection"); };
    view->OnMarkerMove = [&](TzrCustomBitmapScrollBox*, int i) { events.push_back("move " + std::to_string(i)); };
    view->OnAfterMarkerMove = [&](TzrCustomBitmapScrollBox*, int i) {
        events.push_back("after move " + std::to_string(i));
    };
    view->OnMarkerHoverChange = [&](TzrCustomBitmapScrollBox*) { events.push_back("hover"); };
    const QPoint start = At(TPoint(50, 40));
    Move(start);
    EXPECT_EQ(view->GetHoverMarker(), 0);
    Press(start);
    EXPECT_EQ(view->GetSelectedMarker(), 0);
    EXPECT_TRUE(marker->IsDragging());
    // Five pixels and back: inside the dead zone, nothing moves.
    Move(start + QPoint(5, 0), Qt::LeftButton);
    Move(start, Qt::LeftButton);
    EXPECT_EQ(marker->GetImagePosX(), 50);
    // Ten to the right: the first eight are swallowed.
    Move(start + QPoint(10, 0), Qt::LeftButton);
    EXPECT_EQ(marker->GetImagePosX(), 52);
    EXPECT_EQ(marker->GetImagePosY(), 40);
    // Far beyond the right edge: the marker stays on the last column.
    Move(start + QPoint(400, 0), Qt::LeftButton);
    EXPECT_EQ(marker->GetImagePosX(), 99);
    Release(start + QPoint(400, 0));
    EXPECT_FALSE(marker->IsDragging());
    EXPECT_EQ(view->GetCapturedMarker(), nullptr);
    // The pointer left the marker's rectangle on the last move: the hover ended there.
    const std::vector<std::string> expected = {"hover", "selection", "move 0", "move 0", "move 0", "move 0",
                                               "hover", "after move 0"};
    EXPECT_EQ(events, expected);
    // After the drag the pointer is put on the marker's pixel.
    EXPECT_EQ(Pointer(), At(TPoint(99, 40)));
}

TEST_F(Mouse, DeadZoneAtReducedZoomIsShorter) {
    auto picture = PositionPicture(400, 300);
    view->SetBitmap(picture.get(), false, false);
    view->SetZoom(-4);
    auto* marker = new TzrCPMarker(view.get());
    view->AddMarker(marker);
    marker->SetImagePosX(200);
    marker->SetImagePosY(100);
    const QPoint p = At(TPoint(200, 100));
    bool handled = false;
    marker->ProcessMouseDown(mbLeft, ssLeft, false, handled, p.x(), p.y());
    ASSERT_TRUE(handled);
    marker->ProcessMouseMove(ssLeft, handled, p.x() + 1, p.y());  // within 2 painted pixels
    EXPECT_EQ(marker->GetImagePosX(), 200);
    marker->ProcessMouseMove(ssLeft, handled, p.x() + 3, p.y());  // one beyond: one painted pixel
    EXPECT_EQ(marker->GetImagePosX(), 204);
}

// With the left button held the pointer moves one painted pixel per f pixels of hand
// movement: f is the reduction factor (1 when magnified), eight times more with Ctrl.
TEST_F(Mouse, PointerSlowDownAndScrollingAtTheEdges) {
    auto picture = PositionPicture(400, 300);
    view->SetBitmap(picture.get(), false, false);
    struct Case {
        int zoom;
        Qt::KeyboardModifiers modifiers;
        int hand;  // pixels moved by the hand
    };
    for (const Case& c : std::vector<Case>{{1, Qt::ControlModifier, 8}, {-4, Qt::NoModifier, 4},
                                           {-2, Qt::ControlModifier, 16}}) {
        SCOPED_TRACE(c.zoom);
        view->SetZoom(c.zoom);
        const QPoint start(40, 30);
        Move(start);
        Press(start);
        Move(start + QPoint(c.hand, 0), Qt::LeftButton, c.modifiers);
        EXPECT_EQ(Pointer(), start + QPoint(1, 0));
        // Half a step more is kept as a remainder and rounds up at the next half.
        Move(start + QPoint(1 + c.hand / 2, 0), Qt::LeftButton, c.modifiers);
        EXPECT_EQ(Pointer(), start + QPoint(2, 0));
        Release(Pointer());
    }
    // Dragging past the right edge of the client scrolls, keeping 16 pixels of room.
    view->SetZoom(1);
    view->ScrollBox()->horizontalScrollBar()->setValue(0);
    const int client = view->ClientSize().width();
    Move(QPoint(client - 10, 30));
    Press(QPoint(client - 10, 30));
    Move(QPoint(client + 5, 30), Qt::LeftButton);
    EXPECT_EQ(view->HorzScrollPos(), 5 + 16);
    Release(QPoint(client + 5, 30));
}

TEST_F(Mouse, AreaDraggedByEveryPartUnderEveryRotation) {
    struct Case {
        const char* name;
        TzrAreaType type;
        TPoint grab;
        TPoint to;
        TRect result;
        Qt::CursorShape cursor;  // at rotation 0
    };
    const TRect start(20, 20, 60, 60);
    const std::vector<Case> cases = {
        {"left edge", TzrAreaRectangle, {20, 40}, {25, 43}, {25, 20, 60, 60}, Qt::SizeHorCursor},
        {"top edge", TzrAreaRectangle, {40, 20}, {45, 23}, {20, 23, 60, 60}, Qt::SizeVerCursor},
        {"right edge", TzrAreaRectangle, {60, 40}, {65, 43}, {20, 20, 65, 60}, Qt::SizeHorCursor},
        {"bottom edge", TzrAreaRectangle, {40, 60}, {45, 63}, {20, 20, 60, 63}, Qt::SizeVerCursor},
        {"top-left", TzrAreaRectangle, {20, 20}, {25, 23}, {25, 23, 60, 60}, Qt::SizeFDiagCursor},
        {"bottom-left", TzrAreaRectangle, {20, 60}, {25, 63}, {25, 20, 60, 63}, Qt::SizeBDiagCursor},
        {"top-right", TzrAreaRectangle, {60, 20}, {65, 23}, {20, 23, 65, 60}, Qt::SizeBDiagCursor},
        {"bottom-right", TzrAreaRectangle, {60, 60}, {65, 63}, {20, 20, 65, 63}, Qt::SizeFDiagCursor},
        {"inside", TzrAreaRectangle, {40, 40}, {45, 43}, {25, 23, 65, 63}, Qt::SizeAllCursor},
        {"right past left", TzrAreaRectangle, {60, 40}, {10, 40}, {10, 20, 20, 60}, Qt::SizeHorCursor},
        {"circle left", TzrAreaCircle, {20, 40}, {25, 43}, {25, 23, 60, 58}, Qt::SizeHorCursor},
        {"circle top", TzrAreaCircle, {40, 20}, {45, 23}, {22, 23, 59, 60}, Qt::SizeVerCursor},
        {"circle right", TzrAreaCircle, {60, 40}, {65, 43}, {20, 18, 65, 63}, Qt::SizeHorCursor},
        {"circle bottom", TzrAreaCircle, {40, 60}, {45, 63}, {19, 20, 62, 63}, Qt::SizeVerCursor},
        {"circle rim upper right", TzrAreaCircle, {54, 26}, {59, 29}, {18, 18, 62, 62}, Qt::SizeBDiagCursor},
        {"circle rim upper left", TzrAreaCircle, {26, 26}, {31, 29}, {26, 26, 54, 54}, Qt::SizeFDiagCursor},
        {"circle inside", TzrAreaCircle, {45, 40}, {50, 43}, {25, 23, 65, 63}, Qt::SizeAllCursor},
    };
    auto picture = PositionPicture(90, 80);
    view->SetBitmap(picture.get(), false, false);
    for (int rotate : {0, 90, 180, 270})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " rotation " + std::to_string(rotate));
            view->SetRotate(rotate);
            view->SetAreaType(c.type);
            view->SetAreaLeft(start.left);
            view->SetAreaTop(start.top);
            view->SetAreaRight(start.right);
            view->SetAreaBottom(start.bottom);
            int changes = 0, afterChanges = 0;
            view->OnAreaChange = [&](TzrCustomBitmapScrollBox*) { ++changes; };
            view->OnAfterAreaChange = [&](TzrCustomBitmapScrollBox*) { ++afterChanges; };
            // Hovering shows the part's cursor, turned with the picture.
            Move(At(c.grab));
            Qt::CursorShape cursor = c.cursor;
            TzrCustomBitmapScrollBox::RotateCursor(cursor, rotate);
            EXPECT_EQ(view->PaintBox()->cursor().shape(), cursor);
            Press(At(c.grab));
            EXPECT_TRUE(view->GetAreaDragging());
            Move(At(c.to), Qt::LeftButton);
            Release(At(c.to));
            EXPECT_FALSE(view->GetAreaDragging());
            EXPECT_EQ(TRect(view->GetAreaLeft(), view->GetAreaTop(), view->GetAreaRight(), view->GetAreaBottom()),
                      c.result);
            EXPECT_EQ(changes, 1);
            EXPECT_EQ(afterChanges, 1);
        }
}

TEST_F(Mouse, DragAreaPartsAndTolerances) {
    auto picture = PositionPicture(200, 200);
    view->SetBitmap(picture.get(), false, false);
    view->SetAreaType(TzrAreaRectangle);
    view->SetAreaLeft(10);
    view->SetAreaTop(10);
    view->SetAreaRight(100);
    view->SetAreaBottom(100);
    struct Case {
        int zoom, rotate, x, y, part;
        Qt::CursorShape cursor;
    };
    const std::vector<Case> cases = {
        {1, 0, 12, 50, 1, Qt::SizeHorCursor},  {1, 0, 50, 50, 11, Qt::SizeAllCursor}, {1, 0, 5, 50, 0, Qt::ArrowCursor},
        {1, 0, 13, 50, 1, Qt::SizeHorCursor},  {1, 0, 14, 50, 11, Qt::SizeAllCursor},
        {4, 0, 11, 50, 1, Qt::SizeHorCursor},  {4, 0, 12, 50, 11, Qt::SizeAllCursor},  // tolerance 1 at zoom 4
        {-2, 0, 16, 50, 1, Qt::SizeHorCursor}, {-2, 0, 17, 50, 11, Qt::SizeAllCursor}, // tolerance 6 at zoom -2
        {1, 90, 12, 50, 1, Qt::SizeVerCursor}, {1, 270, 10, 10, 5, Qt::SizeBDiagCursor},
    };
    for (const Case& c : cases) {
        view->SetZoom(c.zoom);
        view->SetRotate(c.rotate);
        Qt::CursorShape cursor;
        int part;
        view->GetDragAreaType(c.x, c.y, cursor, part);
        EXPECT_EQ(part, c.part) << c.zoom << " " << c.x;
        if (part) {
            EXPECT_EQ(cursor, c.cursor) << c.zoom << " " << c.x;
        }
    }
    // A circle of radius 50: 30 from the centre moves it, the top of the rim is part 2.
    view->SetZoom(1);
    view->SetRotate(0);
    view->SetAreaType(TzrAreaCircle);
    view->SetAreaLeft(5);
    view->SetAreaTop(5);
    view->SetAreaRight(105);
    view->SetAreaBottom(105);
    Qt::CursorShape cursor;
    int part;
    view->GetDragAreaType(55 + 30, 55, cursor, part);
    EXPECT_EQ(part, 11);
    view->GetDragAreaType(55, 5, cursor, part);
    EXPECT_EQ(part, 2);
}

TEST_F(Mouse, ImageClickMayGiveAMarkerThatIsGrabbedAtOnce) {
    auto picture = PositionPicture(100, 80);
    view->SetBitmap(picture.get(), false, false);
    TPoint clicked(-1, -1);
    view->OnImageMouseClick = [&](TzrCustomBitmapScrollBox* v, TPoint p, TzrCustomMarker*& marker) {
        clicked = p;
        auto* m = new TzrCPMarker(v);
        v->AddMarker(m);
        m->SetImagePosX(p.x);
        m->SetImagePosY(p.y);
        marker = m;
    };
    const QPoint at = At(TPoint(30, 20));
    Move(at);
    Press(at);
    EXPECT_EQ(clicked, TPoint(30, 20));
    ASSERT_EQ(view->GetMarkerCount(), 1);
    EXPECT_EQ(view->GetSelectedMarker(), 0);
    EXPECT_EQ(view->GetCapturedMarker(), view->GetMarker(0));
    Move(at + QPoint(12, 0), Qt::LeftButton);
    Release(at + QPoint(12, 0));
    EXPECT_EQ(view->GetMarker(0)->GetImagePosX(), 34);
    // Moving the pointer by source pixels, and a replayed click there.
    view->SetRotate(90);
    view->SetMouseImagePos(TPoint(10, 10), false);
    view->MoveMouseImagePos(5, -2);
    EXPECT_EQ(view->GetMouseImagePos(), TPoint(15, 8));
    EXPECT_EQ(Pointer(), At(TPoint(15, 8)));
    view->SimulateMouseClick();
    EXPECT_EQ(clicked, TPoint(15, 8));
    EXPECT_EQ(view->GetMarkerCount(), 2);
}

TEST_F(Mouse, RightButtonPansAndIsSwallowed) {
    auto picture = PositionPicture(600, 500);
    view->SetBitmap(picture.get(), false, false);
    view->ScrollBox()->horizontalScrollBar()->setValue(100);
    view->ScrollBox()->verticalScrollBar()->setValue(100);
    int ups = 0;
    view->OnMouseUp = [&](TzrCustomBitmapScrollBox*, TMouseButton, TShiftState, int, int) { ++ups; };
    const QPoint p(250, 250);
    Move(p);
    Press(p, Qt::RightButton);
    EXPECT_TRUE(view->GetPanning());
    EXPECT_EQ(view->PaintBox()->cursor().shape(), view->CursorDrag);
    Move(p + QPoint(-30, 20), Qt::RightButton);
    EXPECT_EQ(view->HorzScrollPos(), 130);
    EXPECT_EQ(view->VertScrollPos(), 80);
    Release(p + QPoint(-30, 20), Qt::RightButton);
    EXPECT_FALSE(view->GetPanning());
    EXPECT_EQ(ups, 0);  // the pan ends without any further handling
}
