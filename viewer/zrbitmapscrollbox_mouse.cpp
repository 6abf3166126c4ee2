// The bitmap view's mouse handling. All input over the picture and over the markers ends in
// the three handlers below, which decide whether it drags a marker, pans the picture,
// resizes or moves the area, or is a click on the image; they slow the pointer down for
// precise work at reduced zoom, scroll when the pointer leaves the view during a drag, keep
// the cursor right and place the magnifier.
#include <QCursor>
#include <QScrollBar>

#include <cmath>

#include "viewer/zrbitmapscrollbox.h"
#include "viewer/zrbitmapscrollbox_parts.h"
#include "viewer/zrcustommarker.h"
#include "viewer/zrzoommarker.h"

namespace qb::viewer {

namespace {

unsigned ButtonBit(TMouseButton button) {
    switch (button) {
        case mbRight:
            return ssRight;
        case mbMiddle:
            return ssMiddle;
        default:
            return ssLeft;
    }
}

constexpr unsigned AnyButton = ssLeft | ssRight | ssMiddle;

// The margin kept between the pointer and the edge when the view scrolls during a drag,
// and between the magnifier and its point.
constexpr int EdgeMargin = 16;

}  // namespace

// ---------------------------------------------------------------------------------------
// The step every move shares
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::SlowDownAndAutoScroll(TShiftState shift, QPoint& pos) {
    if (!(shift & (ssAlt | ssLeft)) || DisableReposition || FPanning) return;
    double f = 1;
    if (GetZoom() <= -2) f = -GetZoom();
    if (shift & ssCtrl) f *= 8;
    double nx = pos.x(), ny = pos.y();
    if (FMouseIn) {
        nx = FLastMousePos.x() + FRemainderX + (pos.x() - FLastMousePos.x()) / f;
        ny = FLastMousePos.y() + FRemainderY + (pos.y() - FLastMousePos.y()) / f;
    }
    const int rx = RoundToInt(nx);
    const int ry = RoundToInt(ny);
    FRemainderX = nx - rx;
    FRemainderY = ny - ry;
    QScrollBar* hbar = FScrollBox->horizontalScrollBar();
    QScrollBar* vbar = FScrollBox->verticalScrollBar();
    const int h = hbar->value(), v = vbar->value();
    const QSize client = ClientSize();
    if (rx >= h + client.width())
        hbar->setValue(h + (rx - h - client.width() + EdgeMargin));
    else if (rx < h)
        hbar->setValue(h - (h - rx + EdgeMargin));
    if (ry >= v + client.height())
        vbar->setValue(v + (ry - v - client.height() + EdgeMargin));
    else if (ry < v)
        vbar->setValue(v - (v - ry + EdgeMargin));
    const bool scrolled = hbar->value() != h || vbar->value() != v;
    if (rx != pos.x() || ry != pos.y() || scrolled) QCursor::setPos(FPaintBox->mapToGlobal(QPoint(rx, ry)));
    pos = QPoint(rx, ry);
}

void TzrCustomBitmapScrollBox::MouseMoveStep(TShiftState shift, QPoint& pos) {
    SlowDownAndAutoScroll(shift, pos);
    FLastMousePos = pos;
    if (!FMouseIn) {
        FMouseIn = true;
        if (OnMouseEnter) OnMouseEnter(this);
    }
    SetMouseCapture(shift);
    FMouseImagePos = ScreenToSource(pos.x() + FRemainderX, pos.y() + FRemainderY, false);
}

void TzrCustomBitmapScrollBox::SetMouseCapture(TShiftState shift) {
    // A held button captures the pointer by itself; Alt alone does so for the slowed-down
    // pointer.
    const bool capture = (shift & AnyButton) || ((shift & ssAlt) && !DisableReposition);
    if (capture == FMouseCaptured) return;
    FMouseCaptured = capture;
    if (shift & AnyButton) return;
    if (capture && FPaintBox->isVisible())
        FPaintBox->grabMouse();
    else
        FPaintBox->releaseMouse();
}

void TzrCustomBitmapScrollBox::ZoomChanged() {
    FRemainderX = 0;
    FRemainderY = 0;
}

TzrCustomMarker* TzrCustomBitmapScrollBox::MarkerAt(QPoint surface, int from) const {
    const QPoint client = surface - QPoint(HorzScrollPos(), VertScrollPos());
    for (int i = from; i >= 0; --i) {
        TzrCustomMarker* m = FMarkers[static_cast<std::size_t>(i)];
        if (m->isVisible() && m->geometry().contains(client)) return m;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// The three handlers
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::ScrollBoxMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    QPoint pos(x, y);
    MouseMoveStep(shift & ~ButtonBit(button), pos);
    const TPoint source = FMouseImagePos;
    SetMouseCapture(shift);
    bool handled = false;
    if (FCaptured && FCaptured->IsDragging()) {
        FCaptured->ProcessMouseDown(button, shift, false, handled, pos.x(), pos.y());
        handled = true;
    } else {
        for (int i = GetMarkerCount() - 1; i >= 0 && !handled; --i) {
            TzrCustomMarker* m = FMarkers[static_cast<std::size_t>(i)];
            if (MarkerAt(pos, i) != m) continue;
            m->ProcessMouseDown(button, shift, false, handled, pos.x(), pos.y());
            if (handled) {
                FCaptured = m;
                FMarkerMoved = false;
                if (FSelectedMarker != i) {
                    SetSelectedMarker(i);
                    if (OnMarkerSelectionChange) OnMarkerSelectionChange(this);
                }
            }
        }
    }
    if (!handled && button == mbRight) {
        FPanning = true;
        FFastPanning = (shift & ssAlt) != 0;
        if (FFastPanning) {
            const int h = HorzScrollPos(), v = VertScrollPos();
            FPanStart = QPoint(RoundToInt(h + (pos.x() - h) * GetScrollBarAmplification(false)),
                               RoundToInt(v + (pos.y() - v) * GetScrollBarAmplification(true)));
        } else {
            FPanStart = pos;
        }
    }
    if (!handled && button == mbLeft) {
        Qt::CursorShape cursor;
        int part;
        GetDragAreaType(source.x, source.y, cursor, part);
        if (part != 0) {
            FAreaDragging = true;
            FDragPart = part;
            FDragStart = source;
            FDragStartRect = TRect(FAreaLeft, FAreaTop, FAreaRight, FAreaBottom);
            FAreaCursor = cursor;
            FHasAreaCursor = true;
            FAreaChanged = false;
        } else if (OnImageMouseClick) {
            TzrCustomMarker* marker = nullptr;
            OnImageMouseClick(this, source, marker);
            const int index = marker ? FindMarker(marker) : -1;
            if (index >= 0) {
                if (FSelectedMarker != index) {
                    SetSelectedMarker(index);
                    if (OnMarkerSelectionChange) OnMarkerSelectionChange(this);
                }
                bool accepted = false;
                marker->ProcessMouseDown(button, shift, true, accepted, pos.x(), pos.y());
                if (accepted) {
                    FCaptured = marker;
                    FMarkerMoved = false;
                }
            }
        }
    }
    UpdateCursor();
    MouseMoveStep(shift, pos);
    if (OnMouseDown) OnMouseDown(this, button, shift, pos.x(), pos.y());
    UpdateZoomer();
}

void TzrCustomBitmapScrollBox::ScrollBoxMouseMove(TShiftState shift, int x, int y) {
    QPoint pos(x, y);
    MouseMoveStep(shift, pos);
    if (FPanning) {
        QScrollBar* hbar = FScrollBox->horizontalScrollBar();
        QScrollBar* vbar = FScrollBox->verticalScrollBar();
        const int h = hbar->value(), v = vbar->value();
        if (FFastPanning) {
            hbar->setValue(RoundToInt(FPanStart.x() - (pos.x() - h) * GetScrollBarAmplification(false)));
            vbar->setValue(RoundToInt(FPanStart.y() - (pos.y() - v) * GetScrollBarAmplification(true)));
        } else {
            hbar->setValue(h - (pos.x() - FPanStart.x()));
            vbar->setValue(v - (pos.y() - FPanStart.y()));
        }
    } else if (FAreaDragging) {
        const TPoint source = FMouseImagePos;
        const int dx = source.x - FDragStart.x;
        const int dy = source.y - FDragStart.y;
        const TRect s = FDragStartRect;
        int l = FAreaLeft, t = FAreaTop, r = FAreaRight, b = FAreaBottom;
        const int p = FDragPart;
        if (p == 1 || p == 5 || p == 6) l = s.left + dx;
        if (p == 3 || p == 7 || p == 8) r = s.right + dx;
        if (p == 2 || p == 5 || p == 7) t = s.top + dy;
        if (p == 4 || p == 6 || p == 8) b = s.bottom + dy;
        const double cx = (s.left + s.right) / 2.0;
        const double cy = (s.top + s.bottom) / 2.0;
        if (FAreaType == TzrAreaCircle) {
            // The circle's rectangle stays square about the start centre.
            if (p == 1 || p == 3) {
                const double half = (r - l) / 2.0;
                t = RoundToInt(cy - half);
                b = RoundToInt(cy + half);
            } else if (p == 2 || p == 4) {
                const double half = (b - t) / 2.0;
                l = RoundToInt(cx - half);
                r = RoundToInt(cx + half);
            } else if (p == 9 || p == 10) {
                const double radius = std::hypot(source.x - cx, source.y - cy);
                l = RoundToInt(cx - radius);
                r = RoundToInt(cx + radius);
                t = RoundToInt(cy - radius);
                b = RoundToInt(cy + radius);
            }
        }
        if (p == 11) {
            l = s.left + dx;
            r = s.right + dx;
            t = s.top + dy;
            b = s.bottom + dy;
        }
        if (l > r) std::swap(l, r);
        if (t > b) std::swap(t, b);
        SetAreaLeft(l);
        SetAreaTop(t);
        SetAreaRight(r);
        SetAreaBottom(b);
        SetMouseImagePos(source, true);
        FAreaChanged = true;
        if (OnAreaChange) OnAreaChange(this);
    } else {
        if (FCaptured && FCaptured->IsDragging()) {
            bool handled = false;
            FCaptured->ProcessMouseMove(shift, handled, pos.x(), pos.y());
            FMouseImagePos = TPoint(FCaptured->GetImagePosX(), FCaptured->GetImagePosY());
            FMarkerMoved = true;
            if (OnMarkerMove) OnMarkerMove(this, FindMarker(FCaptured));
        }
        TzrCustomMarker* hovered = nullptr;
        for (int i = GetMarkerCount() - 1; i >= 0 && !hovered; --i) {
            TzrCustomMarker* m = FMarkers[static_cast<std::size_t>(i)];
            if (MarkerAt(pos, i) != m) continue;
            bool handled = false;
            m->ProcessMouseMove(shift, handled, pos.x(), pos.y());
            if (handled) hovered = m;
        }
        if (hovered != FHovered) {
            if (FHovered) FHovered->ProcessMouseOut();
            FHovered = hovered;
            if (OnMarkerHoverChange) OnMarkerHoverChange(this);
        }
        if (!hovered) {
            int part;
            GetDragAreaType(FMouseImagePos.x, FMouseImagePos.y, FAreaCursor, part);
            FHasAreaCursor = part != 0;
        } else {
            FHasAreaCursor = false;
        }
    }
    if (OnMouseMove) OnMouseMove(this, shift, pos.x(), pos.y());
    UpdateCursor();
    UpdateZoomer();
}

void TzrCustomBitmapScrollBox::ScrollBoxMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    QPoint pos(x, y);
    shift &= ~ButtonBit(button);
    SetMouseCapture(shift);
    if (button == mbLeft && FAreaDragging) {
        FAreaDragging = false;
        FHasAreaCursor = false;
        if (FAreaChanged && OnAfterAreaChange) OnAfterAreaChange(this);
        FAreaChanged = false;
    }
    if (!FPanning && FCaptured) {
        TzrCustomMarker* m = FCaptured;
        bool handled = false;
        m->ProcessMouseUp(button, shift, handled, pos.x(), pos.y());
        const int index = FindMarker(m);
        if (!(shift & AnyButton)) {
            const bool moved = FMarkerMoved;
            FCaptured = nullptr;
            FMarkerMoved = false;
            if (moved && OnAfterMarkerMove) OnAfterMarkerMove(this, index);
            // A handler may have deleted the marker.
            if (FindMarker(m) >= 0) SetMouseImagePos(TPoint(m->GetImagePosX(), m->GetImagePosY()), false);
        }
        if (button == mbRight && OnMarkerRightClick && index >= 0) OnMarkerRightClick(this, index);
    }
    if (button == mbRight && FPanning) {
        // The pan ends here; nothing else follows the right button (no context menu).
        FPanning = false;
        FFastPanning = false;
        UpdateCursor();
        UpdateZoomer();
        return;
    }
    if (OnMouseUp) OnMouseUp(this, button, shift, pos.x(), pos.y());
    MouseMoveStep(shift, pos);
}

bool TzrCustomBitmapScrollBox::HandleWheel(TShiftState shift, int delta, QPoint pos) {
    bool handled = false;
    if (OnMouseWheel) OnMouseWheel(this, shift, delta, pos, handled);
    return handled;
}

void TzrCustomBitmapScrollBox::SetMouseImagePos(TPoint source, bool keepRemainder) {
    double sx, sy;
    SourceToScreen(source, sx, sy, false);
    if (!keepRemainder) {
        FRemainderX = 0;
        FRemainderY = 0;
    }
    const QPoint pos(RoundToInt(sx - FRemainderX), RoundToInt(sy - FRemainderY));
    FLastMousePos = pos;
    FMouseImagePos = source;
    if (FPaintBox->isVisible()) QCursor::setPos(FPaintBox->mapToGlobal(pos));
}

void TzrCustomBitmapScrollBox::MoveMouseImagePos(int dx, int dy) {
    SetMouseImagePos(TPoint(FMouseImagePos.x + dx, FMouseImagePos.y + dy), false);
}

void TzrCustomBitmapScrollBox::SimulateMouseClick() {
    const QPoint at = FLastMousePos;
    ScrollBoxMouseDown(mbLeft, ssLeft, at.x(), at.y());
    ScrollBoxMouseUp(mbLeft, 0, at.x(), at.y());
}

// ---------------------------------------------------------------------------------------
// Area parts and cursors
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::GetDragAreaType(int x, int y, Qt::CursorShape& cursor, int& part) const {
    cursor = Qt::ArrowCursor;
    part = 0;
    const int zoom = GetZoom();
    double c = 3;
    if (zoom >= 2) c = std::max(1, 3 / zoom);
    if (zoom <= -2) c = 3.0 * -zoom;
    if (FAreaType == TzrAreaRectangle) {
        auto zone = [c](int v, int low, int high) {
            if (v >= low - c && v <= low + c) return 1;
            if (v < low - c) return 0;
            if (v < high - c) return 2;
            if (v <= high + c) return 3;
            return 0;
        };
        const int hz = zone(x, FAreaLeft, FAreaRight);
        const int vz = zone(y, FAreaTop, FAreaBottom);
        if (hz == 0 || vz == 0) return;
        static const int parts[3][3] = {{5, 2, 7}, {1, 11, 3}, {6, 4, 8}};
        static const Qt::CursorShape cursors[3][3] = {
            {Qt::SizeFDiagCursor, Qt::SizeVerCursor, Qt::SizeBDiagCursor},
            {Qt::SizeHorCursor, Qt::SizeAllCursor, Qt::SizeHorCursor},
            {Qt::SizeBDiagCursor, Qt::SizeVerCursor, Qt::SizeFDiagCursor},
        };
        part = parts[vz - 1][hz - 1];
        cursor = cursors[vz - 1][hz - 1];
    } else if (FAreaType == TzrAreaCircle) {
        const double cx = (FAreaLeft + FAreaRight) / 2.0;
        const double cy = (FAreaTop + FAreaBottom) / 2.0;
        const double radius = std::abs(cx - FAreaLeft);
        const double d = std::hypot(x - cx, y - cy);
        if (d == 0 || d - radius < -c) {
            part = 11;
            cursor = Qt::SizeAllCursor;
        } else if (std::abs(d - radius) <= c) {
            const double a = std::atan2(cy - y, x - cx) * 180.0 / M_PI;
            if (std::abs(a) > 157.5)
                part = 1;
            else if (a < -112.5)
                part = 10;
            else if (a < -67.5)
                part = 4;
            else if (a < -22.5)
                part = 9;
            else if (a < 22.5)
                part = 3;
            else if (a < 67.5)
                part = 10;
            else if (a < 112.5)
                part = 2;
            else
                part = 9;
            cursor = part == 9    ? Qt::SizeFDiagCursor
                     : part == 10 ? Qt::SizeBDiagCursor
                     : part == 2 || part == 4 ? Qt::SizeVerCursor
                                              : Qt::SizeHorCursor;
        }
    }
    if (part != 0) RotateCursor(cursor, GetRotate());
}

void TzrCustomBitmapScrollBox::RotateCursor(Qt::CursorShape& cursor, int rotation) {
    if (rotation != 90 && rotation != 270) return;
    switch (cursor) {
        case Qt::SizeHorCursor:
            cursor = Qt::SizeVerCursor;
            break;
        case Qt::SizeVerCursor:
            cursor = Qt::SizeHorCursor;
            break;
        case Qt::SizeFDiagCursor:
            cursor = Qt::SizeBDiagCursor;
            break;
        case Qt::SizeBDiagCursor:
            cursor = Qt::SizeFDiagCursor;
            break;
        default:
            break;
    }
}

void TzrCustomBitmapScrollBox::UpdateCursor() {
    Qt::CursorShape shape = Cursor;
    if (FPanning)
        shape = FFastPanning ? CursorFastDrag : CursorDrag;
    else if (FHasAreaCursor)
        shape = FAreaCursor;
    else if (FCaptured && FCaptured->IsDragging())
        shape = FCaptured->ActiveCursor();
    FPaintBox->setCursor(shape);
    FScrollBox->viewport()->setCursor(CursorOut);
}

void TzrCustomBitmapScrollBox::MarkerCursor(Qt::CursorShape cursor) {
    if (FCaptured && FCaptured->IsDragging()) FPaintBox->setCursor(cursor);
}

bool TzrCustomBitmapScrollBox::MouseOverPicture() const {
    const QWidget* viewport = FScrollBox->viewport();
    const QPoint p = viewport->mapFromGlobal(QCursor::pos());
    return viewport->rect().contains(p) && FPaintBox->geometry().contains(p);
}

void TzrCustomBitmapScrollBox::MouseOut() {
    if (FHovered) {
        FHovered->ProcessMouseOut();
        FHovered = nullptr;
        if (OnMarkerHoverChange) OnMarkerHoverChange(this);
    }
    if (OnMouseExit) OnMouseExit(this);
    UpdateZoomer();
}

// ---------------------------------------------------------------------------------------
// The magnifier
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::ZoomerSetBitmap(TzrMemBitmap* bitmap) {
    if (FZoomer) FZoomer->SetBitmap(bitmap);
}

void TzrCustomBitmapScrollBox::ZoomerRaise() {
    if (FZoomer) FZoomer->raise();
}

void TzrCustomBitmapScrollBox::ZoomerChanged() { UpdateZoomer(); }

int TzrCustomBitmapScrollBox::GetZoomerPixelWidth() const { return FZoomer->GetSourceWidth(); }
void TzrCustomBitmapScrollBox::SetZoomerPixelWidth(int value) {
    FZoomer->SetWidth(value);
    UpdateZoomer();
}
int TzrCustomBitmapScrollBox::GetZoomerPixelHeight() const { return FZoomer->GetSourceHeight(); }
void TzrCustomBitmapScrollBox::SetZoomerPixelHeight(int value) {
    FZoomer->SetHeight(value);
    UpdateZoomer();
}
int TzrCustomBitmapScrollBox::GetZoomerFactor() const { return FZoomer->GetZoom(); }
void TzrCustomBitmapScrollBox::SetZoomerFactor(int value) {
    FZoomer->SetZoom(value);
    UpdateZoomer();
}
int TzrCustomBitmapScrollBox::GetZoomerAutoContrastAmount() const { return FZoomer->GetAutoContrastAmount(); }
void TzrCustomBitmapScrollBox::SetZoomerAutoContrastAmount(int value) { FZoomer->SetAutoContrastAmount(value); }
bool TzrCustomBitmapScrollBox::GetZoomerVisible() const { return FZoomer->GetVisible(); }
void TzrCustomBitmapScrollBox::SetZoomerVisible(bool value) {
    FZoomer->SetVisible(value);
    UpdateZoomer();
}
void TzrCustomBitmapScrollBox::SetShowZoomerAtSelectedMarker(bool value) {
    ShowZoomerAtSelectedMarker = value;
    UpdateZoomer();
}

void TzrCustomBitmapScrollBox::UpdateZoomer() {
    if (!FZoomer || FInDestructor) return;
    bool show = FBitmap && FZoomer->GetVisible() && GetZoom() < FZoomer->GetZoom();
    TPoint source;
    if (show) {
        if (FMouseIn && !FPanning)
            source = FMouseImagePos;
        else if (!FMouseIn && ShowZoomerAtSelectedMarker && FSelectedMarker >= 0 && FSelectedMarker < GetMarkerCount())
            source = TPoint(FMarkers[static_cast<std::size_t>(FSelectedMarker)]->GetImagePosX(),
                            FMarkers[static_cast<std::size_t>(FSelectedMarker)]->GetImagePosY());
        else
            show = false;
    }
    if (!show) {
        FZoomer->SetShown(false);
        return;
    }
    double sx, sy;
    SourceToScreen(source, sx, sy, false);
    const int px = RoundToInt(sx);
    const int py = RoundToInt(sy);
    // The point in the displayed (turned) image's coordinates.
    int w, h;
    GetImageDimensions(w, h);
    TPoint centre = source;
    switch (GetRotate()) {
        case 90:
            centre = TPoint(h - 1 - source.y, source.x);
            break;
        case 180:
            centre = TPoint(w - 1 - source.x, h - 1 - source.y);
            break;
        case 270:
            centre = TPoint(source.y, w - 1 - source.x);
            break;
    }
    FZoomer->SetCenterX(centre.x);
    FZoomer->SetCenterY(centre.y);
    // The side with more room for the window.
    const QSize client = ClientSize();
    const int hpos = HorzScrollPos(), vpos = VertScrollPos();
    const int before = std::min(px - EdgeMargin - hpos, FZoomer->width());
    const int after = std::min(client.width() + hpos - px - EdgeMargin, FZoomer->width());
    if (before > after) FZoomer->SetMarginX(-EdgeMargin);
    if (before < after) FZoomer->SetMarginX(EdgeMargin);
    const int above = std::min(py - EdgeMargin - vpos, FZoomer->height());
    const int below = std::min(client.height() + vpos - py - EdgeMargin, FZoomer->height());
    if (above > below) FZoomer->SetMarginY(-EdgeMargin);
    if (above < below) FZoomer->SetMarginY(EdgeMargin);
    FZoomer->SetShown(true);
    FZoomer->SetScrollBoxPosX(px);
    FZoomer->SetScrollBoxPosY(py);
    FZoomer->raise();
}

void TzrCustomBitmapScrollBox::ZoomBoxAfterPaint(TzrMarkerCanvas& canvas) {
    if (!FZoomer || !FZoomer->isVisible() || !FMouseIn) return;
    for (int i = GetMarkerCount() - 1; i >= 0; --i) {
        TzrCustomMarker* m = FMarkers[static_cast<std::size_t>(i)];
        if (m == FCaptured) continue;
        const QPoint at = FZoomer->ImagePosToCanvasPos(m->GetImagePosX(), m->GetImagePosY());
        m->DrawToOtherMarkersCanvas(FZoomer, canvas, at.x(), at.y());
    }
}

}  // namespace qb::viewer
