// The two inner parts of the bitmap view: the scroll box (a scroll area whose viewport holds
// the painted surface and the markers, scrolling them all together) and the paint box (the
// painted surface).
//
// The paint box keeps what it painted of its visible part in a canvas image of its own, so
// that the area outline can be drawn straight onto the painted pixels in the inverting mode
// between two paints (drawing the same outline twice restores the pixels), as on a window's
// device context. A paint of a part the canvas does not hold, or after the picture changed,
// paints the canvas afresh.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cmath>

#include "viewer/zrbitmapscrollbox.h"

namespace qb::viewer {

// floor(v + 0.5), kept within the int range.
inline int RoundToInt(double v) {
    const double r = std::floor(v + 0.5);
    if (!(r > INT_MIN)) return INT_MIN;
    if (r > INT_MAX) return INT_MAX;
    return static_cast<int>(r);
}

inline int ClampToInt(long long v) { return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)); }

// The button of a Qt mouse event.
inline TMouseButton ButtonOf(Qt::MouseButton button) {
    return button == Qt::RightButton ? mbRight : button == Qt::MiddleButton ? mbMiddle : mbLeft;
}

class TzrPaintBox : public QWidget {
public:
    explicit TzrPaintBox(TzrCustomBitmapScrollBox& view, QWidget* parent);

    // The picture changed: the canvas is painted afresh at the next paint.
    void Invalidate();
    // The canvas and the surface rectangle it holds, when it holds what is on screen now;
    // null otherwise (nothing can be drawn straight onto the surface then).
    QImage* CurrentCanvas(QRect& rect);
    // The canvas pixel at a surface position; false when the canvas does not hold it.
    bool CanvasPixel(QPoint surface, QColor& colour) const;
    // Pixels of the canvas were drawn on: they go to the screen.
    void CanvasChanged(const QRect& rect);
    // The visible part of the surface, in paint-box coordinates.
    QRect VisibleRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void Render(const QRect& rect);

    TzrCustomBitmapScrollBox& View;
    QImage Canvas;
    QRect CanvasRect;
    bool CanvasValid = false;
    bool Painting = false;
};

class TzrScrollBox : public QAbstractScrollArea {
public:
    explicit TzrScrollBox(TzrCustomBitmapScrollBox& view, QWidget* parent);

    // Sizes the surface and sets the scroll bars for it at once (not only at the next
    // layout pass), so that scroll ranges and the client size are known right away.
    void SetContentSize(QSize size);
    void UpdateBars();
    // The viewport's size without scroll bars.
    QSize FullViewportSize() const;
    // The viewport size that goes with the scroll bars shown.
    QSize ClientSize() const { return FClientSize; }

protected:
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    TzrCustomBitmapScrollBox& View;
    QSize FContent{0, 0};
    QSize FClientSize{0, 0};
};

}  // namespace qb::viewer
