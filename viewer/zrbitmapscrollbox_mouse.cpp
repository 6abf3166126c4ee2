// The bitmap view's mouse handling: the common step of every move (the pointer over the
// picture, the source position under it), panning with the right button, the wheel, the
// cursors, and the mouse-out handling of the periodic step.
#include <QCursor>
#include <QScrollBar>

#include <cmath>

#include "viewer/zrbitmapscrollbox.h"
#include "viewer/zrbitmapscrollbox_parts.h"
#include "viewer/zrcustommarker.h"

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

int RoundToInt(double v) { return static_cast<int>(std::floor(v + 0.5)); }

}  // namespace

void TzrCustomBitmapScrollBox::MouseMoveStep(TShiftState, QPoint pos) {
    FLastMousePos = pos;
    if (!FMouseIn) {
        FMouseIn = true;
        if (OnMouseEnter) OnMouseEnter(this);
    }
    FMouseImagePos = ScreenToSource(pos.x(), pos.y(), false);
}

void TzrCustomBitmapScrollBox::ScrollBoxMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    const QPoint pos(x, y);
    MouseMoveStep(shift & ~ButtonBit(button), pos);
    if (button == mbRight) {
        FPanning = true;
        FFastPanning = (shift & ssAlt) != 0;
        if (FFastPanning) {
            const int h = HorzScrollPos();
            const int v = VertScrollPos();
            FPanStart = QPoint(RoundToInt(h + (pos.x() - h) * GetScrollBarAmplification(false)),
                               RoundToInt(v + (pos.y() - v) * GetScrollBarAmplification(true)));
        } else {
            FPanStart = pos;
        }
    }
    UpdateCursor();
    MouseMoveStep(shift, pos);
    if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
    ZoomerChanged();
}

void TzrCustomBitmapScrollBox::ScrollBoxMouseMove(TShiftState shift, int x, int y) {
    const QPoint pos(x, y);
    MouseMoveStep(shift, pos);
    if (FPanning) {
        QScrollBar* hbar = FScrollBox->horizontalScrollBar();
        QScrollBar* vbar = FScrollBox->verticalScrollBar();
        const int h = hbar->value();
        const int v = vbar->value();
        if (FFastPanning) {
            hbar->setValue(RoundToInt(FPanStart.x() - (pos.x() - h) * GetScrollBarAmplification(false)));
            vbar->setValue(RoundToInt(FPanStart.y() - (pos.y() - v) * GetScrollBarAmplification(true)));
        } else {
            hbar->setValue(h - (pos.x() - FPanStart.x()));
            vbar->setValue(v - (pos.y() - FPanStart.y()));
        }
    }
    if (OnMouseMove) OnMouseMove(this, shift, x, y);
    UpdateCursor();
    ZoomerChanged();
}

void TzrCustomBitmapScrollBox::ScrollBoxMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    shift &= ~ButtonBit(button);
    if (button == mbRight && FPanning) {
        // The pan ends here; nothing else follows the right button (no context menu).
        FPanning = false;
        FFastPanning = false;
        UpdateCursor();
        ZoomerChanged();
        return;
    }
    if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
    MouseMoveStep(shift, QPoint(x, y));
}

bool TzrCustomBitmapScrollBox::HandleWheel(TShiftState shift, int delta, QPoint pos) {
    bool handled = false;
    if (OnMouseWheel) OnMouseWheel(this, shift, delta, pos, handled);
    return handled;
}

void TzrCustomBitmapScrollBox::UpdateCursor() {
    Qt::CursorShape shape = Cursor;
    if (FPanning) shape = FFastPanning ? CursorFastDrag : CursorDrag;
    FPaintBox->setCursor(shape);
    FScrollBox->viewport()->setCursor(CursorOut);
}

bool TzrCustomBitmapScrollBox::MouseOverPicture() const {
    const QWidget* viewport = FScrollBox->viewport();
    const QPoint p = viewport->mapFromGlobal(QCursor::pos());
    return viewport->rect().contains(p) && FPaintBox->geometry().contains(p);
}

void TzrCustomBitmapScrollBox::MouseOut() {
    if (OnMouseExit) OnMouseExit(this);
    ZoomerChanged();
}

void TzrCustomBitmapScrollBox::MarkerCursor(Qt::CursorShape cursor) { FPaintBox->setCursor(cursor); }

void TzrCustomBitmapScrollBox::ZoomChanged() {}

void TzrCustomBitmapScrollBox::ZoomerSetBitmap(TzrMemBitmap*) {}
void TzrCustomBitmapScrollBox::ZoomerRaise() {}
void TzrCustomBitmapScrollBox::ZoomerChanged() {}

}  // namespace qb::viewer
