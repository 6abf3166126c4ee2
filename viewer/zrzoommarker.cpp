// The magnifier: its size and placement, and its picture.
#include "viewer/zrzoommarker.h"

#include <QPainter>

#include <algorithm>

#include "viewer/zrbitmapscrollbox.h"

namespace qb::viewer {

TzrZoomMarker::TzrZoomMarker(QObject* owner) : TzrCustomMarker(owner) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    UpdateImage();
}

void TzrZoomMarker::SetZoom(int value) {
    value = std::max(1, value);
    if (value == FZoom) return;
    FZoom = value;
    UpdateImage();
}

void TzrZoomMarker::SetWidth(int value) {
    value = std::max(1, value);
    if (value == FSourceWidth) return;
    FSourceWidth = value;
    UpdateImage();
}

void TzrZoomMarker::SetHeight(int value) {
    value = std::max(1, value);
    if (value == FSourceHeight) return;
    FSourceHeight = value;
    UpdateImage();
}

void TzrZoomMarker::SetAutoContrastAmount(int value) {
    value = std::clamp(value, 0, 100);
    if (value == FAutoContrastAmount) return;
    FAutoContrastAmount = value;
    update();
}

void TzrZoomMarker::SetVisible(bool value) {
    if (value == FVisible) return;
    FVisible = value;
    UpdateImage();
}

void TzrZoomMarker::SetCenterX(int value) {
    if (value == FCenterX) return;
    FCenterX = value;
    UpdateImage();
}

void TzrZoomMarker::SetCenterY(int value) {
    if (value == FCenterY) return;
    FCenterY = value;
    UpdateImage();
}

void TzrZoomMarker::SetMarginX(int value) {
    if (value == FMarginX) return;
    FMarginX = value;
    UpdateImage();
    PositionMarker();
}

void TzrZoomMarker::SetMarginY(int value) {
    if (value == FMarginY) return;
    FMarginY = value;
    UpdateImage();
    PositionMarker();
}

void TzrZoomMarker::SetBitmap(const TzrMemBitmap* bitmap) {
    if (bitmap == FBitmap) {
        update();
        return;
    }
    FBitmap = bitmap;
    UpdateImage();
}

void TzrZoomMarker::SetShown(bool value) {
    if (value == FShown) return;
    FShown = value;
    UpdateImage();
}

void TzrZoomMarker::UpdateImage() {
    resize(GetRealWidth(), GetRealHeight());
    // The window lies MarginX to the right of and MarginY below the point, or as far to
    // the left and above for negative margins.
    SetHotSpot(QPoint(FMarginX >= 0 ? -FMarginX : width() - FMarginX, FMarginY >= 0 ? -FMarginY : height() - FMarginY));
    setVisible(Showing());
    update();
}

QPoint TzrZoomMarker::ImagePosToCanvasPos(int x, int y) const {
    int w, h;
    View().GetImageDimensions(w, h);
    int column, row;
    switch (View().GetRotate()) {
        case 90:
            column = h - FCenterX - y - 1;
            row = x - FCenterY;
            break;
        case 180:
            column = w - FCenterX - x - 1;
            row = h - FCenterY - y - 1;
            break;
        case 270:
            column = y - FCenterX;
            row = w - FCenterY - x - 1;
            break;
        default:
            column = x - FCenterX;
            row = y - FCenterY;
    }
    return QPoint((FSourceWidth / 2) * FZoom + FZoom / 2 + column * FZoom + 1,
                  (FSourceHeight / 2) * FZoom + FZoom / 2 + row * FZoom + 1);
}

QColor TzrZoomMarker::Beneath(QPoint) const { return Qt::black; }

QImage TzrZoomMarker::Render() {
    QImage image(size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    TzrMarkerCanvas canvas(image, [this](QPoint p) { return Beneath(p); });
    QPainter painter(&image);
    Paint(painter, canvas);
    return image;
}

void TzrZoomMarker::Paint(QPainter& painter, TzrMarkerCanvas& canvas) {
    if (OnBeforePaint) OnBeforePaint(this);
    const int w = width();
    const int h = height();
    const int z = FZoom;
    painter.fillRect(0, 0, w, h, Qt::black);
    if (!FBitmap) return;
    const int left = FCenterX - FSourceWidth / 2;
    const int top = FCenterY - FSourceHeight / 2;
    try {
        TzrMemBitmap window;
        window.ExtractCropFrom(*FBitmap, TRect(left, top, left + FSourceWidth, top + FSourceHeight), 0, false);
        window.AutoContrast(FAutoContrastAmount / 100.0);
        window.DrawToCanvasNoClip(painter, 0, 0, 1, 1, FSourceWidth, FSourceHeight, z);
    } catch (const std::exception&) {
        // Without memory for the window the magnifier stays black; a paint must not fail.
    }
    // Red where the window lies outside the image.
    const QColor red(255, 0, 0);
    const int iw = FBitmap->GetWidth();
    const int ih = FBitmap->GetHeight();
    if (left < 0) painter.fillRect(QRect(0, 0, std::min(w, 1 + -left * z), h), red);
    if (top < 0) painter.fillRect(QRect(0, 0, w, std::min(h, 1 + -top * z)), red);
    if (left + FSourceWidth >= iw) {
        const int from = std::max(0, 1 + (iw - left) * z);
        if (from < w) painter.fillRect(QRect(from, 0, w - from, h), red);
    }
    if (top + FSourceHeight >= ih) {
        const int from = std::max(0, 1 + (ih - top) * z);
        if (from < h) painter.fillRect(QRect(0, from, w, h - from), red);
    }
    painter.end();
    if (OnAfterPaint) OnAfterPaint(this);
    if (OnAfterPaintCanvas) OnAfterPaintCanvas(this, canvas);
    // The centre cross runs from the frame to the centre pixel and on to the far frame,
    // leaving the centre pixel itself uncovered.
    const int before = z * ((FSourceWidth - 1) / 2);
    const int beforeRows = z * ((FSourceHeight - 1) / 2);
    const int cx = before + (z - 1) / 2 + 1;
    const int cy = beforeRows + (z - 1) / 2 + 1;
    DrawContrastLine(canvas, before, 1, cy, 1, 0);
    DrawContrastLine(canvas, w - 2 - (before + z), before + z + 1, cy, 1, 0);
    DrawContrastLine(canvas, beforeRows, cx, 1, 0, 1);
    DrawContrastLine(canvas, h - 2 - (beforeRows + z), cx, beforeRows + z + 1, 0, 1);
    // The frame, and two white lines from the corner that faces the magnified point along
    // the frame to the ends of the centre lines.
    QPainter frame(&canvas.Image);
    frame.setPen(QPen(Qt::black, 1));
    frame.setBrush(Qt::NoBrush);
    frame.drawRect(0, 0, w - 1, h - 1);
    const int cornerX = FMarginX >= 0 ? 0 : w - 1;
    const int cornerY = FMarginY >= 0 ? 0 : h - 1;
    frame.setPen(QPen(Qt::white, 1));
    frame.drawLine(cornerX, cornerY, cx, cornerY);
    frame.drawLine(cornerX, cornerY, cornerX, cy);
}

}  // namespace qb::viewer
