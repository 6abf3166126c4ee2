// The bitmap view's painting: the scroll box and the paint box, the picture and margin
// bands, the area and its inverted outline.
#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <climits>
#include <cmath>
#include <unordered_set>
#include <vector>

#include "viewer/zrbitmapscrollbox.h"
#include "viewer/zrbitmapscrollbox_parts.h"

namespace qb::viewer {

namespace {

// Pixels of one dash and of one gap of the dashed outline.
constexpr int DashLength = 4;

// The pixels of an outline in the order of its perimeter, each once (an inverting pass must
// touch every pixel exactly once to be undone by the next).
std::vector<QPoint> OutlinePixels(const TRect& r, TzrAreaType type) {
    std::vector<QPoint> pixels;
    if (r.Width() <= 0 || r.Height() <= 0 || type == TzrAreaNone) return pixels;
    if (type == TzrAreaRectangle) {
        const int l = r.left, t = r.top, rr = r.right - 1, b = r.bottom - 1;
        for (int x = l; x <= rr; ++x) pixels.emplace_back(x, t);
        for (int y = t + 1; y <= b; ++y) pixels.emplace_back(rr, y);
        if (b > t)
            for (int x = rr - 1; x >= l; --x) pixels.emplace_back(x, b);
        if (rr > l)
            for (int y = b - 1; y > t; --y) pixels.emplace_back(l, y);
        return pixels;
    }
    // The ellipse inscribed in the rectangle (a circle for a square one).
    const double cx = (r.left + r.right - 1) / 2.0;
    const double cy = (r.top + r.bottom - 1) / 2.0;
    const double rx = (r.Width() - 1) / 2.0;
    const double ry = (r.Height() - 1) / 2.0;
    const double longest = std::max(rx, ry);
    const long long steps = std::clamp<long long>(static_cast<long long>(std::ceil(longest * 2 * M_PI * 2)), 8, 1 << 24);
    std::unordered_set<long long> seen;
    for (long long k = 0; k < steps; ++k) {
        const double a = 2 * M_PI * static_cast<double>(k) / static_cast<double>(steps);
        const int x = RoundToInt(cx + rx * std::cos(a));
        const int y = RoundToInt(cy - ry * std::sin(a));
        const long long key = (static_cast<long long>(x) << 32) ^ static_cast<unsigned>(y);
        if (seen.insert(key).second) pixels.emplace_back(x, y);
    }
    return pixels;
}

}  // namespace

TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) {
    TShiftState s = 0;
    if (modifiers & Qt::ShiftModifier) s |= ssShift;
    if (modifiers & Qt::AltModifier) s |= ssAlt;
    if (modifiers & Qt::ControlModifier) s |= ssCtrl;
    if (buttons & Qt::LeftButton) s |= ssLeft;
    if (buttons & Qt::RightButton) s |= ssRight;
    if (buttons & Qt::MiddleButton) s |= ssMiddle;
    return s;
}

// ---------------------------------------------------------------------------------------
// The paint box
// ---------------------------------------------------------------------------------------

TzrPaintBox::TzrPaintBox(TzrCustomBitmapScrollBox& view, QWidget* parent) : QWidget(parent), View(view) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(view.Cursor);
}

void TzrPaintBox::Invalidate() {
    CanvasValid = false;
    update();
}

QRect TzrPaintBox::VisibleRect() const {
    const QWidget* viewport = parentWidget();
    if (!viewport) return rect();
    return QRect(-pos(), viewport->size()) & rect();
}

QImage* TzrPaintBox::CurrentCanvas(QRect& rect) {
    if (!CanvasValid || !CanvasRect.contains(VisibleRect())) return nullptr;
    rect = CanvasRect;
    return &Canvas;
}

bool TzrPaintBox::CanvasPixel(QPoint surface, QColor& colour) const {
    if (!CanvasValid || !CanvasRect.contains(surface)) return false;
    colour = QColor::fromRgb(Canvas.pixel(surface - CanvasRect.topLeft()));
    return true;
}

void TzrPaintBox::CanvasChanged(const QRect& rect) {
    if (!Painting) update(rect);
}

void TzrPaintBox::Render(const QRect& rect) {
    if (Canvas.size() != rect.size()) Canvas = QImage(rect.size(), QImage::Format_RGB32);
    CanvasRect = rect;
    {
        QPainter painter(&Canvas);
        painter.translate(-rect.topLeft());
        painter.setClipRect(rect);
        View.PaintBoxPaint(painter);
    }
    CanvasValid = true;
    // The picture under the outline is new: the outline is drawn afresh.
    View.FAreaDrawn = false;
    View.drawAreaLines(false, false);
}

void TzrPaintBox::paintEvent(QPaintEvent* event) {
    const QRect target = (VisibleRect() | event->rect()) & rect();
    if (target.isEmpty()) return;
    Painting = true;
    try {
        if (!CanvasValid || !CanvasRect.contains(target)) Render(target);
    } catch (...) {
        // A picture that cannot be drawn (out of memory for a strip) leaves the margin
        // colour; the paint itself must not fail.
        Canvas.fill(InterfaceColorToQColor(View.GetMarginColor()));
        CanvasValid = true;
    }
    Painting = false;
    QPainter painter(this);
    const QRect part = event->rect() & CanvasRect;
    painter.drawImage(part, Canvas, part.translated(-CanvasRect.topLeft()));
}

void TzrPaintBox::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    View.ScrollBoxMouseDown(ButtonOf(event->button()), ShiftStateOf(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TzrPaintBox::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    View.ScrollBoxMouseMove(ShiftStateOf(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TzrPaintBox::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    View.ScrollBoxMouseUp(ButtonOf(event->button()), ShiftStateOf(event->modifiers(), event->buttons()), p.x(), p.y());
}

void TzrPaintBox::contextMenuEvent(QContextMenuEvent* event) {
    // The right button pans the picture; no context menu follows it.
    if (event->reason() == QContextMenuEvent::Mouse) {
        event->accept();
        return;
    }
    QWidget::contextMenuEvent(event);
}

// ---------------------------------------------------------------------------------------
// The scroll box
// ---------------------------------------------------------------------------------------

TzrScrollBox::TzrScrollBox(TzrCustomBitmapScrollBox& view, QWidget* parent) : QAbstractScrollArea(parent), View(view) {
    setFrameShape(QFrame::NoFrame);
    horizontalScrollBar()->setTracking(true);
    verticalScrollBar()->setTracking(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(view.CursorOut);
}

void TzrScrollBox::SetContentSize(QSize size) {
    FContent = size;
    if (View.FPaintBox) View.FPaintBox->resize(size);
    UpdateBars();
}

QSize TzrScrollBox::FullViewportSize() const {
    const int f = 2 * frameWidth();
    return QSize(std::max(0, width() - f), std::max(0, height() - f));
}

void TzrScrollBox::UpdateBars() {
    const QSize avail = FullViewportSize();
    const int barWidth = verticalScrollBar()->sizeHint().width();
    const int barHeight = horizontalScrollBar()->sizeHint().height();
    bool needH = FContent.width() > avail.width();
    bool needV = FContent.height() > avail.height();
    if (needH && !needV) needV = FContent.height() > avail.height() - barHeight;
    if (needV && !needH) needH = FContent.width() > avail.width() - barWidth;
    FClientSize = QSize(std::max(0, avail.width() - (needV ? barWidth : 0)),
                        std::max(0, avail.height() - (needH ? barHeight : 0)));
    const Qt::ScrollBarPolicy h = needH ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
    const Qt::ScrollBarPolicy v = needV ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
    if (horizontalScrollBarPolicy() != h) setHorizontalScrollBarPolicy(h);
    if (verticalScrollBarPolicy() != v) setVerticalScrollBarPolicy(v);
    QScrollBar* hbar = horizontalScrollBar();
    QScrollBar* vbar = verticalScrollBar();
    hbar->setRange(0, std::max(0, FContent.width() - FClientSize.width()));
    vbar->setRange(0, std::max(0, FContent.height() - FClientSize.height()));
    hbar->setPageStep(std::max(1, FClientSize.width()));
    vbar->setPageStep(std::max(1, FClientSize.height()));
    hbar->setSingleStep(20);
    vbar->setSingleStep(20);
    if (View.FPaintBox) View.FPaintBox->move(-hbar->value(), -vbar->value());
}

void TzrScrollBox::scrollContentsBy(int dx, int dy) {
    // Everything on the viewport moves with the picture: the paint box and the markers.
    viewport()->scroll(dx, dy);
    if (View.FPaintBox) View.FPaintBox->move(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
}

void TzrScrollBox::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateBars();
}

bool TzrScrollBox::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        const QPoint pos = View.FPaintBox->mapFrom(viewport(), wheel->position().toPoint());
        if (View.HandleWheel(ShiftStateOf(wheel->modifiers(), wheel->buttons()), wheel->angleDelta().y(), pos)) {
            wheel->accept();
            return true;
        }
    }
    return QAbstractScrollArea::viewportEvent(event);
}

// ---------------------------------------------------------------------------------------
// Picture and margin
// ---------------------------------------------------------------------------------------

TzrMemBitmap* TzrCustomBitmapScrollBox::PaintedBitmap() const {
    if (!FBitmap) return nullptr;
    return GetZoom() <= -2 ? FZoomedBitmap.get() : FBitmap;
}

TRect TzrCustomBitmapScrollBox::RotateSurfaceRect(const TRect& r) const {
    const long long m = FExtraMargin;
    const long long w = static_cast<long long>(FSurfaceWidth) - 2 * m;
    const long long h = static_cast<long long>(FSurfaceHeight) - 2 * m;
    long long l = r.left, t = r.top, rr = r.right, b = r.bottom;
    switch (GetRotate()) {
        case 90:
            l = w - r.bottom;
            t = r.left;
            rr = w - r.top;
            b = r.right;
            break;
        case 180:
            l = w - r.right;
            t = h - r.bottom;
            rr = w - r.left;
            b = h - r.top;
            break;
        case 270:
            l = r.top;
            t = h - r.right;
            rr = r.bottom;
            b = h - r.left;
            break;
        default:
            break;
    }
    return TRect(ClampToInt(l + m), ClampToInt(t + m), ClampToInt(rr + m), ClampToInt(b + m));
}

TRect TzrCustomBitmapScrollBox::PictureRect() const {
    const TzrMemBitmap* painted = PaintedBitmap();
    if (!painted) return TRect();
    const int z = GetZoom();
    const long long scale = z >= 1 ? z : 1;
    long long wu = painted->GetWidth() * scale;
    long long hu = painted->GetHeight() * scale;
    if (GetRotate() == 90 || GetRotate() == 270) std::swap(wu, hu);
    // The picture's top-left pixel edge before the turn: the area may reach left of and
    // above the image, which shifts the picture right and down.
    const long long ox = FAreaLeft < 0 ? -static_cast<long long>(FAreaLeft) : 0;
    const long long oy = FAreaTop < 0 ? -static_cast<long long>(FAreaTop) : 0;
    long long x0, y0;
    if (z >= 1) {
        x0 = ox * z;
        y0 = oy * z;
    } else {
        x0 = RoundToInt(static_cast<double>(ox) / -z);
        y0 = RoundToInt(static_cast<double>(oy) / -z);
    }
    return RotateSurfaceRect(TRect(ClampToInt(x0), ClampToInt(y0), ClampToInt(x0 + wu), ClampToInt(y0 + hu)));
}

void TzrCustomBitmapScrollBox::PaintBoxPaint(QPainter& canvas) {
    const TRect full(0, 0, FSurfaceWidth, FSurfaceHeight);
    const TRect picture = PictureRect();
    const TzrMemBitmap* painted = PaintedBitmap();
    if (painted && !picture.IsEmpty()) {
        const int z = GetZoom();
        painted->DrawToCanvasExclude(canvas, 0, 0, picture.left, picture.top, painted->GetWidth(),
                                     painted->GetHeight(), z >= 1 ? z : 1, TRect());
    }
    std::array<TRect, 4> bands;
    TzrMemBitmap::SubstractRect(full, picture, bands);
    const QColor margin = InterfaceColorToQColor(FMarginColor);
    for (const TRect& band : bands)
        if (!band.IsEmpty()) canvas.fillRect(QRect(band.left, band.top, band.Width(), band.Height()), margin);
}

QColor TzrCustomBitmapScrollBox::SurfacePixel(QPoint surface) const {
    QColor colour;
    if (FPaintBox->CanvasPixel(surface, colour)) return colour;
    return InterfaceColorToQColor(FMarginColor);
}

// ---------------------------------------------------------------------------------------
// The area and its outline
// ---------------------------------------------------------------------------------------

TRect TzrCustomBitmapScrollBox::AreaScreenRect() const {
    double x1, y1, x2, y2;
    SourceToScreen(TPoint(FAreaLeft, FAreaTop), x1, y1, true);
    SourceToScreen(TPoint(FAreaRight, FAreaBottom), x2, y2, true);
    const int m = FExtraMargin;
    int l = RoundToInt(x1) - m, t = RoundToInt(y1) - m, r = RoundToInt(x2) - m, b = RoundToInt(y2) - m;
    if (r < l) std::swap(l, r);
    if (b < t) std::swap(t, b);
    return RotateSurfaceRect(TRect(l, t, r, b));
}

void TzrCustomBitmapScrollBox::InvertOutline(const TRect& r, TzrAreaType type, bool dashed) {
    QRect canvasRect;
    QImage* canvas = FPaintBox->CurrentCanvas(canvasRect);
    if (!canvas) return;
    const std::vector<QPoint> pixels = OutlinePixels(r, type);
    QRect touched;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (dashed && (i / DashLength) % 2 == 1) continue;
        const QPoint p = pixels[i];
        if (!canvasRect.contains(p)) continue;
        auto* row = reinterpret_cast<QRgb*>(canvas->scanLine(p.y() - canvasRect.top()));
        row[p.x() - canvasRect.left()] ^= 0x00FFFFFFu;
        touched |= QRect(p, QSize(1, 1));
    }
    if (!touched.isEmpty()) FPaintBox->CanvasChanged(touched);
}

void TzrCustomBitmapScrollBox::drawAreaLines(bool erase, bool animate) {
    QRect canvasRect;
    const bool canDraw = FPaintBox->CurrentCanvas(canvasRect) != nullptr;
    if (erase) {
        if (FAreaDrawn && canDraw) {
            if (FAreaPhase == 2) InvertOutline(FAreaDrawnRect, FAreaDrawnType, false);
            InvertOutline(FAreaDrawnRect, FAreaDrawnType, true);
        }
        FAreaDrawn = false;
        return;
    }
    if (!canDraw) {
        FAreaDrawn = false;
        return;
    }
    const TRect r = AreaScreenRect();
    if (animate) {
        // The solid pass turns the dashes into gaps and the gaps into dashes.
        if (!FAreaDrawn || FAreaDrawnType == TzrAreaNone) return;
        InvertOutline(r, FAreaType, false);
        FAreaPhase = FAreaPhase == 1 ? 2 : 1;
    } else {
        InvertOutline(r, FAreaType, true);
        if (FAreaPhase == 2) InvertOutline(r, FAreaType, false);
    }
    FAreaDrawn = true;
    FAreaDrawnRect = r;
    FAreaDrawnType = FAreaType;
}

bool TzrCustomBitmapScrollBox::AreaSideOutside(int side) const {
    int w, h;
    GetImageDimensions(w, h);
    switch (side) {
        case 0:
            return FAreaLeft < 0;
        case 1:
            return FAreaTop < 0;
        case 2:
            return FAreaRight > w;
        default:
            return FAreaBottom > h;
    }
}

void TzrCustomBitmapScrollBox::SetAreaSide(int side, int value) {
    int* target = side == 0 ? &FAreaLeft : side == 1 ? &FAreaTop : side == 2 ? &FAreaRight : &FAreaBottom;
    if (*target == value) return;
    drawAreaLines(true, false);
    const bool outsideBefore = AreaSideOutside(side);
    *target = value;
    if (outsideBefore || AreaSideOutside(side)) {
        SetSize();
        RepositionMarkers();
        Repaint();
    } else {
        drawAreaLines(false, false);
    }
}

void TzrCustomBitmapScrollBox::SetAreaLeft(int value) { SetAreaSide(0, value); }
void TzrCustomBitmapScrollBox::SetAreaTop(int value) { SetAreaSide(1, value); }
void TzrCustomBitmapScrollBox::SetAreaRight(int value) { SetAreaSide(2, value); }
void TzrCustomBitmapScrollBox::SetAreaBottom(int value) { SetAreaSide(3, value); }

void TzrCustomBitmapScrollBox::SetAreaType(TzrAreaType value) {
    if (value != TzrAreaRectangle && value != TzrAreaCircle) value = TzrAreaNone;
    drawAreaLines(true, false);
    FAreaType = value;
    Repaint();
    drawAreaLines(false, false);
}

}  // namespace qb::viewer
