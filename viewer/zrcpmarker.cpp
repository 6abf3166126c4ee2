// The control-point marker: cross-hair, number box, box placement and blinking.
#include "viewer/zrcpmarker.h"

#include <QFont>
#include <QPainter>

#include "viewer/zrbitmapscrollbox.h"

namespace qb::viewer {

namespace {

constexpr int MarkerWidth = 37;
constexpr int MarkerHeight = 29;
constexpr int BoxWidth = 16;
constexpr int BoxHeight = 12;
const QColor LightGrey(0xC0, 0xC0, 0xC0);

}  // namespace

TzrCPMarker::TzrCPMarker(QObject* owner) : TzrCustomMarker(owner) {
    resize(MarkerWidth, MarkerHeight);
    SetHotSpot(QPoint(18, 14));
    Cursor = Qt::ArrowCursor;
    DragCursor = Qt::BlankCursor;
    setCursor(Cursor);
}

void TzrCPMarker::SetNum(int value) {
    if (value == FNum) return;
    FNum = value;
    update();
}

void TzrCPMarker::SetColor(TInterfaceColor value) {
    if (value == FColor) return;
    FColor = value;
    update();
}

void TzrCPMarker::SetBoxLocation(int value) {
    if (value == FBoxLocation) return;
    FBoxLocation = value & 3;
    update();
}

void TzrCPMarker::SetType(TzrCPMarkerType value) {
    if (value == FType) return;
    FType = value;
    update();
}

void TzrCPMarker::SetSelected(bool value) {
    FBlink = 0;
    TzrCustomMarker::SetSelected(value);
}

QRect TzrCPMarker::BoxRectAt(int location) const {
    const int left = location == 0 || location == 1 ? 0 : width() - 17;
    const int top = location == 0 || location == 3 ? 0 : height() - 13;
    return QRect(left, top, BoxWidth, BoxHeight);
}

QRect TzrCPMarker::GetBoxRect() const { return BoxRectAt(FBoxLocation); }

bool TzrCPMarker::IsGrabPos(int x, int y) {
    const QPoint h = HotSpot();
    if (x >= h.x() - 3 && x <= h.x() + 3 && y >= h.y() - 3 && y <= h.y() + 3) return true;
    const QRect box = GetBoxRect();
    return x >= box.left() && y >= box.top() && x < box.left() + box.width() && y < box.top() + box.height();
}

void TzrCPMarker::PositionMarker() {
    TzrCustomMarker::PositionMarker();
    // The box stays on the painted surface: near an edge it goes to the other side.
    const QSize surface = View().PaintBox()->size();
    const QPoint at = pos() + QPoint(View().HorzScrollPos(), View().VertScrollPos());
    int location = FBoxLocation;
    QRect box = BoxRectAt(location).translated(at);
    const bool leftSide = location == 0 || location == 1;
    if ((leftSide && box.left() < 0) || (!leftSide && box.left() + box.width() >= surface.width())) location ^= 3;
    box = BoxRectAt(location).translated(at);
    const bool topSide = location == 0 || location == 3;
    if ((topSide && box.top() < 0) || (!topSide && box.top() + box.height() >= surface.height())) location ^= 1;
    if (location != FBoxLocation) {
        FBoxLocation = location;
        update();
    }
}

QColor TzrCPMarker::BoxColor() const {
    if (IsHovered() || GetExtHover()) return Qt::white;
    if (!GetSelected()) return InterfaceColorToQColor(FColor);
    return FBlink <= 2 ? QColor(Qt::white) : LightGrey;
}

void TzrCPMarker::Paint(QPainter& painter, TzrMarkerCanvas& canvas) {
    if (OnBeforePaint) OnBeforePaint(this);
    const QPoint h = HotSpot();
    if (FType == zrCPDiag) {
        DrawContrastLine(canvas, 9, h.x() - 4, h.y() - 4, 1, 1);
        DrawContrastLine(canvas, 9, h.x() - 4, h.y() + 4, 1, -1);
    } else {
        const int ah = FType == zrCPHorz ? 7 : 4;
        const int av = FType == zrCPVert ? 7 : 4;
        DrawContrastLine(canvas, 2 * ah + 1, h.x() - ah, h.y(), 1, 0);
        DrawContrastLine(canvas, 2 * av + 1, h.x(), h.y() - av, 0, 1);
    }
    if (FType != zrCPTemp) {
        const QRect box = GetBoxRect();
        const QColor fill = BoxColor();
        if (IsDragging()) {
            // A dotted outline in the inverting mode over what lies beneath.
            for (int x = box.left(); x < box.left() + box.width(); ++x)
                for (int y : {box.top(), box.top() + box.height() - 1})
                    if ((x + y) % 2 == 0) {
                        const QColor c = canvas.Pixel(QPoint(x, y));
                        canvas.SetPixel(QPoint(x, y), QColor(255 - c.red(), 255 - c.green(), 255 - c.blue()));
                    }
            for (int y = box.top() + 1; y < box.top() + box.height() - 1; ++y)
                for (int x : {box.left(), box.left() + box.width() - 1})
                    if ((x + y) % 2 == 0) {
                        const QColor c = canvas.Pixel(QPoint(x, y));
                        canvas.SetPixel(QPoint(x, y), QColor(255 - c.red(), 255 - c.green(), 255 - c.blue()));
                    }
        } else {
            painter.fillRect(box, fill);
            painter.setPen(QPen(Qt::black, 1));
            painter.drawRect(box.adjusted(0, 0, -1, -1));
            QFont font("Arial New");
            font.setPixelSize(12);
            font.setBold(GetSelected());
            painter.setFont(font);
            painter.setPen(InterfaceColorToQColor(GetContrastColor(fill)));
            painter.drawText(box.adjusted(1, 1, -1, -1), Qt::AlignCenter, QString::number(FNum));
        }
    }
    if (OnAfterPaint) OnAfterPaint(this);
}

void TzrCPMarker::TimerTimer() {
    ++FBlink;
    if (FBlink == 3) update();
    if (FBlink >= 6) {
        FBlink = 0;
        update();
    }
}

void TzrCPMarker::DrawToOtherMarkersCanvas(TzrCustomMarker* other, TzrMarkerCanvas& canvas, int x, int y) {
    if (!other) return;
    if (x < -4 || y < -4 || x >= other->width() + 4 || y >= other->height() + 4) return;
    const QPoint h = HotSpot();
    const QColor colour = InterfaceColorToQColor(GetContrastColor(Beneath(h)));
    for (int i = -4; i <= 4; ++i) {
        canvas.SetPixel(QPoint(x + i, y), colour);
        canvas.SetPixel(QPoint(x, y + i), colour);
    }
}

}  // namespace qb::viewer
