// TzrCustomMarker: the base of the small windowless controls that float over the picture of
// a bitmap view and stay attached to one source pixel whatever the zoom, rotation and scroll
// position. A marker belongs to its view from construction (the view's parts own it as a
// widget) and is used only while that view exists. The marker keeps its source position, places itself from it through the view's
// mapping, and knows whether it is selected or highlighted from outside. Derived markers
// draw themselves and say where they can be grabbed.
#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "viewer/zrbitmapscrollbox.h"

namespace qb::viewer {

// What a marker draws on: its own picture, laid over the view's painted surface (or, for
// the magnifier, its own picture alone). A pixel not yet drawn reads as what lies beneath.
class TzrMarkerCanvas {
public:
    TzrMarkerCanvas(QImage& image, std::function<QColor(QPoint)> beneath) : Image(image), Beneath(std::move(beneath)) {}
    QColor Pixel(QPoint p) const;
    void SetPixel(QPoint p, QColor colour);
    QImage& Image;

private:
    std::function<QColor(QPoint)> Beneath;
};

class TzrCustomMarker : public QWidget {
public:
    using TNotifyEvent = std::function<void(TzrCustomMarker* sender)>;

    // The owner must be a bitmap view; any other owner fails with "Marker can only be
    // placed on a zrBitmapScrollBox". The marker is not in the view's list until the view's
    // AddMarker takes it.
    explicit TzrCustomMarker(QObject* owner);
    ~TzrCustomMarker() override;

    TzrCustomBitmapScrollBox& View() const { return *FView; }

    // Source pixel position; a change places the marker again.
    std::int32_t GetImagePosX() const { return FImagePosX; }
    std::int32_t GetImagePosY() const { return FImagePosY; }
    void SetImagePosX(std::int32_t x);
    void SetImagePosY(std::int32_t y);

    // The painted position of the source pixel (rotation applied).
    double GetScrollBoxPosX() const;
    double GetScrollBoxPosY() const;
    // Moves the marker onto the source pixel under a painted position, kept in the image.
    void SetScrollBoxPosX(double x);
    void SetScrollBoxPosY(double y);

    // The point inside the marker that sits on the source pixel.
    QPoint HotSpot() const { return FHotSpot; }

    // Places the control from the source position.
    virtual void PositionMarker();
    // Takes the source position from the current painted position.
    void UpdateImagePos();
    // Limits a source point to the image (in source orientation).
    void ForceInsideImage(TPoint& point) const;

    bool GetExtHover() const { return FExtHover; }
    bool GetSelected() const { return FSelected; }
    void SetExtHover(bool value);
    virtual void SetSelected(bool value);

    // Whether (x, y) in marker pixels is a place where the marker can be grabbed.
    virtual bool IsGrabPos(int x, int y);
    // Draws this marker's position onto another marker's canvas at (x, y).
    virtual void DrawToOtherMarkersCanvas(TzrCustomMarker* other, TzrMarkerCanvas& canvas, int x, int y);
    // The view's 100 ms step, for the selected marker.
    virtual void TimerTimer();

    // Mouse processing, called by the view with painted coordinates; handled tells whether
    // the marker took the input.
    void ProcessMouseDown(TMouseButton button, TShiftState shift, bool preGrabbed, bool& handled, int x, int y);
    void ProcessMouseMove(TShiftState shift, bool& handled, int x, int y);
    void ProcessMouseUp(TMouseButton button, TShiftState shift, bool& handled, int x, int y);
    void ProcessMouseOut();
    bool IsDragging() const { return FDragging; }
    bool IsHovered() const { return FHovered; }
    bool InDeadZone() const { return FDeadZone; }
    // The cursor the marker last asked the view for.
    Qt::CursorShape ActiveCursor() const { return FActiveCursor; }

    // White for dark colours, black for light ones (an interface colour).
    static TInterfaceColor GetContrastColor(TInterfaceColor colour);
    static TInterfaceColor GetContrastColor(QColor colour);
    // n unit steps from (x, y) by (dx, dy), each pixel in the contrast colour of the
    // canvas pixel under it, so that the line shows on any picture.
    static void DrawContrastLine(TzrMarkerCanvas& canvas, int steps, int x, int y, int dx, int dy);

    // Over the grab area, and while dragging (Qt::BlankCursor hides the pointer).
    Qt::CursorShape Cursor = Qt::ArrowCursor;
    Qt::CursorShape DragCursor = Qt::ArrowCursor;

    // Set by the destructor, so that a handler that deleted its marker stops touching it.
    bool IsDeleted() const { return FDeleted; }

    TNotifyEvent OnBeforePaint;
    TNotifyEvent OnAfterPaint;

    // The marker's picture over what lies beneath it (for the magnifier: its own picture).
    virtual QColor Beneath(QPoint local) const;

protected:
    // Draws the marker; the base calls OnBeforePaint and OnAfterPaint.
    virtual void Paint(QPainter& painter, TzrMarkerCanvas& canvas);
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void SetHotSpot(QPoint hotSpot) { FHotSpot = hotSpot; }
    void AskCursor(Qt::CursorShape cursor);
    // A painted position in marker pixels.
    QPoint LocalOf(int x, int y) const;

    // Painted pixels a drag swallows before the marker moves.
    static constexpr int DragThreshold = 8;

private:
    // A marker taken out of the view's list may outlive the view.
    QPointer<TzrCustomBitmapScrollBox> FView;
    std::int32_t FImagePosX = 0;
    std::int32_t FImagePosY = 0;
    QPoint FHotSpot{0, 0};
    bool FExtHover = false;
    bool FSelected = false;
    bool FDeleted = false;
    bool FDragging = false;
    bool FDeadZone = false;
    bool FHovered = false;
    double FDragMouseX = 0, FDragMouseY = 0;
    double FDragPosX = 0, FDragPosY = 0;
    Qt::CursorShape FActiveCursor = Qt::ArrowCursor;
};

}  // namespace qb::viewer
