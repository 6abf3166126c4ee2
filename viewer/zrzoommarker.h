// TzrZoomMarker: the magnifier of the bitmap view, a small window that shows the pixels
// around one point of the displayed image enlarged, optionally auto-contrasted, with a cross
// on the centre pixel, red where the window lies outside the image, and the crosses of the
// other markers that fall into it. The view creates and owns it and keeps it above all
// other markers.
#pragma once

#include "viewer/zrcustommarker.h"

namespace qb::viewer {

class TzrZoomMarker : public TzrCustomMarker {
public:
    explicit TzrZoomMarker(QObject* owner);

    int GetZoom() const { return FZoom; }
    void SetZoom(int value);
    int GetSourceWidth() const { return FSourceWidth; }
    void SetWidth(int value);
    int GetSourceHeight() const { return FSourceHeight; }
    void SetHeight(int value);
    int GetAutoContrastAmount() const { return FAutoContrastAmount; }
    // Limited to 0 ... 100.
    void SetAutoContrastAmount(int value);
    bool GetVisible() const { return FVisible; }
    void SetVisible(bool value);
    // The image pixel at the centre, in the coordinates of the displayed (turned) image.
    int GetCenterX() const { return FCenterX; }
    int GetCenterY() const { return FCenterY; }
    void SetCenterX(int value);
    void SetCenterY(int value);
    // Distance of the window from the point; negative: left of (above) the point.
    int GetMarginX() const { return FMarginX; }
    int GetMarginY() const { return FMarginY; }
    void SetMarginX(int value);
    void SetMarginY(int value);
    // The view's displayed image, not owned.
    void SetBitmap(const TzrMemBitmap* bitmap);
    const TzrMemBitmap* GetBitmap() const { return FBitmap; }
    // Whether the view wants it shown now (it shows only with an image and Visible set).
    void SetShown(bool value);

    // Size, hot spot and picture from the properties.
    void UpdateImage();
    // The magnifier's canvas position of a source pixel.
    QPoint ImagePosToCanvasPos(int x, int y) const;
    int GetRealWidth() const { return FSourceWidth * FZoom + 2; }
    int GetRealHeight() const { return FSourceHeight * FZoom + 2; }
    // The magnifier's picture as it is drawn now.
    QImage Render();

    QColor Beneath(QPoint local) const override;

    // After the picture and before the centre cross: the view draws the other markers'
    // crosses onto the magnifier's canvas here.
    std::function<void(TzrZoomMarker* sender, TzrMarkerCanvas& canvas)> OnAfterPaintCanvas;

protected:
    void Paint(QPainter& painter, TzrMarkerCanvas& canvas) override;

private:
    bool Showing() const { return FBitmap && FVisible && FShown; }

    int FZoom = 3;
    int FSourceWidth = 17;
    int FSourceHeight = 17;
    int FAutoContrastAmount = 0;
    bool FVisible = true;
    bool FShown = false;
    int FCenterX = 0;
    int FCenterY = 0;
    int FMarginX = 10;
    int FMarginY = 10;
    const TzrMemBitmap* FBitmap = nullptr;
};

}  // namespace qb::viewer
