// TzrCPMarker: the control-point marker of the bitmap view, a cross-hair of a given type on
// its source pixel with a numbered box beside it. The box stays on the painted surface (it
// flips to the other side of the cross near an edge), and a selected marker's box blinks
// between white and light grey.
#pragma once

#include <QRect>

#include "viewer/zrcustommarker.h"

namespace qb::viewer {

enum TzrCPMarkerType : int {
    zrCPNormal = 0,
    zrCPHorz = 1,  // long horizontal line
    zrCPVert = 2,  // long vertical line
    zrCPDiag = 3,  // diagonal cross
    zrCPTemp = 4,  // cross only, no box
};

class TzrCPMarker : public TzrCustomMarker {
public:
    explicit TzrCPMarker(QObject* owner);

    int GetNum() const { return FNum; }
    void SetNum(int value);
    TInterfaceColor GetColor() const { return FColor; }
    void SetColor(TInterfaceColor value);
    // 0 top-left, 1 bottom-left, 2 bottom-right, 3 top-right of the cross.
    int GetBoxLocation() const { return FBoxLocation; }
    void SetBoxLocation(int value);
    TzrCPMarkerType GetType() const { return FType; }
    void SetType(TzrCPMarkerType value);
    void SetSelected(bool value) override;
    int GetBlinkCount() const { return FBlink; }

    // The number box in marker pixels.
    QRect GetBoxRect() const;
    bool IsGrabPos(int x, int y) override;
    void PositionMarker() override;
    void DrawToOtherMarkersCanvas(TzrCustomMarker* other, TzrMarkerCanvas& canvas, int x, int y) override;
    void TimerTimer() override;
    // The colour the box is filled with now.
    QColor BoxColor() const;

protected:
    void Paint(QPainter& painter, TzrMarkerCanvas& canvas) override;

private:
    QRect BoxRectAt(int location) const;

    int FNum = 0;
    TInterfaceColor FColor = 0xFFFFFF;
    int FBoxLocation = 0;
    TzrCPMarkerType FType = zrCPNormal;
    int FBlink = 0;
};

}  // namespace qb::viewer
