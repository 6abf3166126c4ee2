// The bitmap view's painting, checked on the rendered pixels: the picture at its place for
// every rotation and zoom, the margin bands in the margin colour, and the area outline drawn
// in the inverting mode (a second pass removes it).
#include <gtest/gtest.h>

#include <QPainter>
#include <QTransform>

#include <string>
#include <vector>

#include "tests/viewer/view_support.h"

using namespace qb;
using namespace qb::viewer;
using namespace qb::viewer::test;

namespace {

constexpr TInterfaceColor MarginRed = 0x0000FF;  // the interface's colour order: pure red

// What the surface should look like, built with Qt's own transforms: the picture (source
// orientation) magnified on a margin-coloured surface of the area's extent, turned, with
// the margin around it.
QImage ExpectedSurface(const QImage& picture, int zoom, int rotate, int margin, TRect area, QColor marginColour) {
    const int ox = area.left < 0 ? -area.left : 0;
    const int oy = area.top < 0 ? -area.top : 0;
    const int w = std::max(picture.width(), area.right) + ox;
    const int h = std::max(picture.height(), area.bottom) + oy;
    QImage plain(w * zoom, h * zoom, QImage::Format_RGB32);
    plain.fill(marginColour);
    {
        QPainter p(&plain);
        p.drawImage(ox * zoom, oy * zoom, picture.scaled(picture.width() * zoom, picture.height() * zoom));
    }
    const QImage turned = plain.transformed(QTransform().rotate(rotate));
    QImage surface(turned.width() + 2 * margin, turned.height() + 2 * margin, QImage::Format_RGB32);
    surface.fill(marginColour);
    QPainter p(&surface);
    p.drawImage(margin, margin, turned);
    return surface;
}

// A mask: 255 where set.
QImage EmptyMask(QSize size) {
    QImage mask(size, QImage::Format_Grayscale8);
    mask.fill(0);
    return mask;
}

bool Set(const QImage& mask, int x, int y) { return qGray(mask.pixel(x, y)) != 0; }

// Pixels where two images of the same size differ.
QImage Difference(const QImage& a, const QImage& b) {
    QImage mask = EmptyMask(a.size());
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) mask.setPixel(x, y, 255);
    return mask;
}

int Count(const QImage& mask) {
    int n = 0;
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x) n += Set(mask, x, y);
    return n;
}

int CountDifferentMaskPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return -1;
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) n += Set(a, x, y) != Set(b, x, y);
    return n;
}

bool Inverted(QRgb a, QRgb b) { return ((a ^ b) & 0xFFFFFF) == 0xFFFFFF; }

class Painting : public ViewTest {};

}  // namespace

TEST_F(Painting, PictureAtItsPlaceAndMarginBandsForEveryRotationAndZoom) {
    view->SetMarginColor(MarginRed);
    const QImage picture = PositionImage(7, 4);
    for (int rotate : {0, 90, 180, 270})
        for (int zoom : {1, 2, 3})
            for (int margin : {0, 3})
                for (TRect area : {TRect(), TRect(-2, -1, 9, 3)}) {
                    SCOPED_TRACE("rotation " + std::to_string(rotate) + " zoom " + std::to_string(zoom) +
                                 " margin " + std::to_string(margin) + " area " + std::to_string(area.left));
                    SetGeometry(*view, zoom, rotate, margin, area);
                    view->SetBitmap(&picture);
                    const QImage expected = ExpectedSurface(picture, zoom, rotate, margin, area, QColor(255, 0, 0));
                    const QImage surface = Surface();
                    ASSERT_EQ(surface.size(), expected.size());
                    ASSERT_EQ(Count(Difference(surface, expected)), 0);
                }
}

TEST_F(Painting, ReducedPictureAtItsPlace) {
    view->SetMarginColor(MarginRed);
    const QColor grey(90, 100, 110);
    for (int rotate : {0, 90, 180, 270})
        for (int zoom : {-2, -3}) {
            SCOPED_TRACE("rotation " + std::to_string(rotate) + " zoom " + std::to_string(zoom));
            view->SetZoom(zoom);
            view->SetRotate(rotate);
            view->SetExtraMargin(2);
            view->SetAreaLeft(-6);
            view->SetAreaRight(0);
            auto picture = Uniform(13, 7, grey);
            view->SetBitmap(picture.get(), false, false);
            // The reduced picture, (13 - 1) / f + 1 by (7 - 1) / f + 1, lies 6 / f to the
            // right of the margin before the turn.
            const int f = -zoom;
            QImage reduced((13 - 1) / f + 1, (7 - 1) / f + 1, QImage::Format_RGB32);
            reduced.fill(grey);
            QImage plain(reduced.width() + 6 / f, reduced.height(), QImage::Format_RGB32);
            plain.fill(Qt::red);
            QPainter(&plain).drawImage(6 / f, 0, reduced);
            const QImage turned = plain.transformed(QTransform().rotate(rotate));
            QImage expected(turned.width() + 4, turned.height() + 4, QImage::Format_RGB32);
            expected.fill(Qt::red);
            QPainter(&expected).drawImage(2, 2, turned);
            const QImage surface = Surface();
            ASSERT_EQ(surface.size(), expected.size());
            EXPECT_EQ(Count(Difference(surface, expected)), 0);
        }
}

TEST_F(Painting, AreaOutlineInvertsAndASecondPassRemovesIt) {
    const QColor colour(10, 20, 30);
    for (TzrAreaType type : {TzrAreaRectangle, TzrAreaCircle})
        for (int rotate : {0, 90, 180, 270}) {
            SCOPED_TRACE("type " + std::to_string(type) + " rotation " + std::to_string(rotate));
            view->SetAreaType(TzrAreaNone);
            SetGeometry(*view, 1, rotate, 0, TRect(3, 2, 15, type == TzrAreaCircle ? 14 : 9));
            auto picture = Uniform(20, 16, colour);
            view->SetBitmap(picture.get(), false, false);
            const QImage before = Surface();

            view->SetAreaType(type);
            const QImage dashed = Surface();  // painted afresh with the dashed outline
            view->drawAreaLines(false, true);
            const QImage crawled = Surface();  // the solid pass: dashes and gaps swapped
            const QImage outline = Difference(dashed, crawled);

            // The solid pass touches exactly the outline, each pixel inverted.
            if (type == TzrAreaRectangle) {
                // The border of source pixels 3..14 x 2..8, turned like the picture.
                QImage plain = EmptyMask(QSize(20, 16));
                for (int x = 3; x < 15; ++x) plain.setPixel(x, 2, 255), plain.setPixel(x, 8, 255);
                for (int y = 2; y < 9; ++y) plain.setPixel(3, y, 255), plain.setPixel(14, y, 255);
                const QImage expected = plain.transformed(QTransform().rotate(rotate));
                EXPECT_EQ(CountDifferentMaskPixels(outline, expected), 0);
            } else {
                // A circle within the area's 12 x 12 square touching all four sides.
                int top = INT_MAX, bottom = -1, left = INT_MAX, right = -1;
                for (int y = 0; y < outline.height(); ++y)
                    for (int x = 0; x < outline.width(); ++x)
                        if (Set(outline, x, y)) {
                            top = std::min(top, y), bottom = std::max(bottom, y);
                            left = std::min(left, x), right = std::max(right, x);
                        }
                EXPECT_EQ(right - left, 11);
                EXPECT_EQ(bottom - top, 11);
                EXPECT_GT(Count(outline), 30);
            }
            const QImage dashes = Difference(before, dashed);
            const QImage gaps = Difference(before, crawled);
            EXPECT_GT(Count(dashes), 0);
            EXPECT_GT(Count(gaps), 0);
            EXPECT_EQ(Count(dashes) + Count(gaps), Count(outline));
            for (int y = 0; y < before.height(); ++y)
                for (int x = 0; x < before.width(); ++x) {
                    if (Set(dashes, x, y)) {
                        ASSERT_TRUE(Inverted(before.pixel(x, y), dashed.pixel(x, y)));
                    }
                    if (Set(gaps, x, y)) {
                        ASSERT_TRUE(Inverted(before.pixel(x, y), crawled.pixel(x, y)));
                    }
                }

            // Erasing leaves the picture as it was; so does drawing the outline twice.
            view->drawAreaLines(true, false);
            EXPECT_EQ(Count(Difference(before, Surface())), 0);
            view->drawAreaLines(false, false);
            EXPECT_GT(Count(Difference(before, Surface())), 0);
            view->drawAreaLines(false, false);
            EXPECT_EQ(Count(Difference(before, Surface())), 0);
        }
}

TEST_F(Painting, AreaSideChangedOutsideTheImageResizesTheSurface) {
    auto picture = Uniform(20, 10, QColor(1, 2, 3));
    view->SetBitmap(picture.get(), false, false);
    view->SetAreaType(TzrAreaRectangle);
    view->SetAreaRight(25);
    EXPECT_EQ(view->PaintBox()->size(), QSize(25, 10));
    view->SetAreaLeft(-10);
    EXPECT_EQ(view->PaintBox()->size(), QSize(35, 10));
    // Shifted right by ten: the margin colour (black) at the left, the picture after it.
    const QImage surface = Surface();
    EXPECT_EQ(surface.pixelColor(5, 5), QColor(0, 0, 0));
    EXPECT_EQ(surface.pixelColor(12, 5), QColor(1, 2, 3));
    view->SetAreaLeft(2);
    EXPECT_EQ(view->PaintBox()->size(), QSize(25, 10));
}
