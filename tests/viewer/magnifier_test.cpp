// The control-point marker and the magnifier, checked on their state and rendered pixels:
// the cross-hairs and the number box, the box kept on the surface, blinking; the magnifier's
// size, placement near the edges, red outside the image, auto-contrast, the centre cross
// and the other markers' crosses.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QScrollBar>

#include <cmath>
#include <string>
#include <vector>

#include "tests/viewer/view_support.h"
#include "viewer/zrcpmarker.h"
#include "viewer/zrzoommarker.h"

using namespace qb;
using namespace qb::viewer;
using namespace qb::viewer::test;

namespace {

class Magnifier : public ViewTest {
protected:
    void SetUp() override {
        ViewTest::SetUp();
        view->resize(300, 240);
    }
    QPoint At(TPoint source) const {
        double x, y;
        view->SourceToScreen(source, x, y, false);
        return QPoint(static_cast<int>(std::floor(x + 0.5)), static_cast<int>(std::floor(y + 0.5)));
    }
    void Hover(QPoint pos) {
        QWidget* box = view->PaintBox();
        QMouseEvent event(QEvent::MouseMove, QPointF(pos), QPointF(box->mapToGlobal(pos)), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(box, &event);
    }
    // The marker as drawn over the view's surface; what it leaves undrawn stays black.
    QImage Drawn(QWidget* marker) const {
        QImage image(marker->size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        marker->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        return image;
    }
};

}  // namespace

TEST_F(Magnifier, ContrastColour) {
    const std::vector<std::pair<TInterfaceColor, TInterfaceColor>> cases = {
        {0x000000, 0xFFFFFF}, {0xFFFFFF, 0x000000}, {0x0A32C8, 0xFFFFFF} /* 1.5*50+200+10 = 285 */,
        {0x00FF00, 0x000000} /* 382 */, {0x0000FF, 0xFFFFFF} /* red 255 */, {0xFF0000, 0xFFFFFF} /* blue 255 */,
        {0x2D5A64, 0xFFFFFF} /* 1.5*90+100+45 = 280 */, {0x336464, 0x000000} /* 1.5*100+100+51 = 301 */,
    };
    for (auto [colour, contrast] : cases) EXPECT_EQ(TzrCustomMarker::GetContrastColor(colour), contrast) << colour;
}

TEST_F(Magnifier, ControlPointMarkerCrossBoxAndGrabArea) {
    auto black = Uniform(120, 100, Qt::black);
    view->SetBitmap(black.get(), false, false);
    view->SetZoomerVisible(false);
    auto* m = new TzrCPMarker(view.get());
    view->AddMarker(m);
    m->SetImagePosX(50);
    m->SetImagePosY(50);
    m->SetNum(7);
    m->SetColor(0x00FFFF);  // yellow
    m->SetBoxLocation(0);  // placed at (0, 0) first, the box had gone to the other corner
    EXPECT_EQ(m->size(), QSize(37, 29));
    EXPECT_EQ(m->HotSpot(), QPoint(18, 14));
    // The marker's hot spot is on its pixel.
    EXPECT_EQ(m->pos() + m->HotSpot(), At(TPoint(50, 50)));
    struct Cross {
        TzrCPMarkerType type;
        int horizontal, vertical;  // arm lengths
    };
    for (Cross c : {Cross{zrCPNormal, 4, 4}, Cross{zrCPHorz, 7, 4}, Cross{zrCPVert, 4, 7}}) {
        m->SetType(c.type);
        const QImage drawn = Drawn(m);
        // White on the black picture, exactly the arm's length.
        for (int d = -c.horizontal; d <= c.horizontal; ++d)
            EXPECT_EQ(drawn.pixelColor(18 + d, 14), d == 0 ? QColor(Qt::black) : QColor(Qt::white));
        EXPECT_EQ(drawn.pixelColor(18 + c.horizontal + 1, 14), QColor(Qt::black));
        // The vertical line is drawn second: where it crosses the white horizontal one it
        // takes the contrast of white.
        for (int d = -c.vertical; d <= c.vertical; ++d)
            EXPECT_EQ(drawn.pixelColor(18, 14 + d), d == 0 ? QColor(Qt::black) : QColor(Qt::white));
        EXPECT_EQ(drawn.pixelColor(18, 14 + c.vertical + 1), QColor(Qt::black));
    }
    m->SetType(zrCPDiag);
    QImage drawn = Drawn(m);
    for (int d = -4; d <= 4; ++d) {
        if (d == 0) continue;
        // The upper-left end of the falling diagonal lies under the number box.
        if (d > -3) {
            EXPECT_EQ(drawn.pixelColor(18 + d, 14 + d), QColor(Qt::white)) << d;
        }
        EXPECT_EQ(drawn.pixelColor(18 + d, 14 - d), QColor(Qt::white)) << d;
    }
    EXPECT_EQ(drawn.pixelColor(18 + 2, 14), QColor(Qt::black));
    // The number box (top-left): filled with the marker's colour, framed in black.
    const QRect box = m->GetBoxRect();
    EXPECT_EQ(box, QRect(0, 0, 16, 12));
    EXPECT_EQ(drawn.pixelColor(0, 0), QColor(Qt::black));
    EXPECT_EQ(drawn.pixelColor(2, 2), QColor(Qt::yellow));
    // Grab positions: within 3 of the hot spot, or in the box (right and bottom exclusive).
    const std::vector<std::pair<QPoint, bool>> grabs = {{{18, 14}, true}, {{21, 17}, true}, {{22, 14}, false},
                                                        {{15, 11}, true}, {{0, 0}, true},   {{15, 11}, true},
                                                        {{16, 5}, false}, {{5, 12}, false}, {{30, 25}, false}};
    for (auto [p, grab] : grabs) EXPECT_EQ(m->IsGrabPos(p.x(), p.y()), grab) << p.x() << "," << p.y();
}

TEST_F(Magnifier, BoxStaysOnTheSurfaceAndBlinksWhenSelected) {
    auto picture = Uniform(120, 100, Qt::black);
    view->SetBitmap(picture.get(), false, false);
    auto* m = new TzrCPMarker(view.get());
    view->AddMarker(m);
    struct Case {
        int x, y, location, expected;
    };
    const std::vector<Case> cases = {
        {60, 50, 0, 0}, {60, 50, 2, 2}, {2, 50, 0, 3},   {118, 50, 3, 0},
        {60, 2, 0, 1},  {60, 98, 1, 0}, {2, 2, 0, 2},    {118, 98, 2, 0},
    };
    for (const Case& c : cases) {
        m->SetImagePosX(c.x);
        m->SetImagePosY(c.y);
        m->SetBoxLocation(c.location);
        m->PositionMarker();
        EXPECT_EQ(m->GetBoxLocation(), c.expected) << c.x << "," << c.y << " from " << c.location;
    }
    // Selected: three steps white, three light grey.
    m->SetImagePosX(60);
    m->SetImagePosY(50);
    m->SetBoxLocation(0);
    view->SetSelectedMarker(0);
    std::vector<QColor> seen;
    for (int step = 0; step < 7; ++step) {
        seen.push_back(Drawn(m).pixelColor(2, 2));
        view->FTimerTimer();
    }
    const QColor w(Qt::white), g(0xC0, 0xC0, 0xC0);
    EXPECT_EQ(seen, (std::vector<QColor>{w, w, w, g, g, g, w}));
    // Hovered or highlighted from outside: white.
    view->SetSelectedMarker(-1);
    m->SetColor(0x0000FF);
    EXPECT_EQ(Drawn(m).pixelColor(2, 2), QColor(Qt::red));
    view->SetExtHoverMarker(0);
    EXPECT_EQ(Drawn(m).pixelColor(2, 2), QColor(Qt::white));
}

TEST_F(Magnifier, SizeAndWhenItShows) {
    auto picture = PositionPicture(200, 150);
    view->SetBitmap(picture.get(), false, false);
    TzrZoomMarker* zoomer = view->ZoomMarker();
    ASSERT_NE(zoomer, nullptr);
    EXPECT_EQ(view->GetZoomerFactor(), 3);
    EXPECT_EQ(view->GetZoomerPixelWidth(), 17);
    EXPECT_EQ(zoomer->size(), QSize(53, 53));
    view->SetZoomerAutoContrastAmount(150);
    EXPECT_EQ(view->GetZoomerAutoContrastAmount(), 100);
    view->SetZoomerAutoContrastAmount(-5);
    EXPECT_EQ(view->GetZoomerAutoContrastAmount(), 0);
    for (auto [zoom, shown] : std::vector<std::pair<int, bool>>{{1, true}, {2, true}, {3, false}, {4, false}, {-2, true}}) {
        view->SetZoom(zoom);
        Hover(At(TPoint(100, 75)));
        EXPECT_EQ(zoomer->isVisible(), shown) << zoom;
    }
    view->SetZoom(1);
    view->SetZoomerVisible(false);
    Hover(At(TPoint(100, 75)));
    EXPECT_FALSE(zoomer->isVisible());
    view->SetZoomerVisible(true);
    // Panning hides it.
    view->ScrollBoxMouseDown(mbRight, ssRight, 100, 75);
    EXPECT_FALSE(zoomer->isVisible());
    view->ScrollBoxMouseUp(mbRight, 0, 100, 75);
    // With the mouse away, it can follow the selected marker.
    auto* m = new TzrCPMarker(view.get());
    view->AddMarker(m);
    m->SetImagePosX(30);
    m->SetImagePosY(40);
    view->SetShowZoomerAtSelectedMarker(true);
    QCursor::setPos(-5000, -5000);
    view->FTimerTimer();  // the pointer is not over the view: the mouse is out
    EXPECT_FALSE(view->GetMouseIn());
    view->SetSelectedMarker(0);
    EXPECT_TRUE(zoomer->isVisible());
    EXPECT_EQ(TPoint(zoomer->GetCenterX(), zoomer->GetCenterY()), TPoint(30, 40));
}

TEST_F(Magnifier, PlacedOnTheSideWithMoreRoom) {
    view->resize(200, 200);
    auto picture = PositionPicture(180, 180);
    view->SetBitmap(picture.get(), false, false);
    TzrZoomMarker* zoomer = view->ZoomMarker();
    struct Case {
        TPoint at;
        int marginX, marginY;
    };
    for (const Case& c : std::vector<Case>{{{20, 20}, 16, 16}, {{170, 20}, -16, 16}, {{20, 170}, 16, -16},
                                           {{170, 170}, -16, -16}}) {
        Hover(At(c.at));
        EXPECT_EQ(zoomer->GetMarginX(), c.marginX) << c.at.x << "," << c.at.y;
        EXPECT_EQ(zoomer->GetMarginY(), c.marginY) << c.at.x << "," << c.at.y;
        // The window keeps its margin from the point, on that side.
        const QPoint point = At(c.at) - QPoint(view->HorzScrollPos(), view->VertScrollPos());
        const QRect window = zoomer->geometry();
        EXPECT_EQ(c.marginX > 0 ? window.left() : window.left() + window.width(), point.x() + c.marginX);
        EXPECT_EQ(c.marginY > 0 ? window.top() : window.top() + window.height(), point.y() + c.marginY);
    }
}

TEST_F(Magnifier, PicturePixelsRedOutsideCentreCrossAndFrame) {
    auto picture = PositionPicture(60, 40);
    view->SetBitmap(picture.get(), false, false);
    TzrZoomMarker* zoomer = view->ZoomMarker();
    Hover(At(TPoint(0, 0)));
    ASSERT_TRUE(zoomer->isVisible());
    ASSERT_EQ(TPoint(zoomer->GetCenterX(), zoomer->GetCenterY()), TPoint(0, 0));
    const QImage image = zoomer->Render();
    // Window origin (-8, -8): the left 8 columns and top 8 rows are red.
    EXPECT_EQ(image.pixelColor(5, 40), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(24, 40), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(40, 24), QColor(Qt::red));
    // Image pixel (0, 0) is the centre pixel: canvas 25 ... 27, left uncovered by the cross.
    for (int y = 25; y < 28; ++y)
        for (int x = 25; x < 28; ++x) EXPECT_EQ(image.pixelColor(x, y), ColourOf(0, 0)) << x << "," << y;
    // Image pixel (3, 2) lies 3 columns right and 2 rows below it.
    EXPECT_EQ(image.pixelColor(25 + 9, 25 + 6 + 1), ColourOf(3, 2));
    // The cross runs through the middle of the centre pixel (26) on both sides of it, in
    // the contrast colour of what it covers (white on red).
    EXPECT_EQ(image.pixelColor(10, 26), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(26, 10), QColor(Qt::white));
    const QColor beyond = image.pixelColor(40, 26);
    EXPECT_EQ(beyond, TzrCustomMarker::GetContrastColor(ColourOf(5, 0)) ? QColor(Qt::white) : QColor(Qt::black));
    // A black frame; white along it from the corner that faces the point (top-left).
    EXPECT_EQ(image.pixelColor(52, 52), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(52, 0), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(10, 0), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(0, 10), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(40, 0), QColor(Qt::black));
}

TEST_F(Magnifier, AutoContrastIsApplied) {
    // A dull picture: values 100 ... 116.
    QImage dull(40, 40, QImage::Format_BGR888);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) dull.setPixelColor(x, y, QColor(100 + (x % 17), 100 + (y % 17), 108));
    view->SetBitmap(&dull);
    TzrZoomMarker* zoomer = view->ZoomMarker();
    Hover(At(TPoint(20, 20)));
    ASSERT_TRUE(zoomer->isVisible());
    // What the window should show: the same 17 x 17 crop, auto-contrasted by the memory
    // bitmap itself.
    TzrMemBitmap source(&dull);
    TzrMemBitmap crop;
    crop.ExtractCropFrom(source, TRect(12, 12, 29, 29), 0, false);
    crop.AutoContrast(0.6);
    QImage expected;
    crop.AssignTo(&expected);
    view->SetZoomerAutoContrastAmount(60);
    const QImage image = zoomer->Render();
    for (auto [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {16, 0}, {3, 14}, {16, 16}})
        EXPECT_EQ(image.pixelColor(1 + 3 * x + 1, 1 + 3 * y + 1), expected.pixelColor(x, y))
            << x << "," << y;
    EXPECT_NE(expected.pixelColor(0, 0), dull.pixelColor(12, 12));
}

TEST_F(Magnifier, CanvasPositionsUnderEveryRotationAndOtherMarkersCrosses) {
    auto picture = Uniform(80, 60, Qt::black);
    view->SetBitmap(picture.get(), false, false);
    TzrZoomMarker* zoomer = view->ZoomMarker();
    for (auto [rotate, oneRight] : std::vector<std::pair<int, QPoint>>{
             {0, {29, 26}}, {90, {26, 29}}, {180, {23, 26}}, {270, {26, 23}}}) {
        view->SetRotate(rotate);
        Hover(At(TPoint(40, 30)));
        EXPECT_EQ(zoomer->ImagePosToCanvasPos(40, 30), QPoint(26, 26)) << rotate;
        EXPECT_EQ(zoomer->ImagePosToCanvasPos(41, 30), oneRight) << rotate;
    }
    // A marker two pixels right of the point shows its cross in the magnifier.
    view->SetRotate(0);
    auto* m = new TzrCPMarker(view.get());
    view->AddMarker(m);
    m->SetImagePosX(42);
    m->SetImagePosY(30);
    Hover(At(TPoint(40, 30)));
    const QImage image = zoomer->Render();
    const QPoint at = zoomer->ImagePosToCanvasPos(42, 30);
    EXPECT_EQ(at, QPoint(32, 26));
    // (The magnifier's own centre line, drawn after, crosses it at d = 0.)
    for (int d = -4; d <= 4; ++d) {
        if (d != 0) {
            EXPECT_EQ(image.pixelColor(at.x(), at.y() + d), QColor(Qt::white)) << d;
        }
    }
    EXPECT_EQ(image.pixelColor(at.x() + 2, at.y() + 2), QColor(Qt::black));
}
