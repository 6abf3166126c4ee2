// The base of the bitmap view's markers: source position, placement, selection state.
#include "viewer/zrcustommarker.h"

#include <QAbstractScrollArea>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "core/exceptions.h"
#include "viewer/zrbitmapscrollbox.h"

namespace qb::viewer {

namespace {

TzrCustomBitmapScrollBox* ViewOf(QObject* owner) {
    auto* view = dynamic_cast<TzrCustomBitmapScrollBox*>(owner);
    if (!view) throw Exception("Marker can only be placed on a zrBitmapScrollBox");
    return view;
}

}  // namespace

TzrCustomMarker::TzrCustomMarker(QObject* owner)
    : QWidget(ViewOf(owner)->ScrollBox()->viewport()), FView(ViewOf(owner)) {
    hide();
}

TzrCustomMarker::~TzrCustomMarker() {
    FDeleted = true;
    if (FView) FView->MarkerDestroyed(this);
}

void TzrCustomMarker::SetImagePosX(std::int32_t x) {
    if (x == FImagePosX) return;
    FImagePosX = x;
    PositionMarker();
}

void TzrCustomMarker::SetImagePosY(std::int32_t y) {
    if (y == FImagePosY) return;
    FImagePosY = y;
    PositionMarker();
}

double TzrCustomMarker::GetScrollBoxPosX() const {
    double x, y;
    FView->SourceToScreen(TPoint(FImagePosX, FImagePosY), x, y, false);
    return x;
}

double TzrCustomMarker::GetScrollBoxPosY() const {
    double x, y;
    FView->SourceToScreen(TPoint(FImagePosX, FImagePosY), x, y, false);
    return y;
}

void TzrCustomMarker::SetScrollBoxPosX(double x) {
    TPoint p = FView->ScreenToSource(x, GetScrollBoxPosY(), false);
    ForceInsideImage(p);
    FImagePosX = p.x;
    FImagePosY = p.y;
    PositionMarker();
}

void TzrCustomMarker::SetScrollBoxPosY(double y) {
    TPoint p = FView->ScreenToSource(GetScrollBoxPosX(), y, false);
    ForceInsideImage(p);
    FImagePosX = p.x;
    FImagePosY = p.y;
    PositionMarker();
}

void TzrCustomMarker::PositionMarker() {
    double sx, sy;
    FView->SourceToScreen(TPoint(FImagePosX, FImagePosY), sx, sy, false);
    const double left = std::floor(sx + 0.5) - FView->HorzScrollPos() - FHotSpot.x();
    const double top = std::floor(sy + 0.5) - FView->VertScrollPos() - FHotSpot.y();
    move(static_cast<int>(std::lround(left)), static_cast<int>(std::lround(top)));
}

void TzrCustomMarker::UpdateImagePos() {
    const TPoint p = FView->ScreenToSource(x() + FHotSpot.x() + FView->HorzScrollPos(),
                                           y() + FHotSpot.y() + FView->VertScrollPos(), false);
    FImagePosX = p.x;
    FImagePosY = p.y;
}

void TzrCustomMarker::ForceInsideImage(TPoint& point) const {
    int w, h;
    FView->GetImageDimensions(w, h);
    if (point.x >= w) point.x = w - 1;
    if (point.y >= h) point.y = h - 1;
    if (point.x < 0) point.x = 0;
    if (point.y < 0) point.y = 0;
}

void TzrCustomMarker::SetExtHover(bool value) {
    if (value == FExtHover) return;
    FExtHover = value;
    update();
}

void TzrCustomMarker::SetSelected(bool value) {
    if (value == FSelected) return;
    FSelected = value;
    update();
}

bool TzrCustomMarker::IsGrabPos(int, int) { return false; }

void TzrCustomMarker::DrawToOtherMarkersCanvas(TzrCustomMarker*, QPainter&, int, int) {}

void TzrCustomMarker::TimerTimer() {}

void TzrCustomMarker::Paint(QPainter&) {
    if (OnBeforePaint) OnBeforePaint(this);
    if (OnAfterPaint) OnAfterPaint(this);
}

void TzrCustomMarker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Paint(painter);
}

}  // namespace qb::viewer
