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

namespace qb::viewer {

class TzrCustomBitmapScrollBox;

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
    virtual void DrawToOtherMarkersCanvas(TzrCustomMarker* other, QPainter& canvas, int x, int y);
    // The view's 100 ms step, for the selected marker.
    virtual void TimerTimer();

    // Set by the destructor, so that a handler that deleted its marker stops touching it.
    bool IsDeleted() const { return FDeleted; }

    TNotifyEvent OnBeforePaint;
    TNotifyEvent OnAfterPaint;

protected:
    // Draws the marker; the base calls OnBeforePaint and OnAfterPaint.
    virtual void Paint(QPainter& canvas);
    void paintEvent(QPaintEvent* event) override;
    void SetHotSpot(QPoint hotSpot) { FHotSpot = hotSpot; }

private:
    // A marker taken out of the view's list may outlive the view.
    QPointer<TzrCustomBitmapScrollBox> FView;
    std::int32_t FImagePosX = 0;
    std::int32_t FImagePosY = 0;
    QPoint FHotSpot{0, 0};
    bool FExtHover = false;
    bool FSelected = false;
    bool FDeleted = false;
};

}  // namespace qb::viewer
