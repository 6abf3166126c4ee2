// The base of the bitmap view's markers: source position, placement, selection state.
#include "viewer/zrcustommarker.h"

#include <QAbstractScrollArea>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "core/exceptions.h"
#include "viewer/zrbitmapscrollbox.h"
#include "viewer/zrbitmapscrollbox_parts.h"

namespace qb::viewer {

namespace {

TzrCustomBitmapScrollBox* ViewOf(QObject* owner) {
    auto* view = dynamic_cast<TzrCustomBitmapScrollBox*>(owner);
    if (!view) throw Exception("Marker can only be placed on a zrBitmapScrollBox");
    return view;
}

}  // namespace

QColor TzrMarkerCanvas::Pixel(QPoint p) const {
    if (Image.rect().contains(p)) {
        const QRgb rgb = Image.pixel(p);
        if (qAlpha(rgb) == 255) return QColor::fromRgb(rgb);
    }
    return Beneath ? Beneath(p) : QColor(Qt::black);
}

void TzrMarkerCanvas::SetPixel(QPoint p, QColor colour) {
    if (Image.rect().contains(p)) Image.setPixelColor(p, colour);
}

TzrCustomMarker::TzrCustomMarker(QObject* owner)
    : QWidget(ViewOf(owner)->ScrollBox()->viewport()), FView(ViewOf(owner)) {
    setMouseTracking(true);
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

void TzrCustomMarker::DrawToOtherMarkersCanvas(TzrCustomMarker*, TzrMarkerCanvas&, int, int) {}

void TzrCustomMarker::TimerTimer() {}

void TzrCustomMarker::Paint(QPainter&, TzrMarkerCanvas&) {
    if (OnBeforePaint) OnBeforePaint(this);
    if (OnAfterPaint) OnAfterPaint(this);
}

QColor TzrCustomMarker::Beneath(QPoint local) const {
    return FView->SurfacePixel(QPoint(x() + local.x() + FView->HorzScrollPos(), y() + local.y() + FView->VertScrollPos()));
}

void TzrCustomMarker::paintEvent(QPaintEvent*) {
    // The marker draws into a picture of its own over what lies beneath, so that its lines
    // can take their colours from the pixels they cover; what it leaves undrawn stays clear.
    QImage image(size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    TzrMarkerCanvas canvas(image, [this](QPoint p) { return Beneath(p); });
    {
        QPainter painter(&image);
        Paint(painter, canvas);
    }
    QPainter(this).drawImage(0, 0, image);
}

QPoint TzrCustomMarker::LocalOf(int x, int y) const {
    return QPoint(RoundToInt(x - (GetScrollBoxPosX() - FHotSpot.x())), RoundToInt(y - (GetScrollBoxPosY() - FHotSpot.y())));
}

void TzrCustomMarker::AskCursor(Qt::CursorShape cursor) {
    FActiveCursor = cursor;
    setCursor(cursor);
    FView->MarkerCursor(cursor);
}

void TzrCustomMarker::ProcessMouseDown(TMouseButton button, TShiftState, bool preGrabbed, bool& handled, int x,
                                       int y) {
    handled = false;
    if (!preGrabbed) {
        const QPoint local = LocalOf(x, y);
        if (!IsGrabPos(local.x(), local.y())) return;
    }
    if (button == mbLeft) {
        FDragMouseX = x;
        FDragMouseY = y;
        FDragPosX = GetScrollBoxPosX();
        FDragPosY = GetScrollBoxPosY();
        FDragging = true;
        FDeadZone = DragThreshold > 0;
        AskCursor(DragCursor);
        update();
    }
    handled = true;
}

void TzrCustomMarker::ProcessMouseMove(TShiftState, bool& handled, int x, int y) {
    handled = false;
    if (FDragging) {
        double t = DragThreshold;
        const int zoom = FView->GetZoom();
        if (zoom <= -2) t /= -zoom;
        double dx = x - FDragMouseX;
        double dy = y - FDragMouseY;
        if (FDeadZone && (std::abs(dx) >= t || std::abs(dy) >= t)) {
            // The first t pixels of the movement are swallowed instead of making the marker
            // jump: each is moved t towards zero and the start follows.
            auto reduce = [t](double d) { return d > t ? d - t : d < -t ? d + t : 0.0; };
            dx = reduce(dx);
            dy = reduce(dy);
            FDragMouseX = x - dx;
            FDragMouseY = y - dy;
            FDeadZone = false;
        }
        if (!FDeadZone) {
            SetScrollBoxPosX(FDragPosX + dx);
            SetScrollBoxPosY(FDragPosY + dy);
            AskCursor(DragCursor);
        }
    } else {
        const QPoint local = LocalOf(x, y);
        if (!IsGrabPos(local.x(), local.y())) return;
        if (!FHovered) {
            FHovered = true;
            update();
        }
        AskCursor(Cursor);
    }
    handled = true;
}

void TzrCustomMarker::ProcessMouseUp(TMouseButton button, TShiftState, bool& handled, int x, int y) {
    if (button == mbLeft) {
        FDragging = false;
        FDeadZone = false;
        const QPoint local = LocalOf(x, y);
        if (IsGrabPos(local.x(), local.y())) AskCursor(Cursor);
        update();
    }
    handled = true;
}

void TzrCustomMarker::ProcessMouseOut() {
    if (!FHovered) return;
    FHovered = false;
    update();
}

TInterfaceColor TzrCustomMarker::GetContrastColor(TInterfaceColor colour) {
    const double r = colour & 0xFF;
    const double g = (colour >> 8) & 0xFF;
    const double b = (colour >> 16) & 0xFF;
    return std::lround(1.5 * g + r) + b <= 300 ? 0xFFFFFF : 0x000000;
}

TInterfaceColor TzrCustomMarker::GetContrastColor(QColor colour) {
    return GetContrastColor(static_cast<TInterfaceColor>(colour.red()) |
                            (static_cast<TInterfaceColor>(colour.green()) << 8) |
                            (static_cast<TInterfaceColor>(colour.blue()) << 16));
}

void TzrCustomMarker::DrawContrastLine(TzrMarkerCanvas& canvas, int steps, int x, int y, int dx, int dy) {
    for (int i = 0; i < steps; ++i) {
        const QPoint p(x + i * dx, y + i * dy);
        canvas.SetPixel(p, InterfaceColorToQColor(GetContrastColor(canvas.Pixel(p))));
    }
}

// Input that reaches the marker itself goes to the view's handlers, in painted coordinates,
// so that the view decides everything about clicks and drags.

void TzrCustomMarker::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint() + pos() + QPoint(FView->HorzScrollPos(), FView->VertScrollPos());
    FView->ScrollBoxMouseDown(ButtonOf(event->button()), ShiftStateOf(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TzrCustomMarker::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint() + pos() + QPoint(FView->HorzScrollPos(), FView->VertScrollPos());
    FView->ScrollBoxMouseMove(ShiftStateOf(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TzrCustomMarker::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint() + pos() + QPoint(FView->HorzScrollPos(), FView->VertScrollPos());
    FView->ScrollBoxMouseUp(ButtonOf(event->button()), ShiftStateOf(event->modifiers(), event->buttons()), p.x(), p.y());
}

}  // namespace qb::viewer
