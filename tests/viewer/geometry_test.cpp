// The bitmap view's geometry: the mapping between source pixels and the painted surface
// both ways, the surface size, zoom and rotation normalisation, fitting and centring.
#include <gtest/gtest.h>

#include <QScrollBar>

#include <string>
#include <vector>

#include "tests/viewer/view_support.h"

using namespace qb;
using namespace qb::viewer;
using namespace qb::viewer::test;

namespace {

class Geometry : public ViewTest {
protected:
    void Show(int width, int height, int zoom, int rotate, int margin = 0, TRect area = TRect()) {
        SetGeometry(*view, zoom, rotate, margin, area);
        auto picture = PositionPicture(width, height);
        view->SetBitmap(picture.get(), false, false);
    }
    QSize SurfaceSize() const { return view->PaintBox()->size(); }
};

}  // namespace

// The values worked out by hand for the mapping's defining cases.
TEST_F(Geometry, MappingBothWaysInTheDefiningCases) {
    struct Case {
        const char* name;
        int w, h, zoom, rotate, margin;
        TRect area;
        TPoint source;
        double sx, sy;  // its surface position
        double fromX, fromY;
        TPoint back;  // the source pixel under (fromX, fromY)
    };
    const std::vector<Case> cases = {
        {"zoom 3", 8, 8, 3, 0, 0, {}, {0, 0}, 1, 1, 5, 5, {1, 1}},
        {"zoom 3 last pixel", 8, 8, 3, 0, 0, {}, {7, 2}, 22, 7, 23.9, 8.9, {7, 2}},
        {"zoom -2", 5, 5, -2, 0, 0, {}, {2, 4}, 1, 2, 1, 1, {2, 2}},
        {"zoom -3 between", 9, 9, -3, 0, 0, {}, {4, 1}, 4.0 / 3, 1.0 / 3, 1.4, 0.2, {4, 1}},
        {"rotation 90", 4, 2, 1, 90, 0, {}, {0, 0}, 1, 0, 0, 3, {3, 1}},
        {"rotation 180", 4, 2, 1, 180, 0, {}, {0, 0}, 3, 1, 0, 0, {3, 1}},
        {"rotation 270", 4, 2, 1, 270, 0, {}, {0, 0}, 0, 3, 1, 0, {3, 1}},
        {"rotation 90 zoom 2", 4, 2, 2, 90, 0, {}, {1, 0}, 2, 3, 0, 7, {3, 1}},
        {"rotation 270 zoom -2", 6, 4, -2, 270, 0, {}, {2, 2}, 1, 1, 0, 0, {4, 0}},
        {"margin", 4, 4, 2, 0, 5, {}, {0, 0}, 6, 6, 5, 5, {0, 0}},
        {"margin and rotation 90", 4, 2, 1, 90, 2, {}, {0, 0}, 3, 2, 2, 2, {0, 1}},
        {"area left of and above", 4, 4, 1, 0, 0, {-10, -3, 2, 2}, {0, 0}, 10, 3, 0, 0, {-10, -3}},
        {"area and zoom 2", 4, 4, 2, 0, 1, {-2, 0, 2, 2}, {1, 1}, 8, 4, 1, 1, {-2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Show(c.w, c.h, c.zoom, c.rotate, c.margin, c.area);
        double x, y;
        view->SourceToScreen(c.source, x, y, false);
        EXPECT_DOUBLE_EQ(x, c.sx);
        EXPECT_DOUBLE_EQ(y, c.sy);
        EXPECT_EQ(view->ScreenToSource(c.fromX, c.fromY, false), c.back);
    }
}

TEST_F(Geometry, RoundTripForEveryRotationMagnificationMarginAndArea) {
    for (int rotate : {0, 90, 180, 270})
        for (int zoom : {1, 2, 3, 5})
            for (int margin : {0, 4})
                for (TRect area : {TRect(), TRect(-6, -2, 3, 3), TRect(0, 0, 30, 20)}) {
                    SCOPED_TRACE("rotation " + std::to_string(rotate) + " zoom " + std::to_string(zoom) + " margin " +
                                 std::to_string(margin) + " area left " + std::to_string(area.left));
                    Show(11, 7, zoom, rotate, margin, area);
                    for (int y = -2; y < 9; ++y)
                        for (int x = -6; x < 13; ++x) {
                            double sx, sy;
                            view->SourceToScreen(TPoint(x, y), sx, sy, false);
                            ASSERT_EQ(view->ScreenToSource(sx, sy, false), TPoint(x, y)) << x << "," << y;
                        }
                }
}

TEST_F(Geometry, SurfaceSizeFromImageZoomRotationAreaAndMargin) {
    struct Case {
        const char* name;
        int w, h, zoom, rotate, margin;
        TRect area;
        QSize size;
    };
    const std::vector<Case> cases = {
        {"plain", 10, 6, 1, 0, 0, {}, {10, 6}},
        {"zoom 2, rotation 90, margin 3", 10, 6, 2, 90, 3, {}, {18, 26}},
        {"area beyond every side", 10, 6, 1, 0, 0, {-4, -2, 15, 8}, {19, 10}},
        {"reduction with area", 10, 6, -2, 0, 0, {-4, -2, 15, 8}, {9, 5}},
        {"zoom -2 of 5 x 5", 5, 5, -2, 0, 0, {}, {3, 3}},
        {"rotation 90 of 4 x 2", 4, 2, 1, 90, 0, {}, {2, 4}},
        {"rotation 270, zoom 3, area and margin", 10, 6, 3, 270, 1, {-1, 0, 12, 0}, {20, 41}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Show(c.w, c.h, c.zoom, c.rotate, c.margin, c.area);
        EXPECT_EQ(SurfaceSize(), c.size);
        int w, h;
        view->GetImageDimensions(w, h);
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
    }
    // Without an image the surface has no size.
    view->SetBitmap(static_cast<TzrMemBitmap*>(nullptr), false, false);
    EXPECT_EQ(SurfaceSize(), QSize(0, 0));
    EXPECT_FALSE(view->ScrollBox()->isVisible());
}

TEST_F(Geometry, ZoomAndRotationAreNormalised) {
    Show(8, 6, 1, 0);
    const std::vector<std::pair<int, int>> zooms = {{0, 1}, {-1, 1}, {4, 4}, {-3, -3}, {-1, 1}};
    for (auto [given, stored] : zooms) {
        view->SetZoom(given);
        EXPECT_EQ(view->GetZoom(), stored) << given;
    }
    const std::vector<std::pair<int, int>> angles = {{450, 90}, {45, 0}, {-90, 270}, {180, 180}, {720, 0}, {-450, 270}};
    for (auto [given, stored] : angles) {
        view->SetRotate(given);
        EXPECT_EQ(view->GetRotate(), stored) << given;
    }
}

TEST_F(Geometry, ZoomToFit) {
    struct Case {
        int iw, ih, cw, ch;
        bool magnify;
        int zoom;
    };
    const std::vector<Case> cases = {
        {4000, 3000, 800, 600, false, -5}, {100, 100, 800, 600, true, 6}, {100, 100, 800, 600, false, 1},
        {801, 600, 800, 600, true, -2},    {800, 600, 800, 600, true, 1}, {1601, 10, 800, 600, false, -3},
        {0, 10, 800, 600, true, 0},        {10, 10, 0, 600, true, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TzrCustomBitmapScrollBox::FitZoom(c.iw, c.ih, QSize(c.cw, c.ch), c.magnify), c.zoom)
            << c.iw << "x" << c.ih << " in " << c.cw << "x" << c.ch;

    // On the view: the turned image fits the client without scroll bars.
    view->resize(80, 60);
    Show(400, 300, 1, 0);
    view->ZoomToFit(false);
    EXPECT_EQ(view->GetZoom(), -5);
    EXPECT_LE(view->PaintBox()->width(), 80);
    EXPECT_LE(view->PaintBox()->height(), 60);
    view->SetRotate(90);
    view->ZoomToFit(false);
    EXPECT_EQ(view->GetZoom(), -7);  // 300 x 400 in 80 x 60
    Show(10, 8, 1, 0);
    view->ZoomToFit(true);
    EXPECT_EQ(view->GetZoom(), 7);
}

TEST_F(Geometry, CentrePointKeptAcrossZoomAndRotation) {
    // Small enough that the picture needs scrolling at every zoom below.
    view->resize(60, 50);
    Show(300, 200, 2, 0);
    const TPoint centre(140, 90);
    view->SetCenterPoint(centre);
    EXPECT_EQ(view->GetCenterPoint(), centre);
    const std::vector<std::pair<int, int>> steps = {{3, 0}, {3, 90}, {1, 90}, {-2, 90}, {-2, 270}, {4, 180}, {-3, 0}};
    for (auto [zoom, rotate] : steps) {
        view->SetZoom(zoom);
        view->SetRotate(rotate);
        // A reduced picture can only be centred to the nearest painted pixel.
        const int tolerance = zoom <= -2 ? -zoom : 0;
        const TPoint now = view->GetCenterPoint();
        EXPECT_LE(std::abs(now.x - centre.x), tolerance) << "zoom " << zoom << " rotation " << rotate;
        EXPECT_LE(std::abs(now.y - centre.y), tolerance) << "zoom " << zoom << " rotation " << rotate;
    }
}

TEST_F(Geometry, CentrePointOfATurnedImageIsLimitedInSourceOrientation) {
    // 300 x 40 turned by 90 is 40 wide and 300 high; the centre's source x may go up to 299.
    view->resize(100, 100);
    Show(300, 40, 1, 90);
    view->SetCenterPoint(TPoint(250, 20));
    const TPoint p = view->GetCenterPoint();
    EXPECT_EQ(p.x, 250);
}

TEST_F(Geometry, ScrollIntoViewCentresOnlyNearTheEdges) {
    view->resize(100, 100);
    Show(400, 400, 1, 0);
    view->SetCenterPoint(TPoint(200, 200));
    view->ScrollIntoView(TPoint(210, 190), 0.2);  // well inside: nothing moves
    EXPECT_EQ(view->GetCenterPoint(), TPoint(200, 200));
    view->ScrollIntoView(TPoint(245, 200), 0.2);  // within a fifth of the right edge
    EXPECT_EQ(view->GetCenterPoint(), TPoint(245, 200));
    const TRect visible = view->GetVisibleScreenRect();
    EXPECT_EQ(visible.Width(), view->ClientSize().width());
    EXPECT_EQ(visible.left, view->HorzScrollPos());
}

TEST_F(Geometry, SourceToMousePosTellsWhetherThePixelIsVisible) {
    view->resize(100, 100);
    Show(400, 400, 1, 0);
    view->SetCenterPoint(TPoint(200, 200));
    int x, y;
    EXPECT_TRUE(view->SourceToMousePos(TPoint(200, 200), x, y, false));
    EXPECT_EQ(x, 200 - view->HorzScrollPos());
    EXPECT_EQ(y, 200 - view->VertScrollPos());
    EXPECT_FALSE(view->SourceToMousePos(TPoint(10, 200), x, y, false));
    EXPECT_FALSE(view->SourceToMousePos(TPoint(200, 399 + 5), x, y, false));
}
