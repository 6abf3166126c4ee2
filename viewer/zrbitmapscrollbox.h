// TzrCustomBitmapScrollBox: the image viewer control. It shows one TzrMemBitmap inside a
// scrolling panel, magnified by an integer factor (zoom n >= 1) or reduced by one (zoom
// n <= -2, painted from a reduced copy made once), turned by a quarter-turn angle and
// surrounded by an optional margin. It can show a provisional picture at once while the full
// image is loaded on a worker thread; markers float over the picture and stay on their
// source pixels whenever the geometry changes, and a rectangular or circular area can be
// drawn over it with a crawling inverted outline.
//
// Composition: the control (a frame without border) holds the scroll box (a scroll area
// filling it), whose viewport holds the paint box (the painted surface: the zoomed, turned
// picture plus area and margin) and the markers. TzrBitmapScrollBox is the same control with
// its properties published to Qt's property system.
//
// The control lives on the interface thread. Only the load function runs on the worker; it
// touches the load buffer and the worker's reduced copy and reads the zoom and rotation, and
// the results are handed over on the interface thread by taking storage, never by copying.
#pragma once

#include <QFrame>
#include <QImage>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

class QAbstractScrollArea;

namespace qb {
class TzrThreadRunner;
}

namespace qb::viewer {

class TzrCustomMarker;
class TzrMarkerCanvas;
class TzrZoomMarker;
class TzrScrollBox;
class TzrPaintBox;

// How the area is drawn.
enum TzrAreaType : int {
    TzrAreaNone = 0,
    TzrAreaRectangle = 1,
    TzrAreaCircle = 2,
};

// Mouse buttons and the shift state of the mouse handlers.
enum TMouseButton : int { mbLeft = 0, mbRight = 1, mbMiddle = 2 };
enum TShiftStateBit : unsigned {
    ssShift = 1u << 0,
    ssAlt = 1u << 1,
    ssCtrl = 1u << 2,
    ssLeft = 1u << 3,
    ssRight = 1u << 4,
    ssMiddle = 1u << 5,
};
using TShiftState = unsigned;
// The shift state of a Qt input event.
TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons);

// An interface colour: 0x00BBGGRR (red in the lowest byte).
using TInterfaceColor = std::uint32_t;
QColor InterfaceColorToQColor(TInterfaceColor color);

class TzrCustomBitmapScrollBox : public QFrame {
public:
    using TNotifyEvent = std::function<void(TzrCustomBitmapScrollBox* sender)>;
    using TMouseEvent =
        std::function<void(TzrCustomBitmapScrollBox* sender, TMouseButton button, TShiftState shift, int x, int y)>;
    using TMouseMoveEvent =
        std::function<void(TzrCustomBitmapScrollBox* sender, TShiftState shift, int x, int y)>;
    // Return with handled set to keep the scroll box from scrolling.
    using TMouseWheelEvent = std::function<void(TzrCustomBitmapScrollBox* sender, TShiftState shift, int wheelDelta,
                                                QPoint mousePos, bool& handled)>;
    using TMarkerEvent = std::function<void(TzrCustomBitmapScrollBox* sender, int markerIndex)>;
    // A click on the image off the markers and the area; the handler may return a marker
    // (for instance one it has just made), which is then selected and grabbed.
    using TImageMouseClickEvent =
        std::function<void(TzrCustomBitmapScrollBox* sender, TPoint sourcePos, TzrCustomMarker*& marker)>;

    explicit TzrCustomBitmapScrollBox(QWidget* parent = nullptr);
    ~TzrCustomBitmapScrollBox() override;

    // ===== Geometry ======================================================================

    // Painted-surface position of a source pixel (the middle of a magnified pixel).
    void SourceToScreen(TPoint source, double& x, double& y, bool ignoreRotation) const;
    // Source pixel under a painted-surface position.
    TPoint ScreenToSource(double x, double y, bool ignoreRotation) const;
    // The painted position in scroll-box client coordinates; true when it lies inside both
    // the client area and the paint box.
    bool SourceToMousePos(TPoint source, double& x, double& y, bool ignoreRotation) const;
    bool SourceToMousePos(TPoint source, int& x, int& y, bool ignoreRotation) const;
    // Moves the system mouse pointer onto a visible source pixel.
    bool SetMousePosImage(TPoint source);

    // Size of the displayed (turned) image, and the same in source orientation.
    void GetRotatedImageDimensions(int& width, int& height) const;
    void GetImageDimensions(int& width, int& height) const;
    int GetImageWidth() const;
    int GetImageHeight() const;

    // The visible part of the painted surface.
    TRect GetVisibleScreenRect() const;
    TPoint GetCenterPoint() const;
    void SetCenterPoint(TPoint source);
    // Centres on the point unless it lies at least `fraction` of the visible size away from
    // every edge of the visible part.
    void ScrollIntoView(TPoint source, double fraction);
    // Scroll positions per pixel of mouse movement across the client area, for fast panning.
    double GetScrollBarAmplification(bool vertical) const;

    int GetZoom() const { return FZoom.load(std::memory_order_relaxed); }
    void SetZoom(int zoom);
    int GetRotate() const { return FRotate.load(std::memory_order_relaxed); }
    void SetRotate(int angle);
    void ZoomToFit(bool allowMagnify);
    // The zoom at which an image of that size (as displayed) fits a client of that size;
    // 0 when either has no size.
    static int FitZoom(int imageWidth, int imageHeight, QSize client, bool allowMagnify);
    // The client size without scroll bars, which ZoomToFit fits the picture into.
    QSize FitClientSize() const;
    int GetExtraMargin() const { return FExtraMargin; }
    void SetExtraMargin(int pixels);
    // Sizes the painted surface from the image, zoom, rotation, area and margin.
    void SetSize();

    TInterfaceColor GetMarginColor() const { return FMarginColor; }
    void SetMarginColor(TInterfaceColor color);

    // ===== Area ==========================================================================

    int GetAreaLeft() const { return FAreaLeft; }
    int GetAreaTop() const { return FAreaTop; }
    int GetAreaRight() const { return FAreaRight; }
    int GetAreaBottom() const { return FAreaBottom; }
    TzrAreaType GetAreaType() const { return FAreaType; }
    void SetAreaLeft(int value);
    void SetAreaTop(int value);
    void SetAreaRight(int value);
    void SetAreaBottom(int value);
    void SetAreaType(TzrAreaType value);

    // ===== Images ========================================================================

    // Loads the file at once and shows it (the errors of loading are raised).
    void SetBitmap(const std::string& fileName);
    // Shows a copy of the bitmap (copy) or takes over its storage, leaving it empty. A null
    // bitmap empties the view.
    void SetBitmap(TzrMemBitmap* bitmap, bool copy, bool fastReduction);
    // Converts a framework bitmap; a null one empties the view.
    void SetBitmap(const QImage* bitmap);
    // Progressive display: the thumbnail stretched to width x height (or a grey picture of
    // that size) at once, the file itself loaded on the worker.
    void SetBitmap(const std::string& fileName, const TzrMemBitmap* thumbnail, int width, int height);
    // Shows the caller's bitmap without copying and without owning it.
    void UseBitmap(TzrMemBitmap* bitmap);
    // A provisional light grey picture of that source size.
    void SetEmpty(int width, int height);
    // The displayed image; none while a load is running.
    TzrMemBitmap* GetMemBitmap() const;
    // Stops a running load silently.
    void Abort();
    // Starts the pending load when the worker is free.
    void DoWhatNeedsToBeDoneWhenIdle();
    // Whether a file is still waiting for (or in) the background load.
    bool LoadPending() const { return !FPendingFileName.empty(); }

    // ===== Markers =======================================================================

    int AddMarker(TzrCustomMarker* marker);
    void DeleteMarker(int index, bool free);
    void DeleteAllMarkers(bool free);
    int GetMarkerCount() const { return static_cast<int>(FMarkers.size()); }
    TzrCustomMarker* GetMarker(int index) const;
    int FindMarker(const TzrCustomMarker* marker) const;
    void SetSelectedMarker(int index);
    int GetSelectedMarker() const { return FSelectedMarker; }
    int GetHoverMarker() const;
    void SetExtHoverMarker(int index);
    int GetExtHoverMarker() const { return FExtHoverMarker; }
    void RepositionMarkers();

    // ===== Other properties ==============================================================

    Qt::CursorShape Cursor = Qt::CrossCursor;
    Qt::CursorShape CursorOut = Qt::ArrowCursor;
    Qt::CursorShape CursorDrag = Qt::PointingHandCursor;
    Qt::CursorShape CursorFastDrag = Qt::SizeAllCursor;

    // The magnifier (owned by the view, above all markers) and its settings.
    TzrZoomMarker* ZoomMarker() const { return FZoomer; }
    int GetZoomerPixelWidth() const;
    void SetZoomerPixelWidth(int value);
    int GetZoomerPixelHeight() const;
    void SetZoomerPixelHeight(int value);
    int GetZoomerFactor() const;
    void SetZoomerFactor(int value);
    int GetZoomerAutoContrastAmount() const;
    void SetZoomerAutoContrastAmount(int value);
    bool GetZoomerVisible() const;
    void SetZoomerVisible(bool value);
    bool GetShowZoomerAtSelectedMarker() const { return ShowZoomerAtSelectedMarker; }
    void SetShowZoomerAtSelectedMarker(bool value);
    // Shows, places or hides the magnifier for the pointer or the selected marker.
    void UpdateZoomer();

    bool ShowZoomerAtSelectedMarker = false;
    // Qt paints through its own back buffer; the flag is kept for the form's sake.
    bool DoubleBuffered = false;
    bool DisableReposition = false;
    bool GetMouseIn() const { return FMouseIn; }

    TNotifyEvent OnScroll;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;
    TMouseWheelEvent OnMouseWheel;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseExit;
    TNotifyEvent OnMarkerHoverChange;
    TNotifyEvent OnMarkerSelectionChange;
    TMarkerEvent OnMarkerMove;
    TMarkerEvent OnAfterMarkerMove;
    TMarkerEvent OnMarkerRightClick;
    TImageMouseClickEvent OnImageMouseClick;
    TNotifyEvent OnAreaChange;
    TNotifyEvent OnAfterAreaChange;
    // The full image of a background load has replaced the provisional picture.
    TNotifyEvent OnImageLoaded;

    // ===== Parts, for the markers and the mouse handling ==================================

    QAbstractScrollArea* ScrollBox() const;
    QWidget* PaintBox() const;
    int HorzScrollPos() const;
    int VertScrollPos() const;
    QSize ClientSize() const;

    // The paint box's mouse handlers (markers call them too); x and y are the pointer's
    // position in paint-box coordinates, whichever control the input reached.
    void ScrollBoxMouseDown(TMouseButton button, TShiftState shift, int x, int y);
    void ScrollBoxMouseMove(TShiftState shift, int x, int y);
    void ScrollBoxMouseUp(TMouseButton button, TShiftState shift, int x, int y);
    bool GetPanning() const { return FPanning; }
    // The source position under the pointer (updated on every move).
    TPoint GetMouseImagePos() const { return FMouseImagePos; }
    // Moves the pointer onto a source pixel; keepRemainder keeps the fraction of a painted
    // pixel that the slowed-down pointer has gathered, otherwise it starts afresh.
    void SetMouseImagePos(TPoint source, bool keepRemainder);
    // Moves the pointer by whole source pixels (turned with the picture).
    void MoveMouseImagePos(int dx, int dy);
    // Replays a click of the left button at the pointer's position.
    void SimulateMouseClick();
    // The part of the area at a source position (0 none, 1 ... 4 the left, top, right,
    // bottom edge, 5 ... 8 the top-left, bottom-left, top-right, bottom-right corner, 9 and
    // 10 the rim of a circle, 11 the whole area) and the cursor for it.
    void GetDragAreaType(int x, int y, Qt::CursorShape& cursor, int& part) const;
    static void RotateCursor(Qt::CursorShape& cursor, int rotation);
    bool GetAreaDragging() const { return FAreaDragging; }
    // The marker that took the last button-down (none: null).
    TzrCustomMarker* GetCapturedMarker() const { return FCaptured; }

    // The periodic step (every 100 ms): outline animation, the selected marker's step, the
    // mouse-out check and the scroll notice.
    void FTimerTimer();

    // The colour painted at a surface position (of the visible part; the margin colour
    // elsewhere).
    QColor SurfacePixel(QPoint surface) const;
    // A marker asks for the cursor over it.
    void MarkerCursor(Qt::CursorShape cursor);

    // Paints the picture and the margin bands (the paint box's paint).
    void PaintBoxPaint(QPainter& canvas);
    // The area outline drawn straight onto the paint box in the inverting mode: erase
    // removes a drawn outline, animate crawls the dashes, neither draws afresh.
    void drawAreaLines(bool erase, bool animate);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class TzrPaintBox;
    friend class TzrScrollBox;

    // Image handling.
    void clearBitmap();
    // Every way of setting an image other than the progressive one ends a pending load,
    // so that a load still running cannot replace the image set after it.
    void DropPendingLoad();
    void ShowEmpty();
    // Makes the owned bitmap, or the caller's, the displayed image (it arrives in source
    // orientation).
    void ShowNewBitmap(std::unique_ptr<TzrMemBitmap> owned, TzrMemBitmap* used, bool fastReduction);
    void MakeGreyPicture(int width, int height);
    void UpdateZoom(bool fastReduction);
    void UpdateRotate(int angle);
    TzrMemBitmap* PaintedBitmap() const;
    void Repaint();
    void ForgetScrollPositions();
    // A rectangle of surface pixels before the turn (margin left out) turned with the
    // picture, margin added.
    TRect RotateSurfaceRect(const TRect& r) const;
    // The rectangle the picture covers on the painted surface.
    TRect PictureRect() const;
    // The outline's surface rectangle from the area.
    TRect AreaScreenRect() const;
    // One inverting pass over an outline's pixels, solid or dashed.
    void InvertOutline(const TRect& r, TzrAreaType type, bool dashed);
    // Sides 0 left, 1 top, 2 right, 3 bottom.
    bool AreaSideOutside(int side) const;
    void SetAreaSide(int side, int value);

    // Background loading.
    void LoadImageThreadFunction(qb::TzrThreadRunner* sender);
    void LoadImageThreadRunnerDone(qb::TzrThreadRunner* sender, const qb::Exception* e);

    // The magnifier: follows the displayed image, stays above the markers, and is placed
    // again after changes of zoom, selection and pointer.
    void ZoomerSetBitmap(TzrMemBitmap* bitmap);
    void ZoomerRaise();
    void ZoomerChanged();

    // Markers.
    friend class TzrCustomMarker;
    void MarkerDestroyed(TzrCustomMarker* marker);

    // Mouse.
    void ZoomChanged();
    // The slowed-down pointer and the scrolling at the edges during a drag; pos becomes
    // the position the pointer was put at.
    void SlowDownAndAutoScroll(TShiftState shift, QPoint& pos);
    // The step every move shares.
    void MouseMoveStep(TShiftState shift, QPoint& pos);
    void SetMouseCapture(TShiftState shift);
    TzrCustomMarker* MarkerAt(QPoint surface, int from) const;
    void ZoomBoxAfterPaint(TzrMarkerCanvas& canvas);
    void MouseOut();
    bool MouseOverPicture() const;
    bool HandleWheel(TShiftState shift, int delta, QPoint pos);
    void UpdateCursor();

    TzrScrollBox* FScrollBox = nullptr;
    TzrPaintBox* FPaintBox = nullptr;
    QTimer FTimer;
    std::vector<TzrCustomMarker*> FMarkers;
    std::unique_ptr<qb::TzrThreadRunner> FRunner;
    std::unique_ptr<TzrMemBitmap> FLoadBuffer;
    std::unique_ptr<TzrMemBitmap> FThreadZoomed;

    // The displayed image (already turned), owned by FOwnedBitmap or used from the caller.
    TzrMemBitmap* FBitmap = nullptr;
    std::unique_ptr<TzrMemBitmap> FOwnedBitmap;
    std::unique_ptr<TzrMemBitmap> FZoomedBitmap;

    std::string FPendingFileName;
    // Read by the worker: set before each run, not while one is in progress.
    std::string FLoadingFileName;
    int FLoadingWidth = 0;
    int FLoadingHeight = 0;
    int FExpectedWidth = 0;
    int FExpectedHeight = 0;
    // The zoom and rotation with which the worker made its result (written by the worker,
    // read on the interface thread after the run).
    int FThreadZoom = 1;
    int FThreadRotate = 0;
    int FSurfaceWidth = 0;
    int FSurfaceHeight = 0;
    int FLastHorzScrollPos = -1;
    int FLastVertScrollPos = -1;

    // Zoom and rotation are read by the worker while the interface may change them.
    std::atomic<int> FZoom{1};
    std::atomic<int> FRotate{0};
    int FExtraMargin = 0;
    TInterfaceColor FMarginColor = 0;

    int FAreaLeft = 0;
    int FAreaTop = 0;
    int FAreaRight = 0;
    int FAreaBottom = 0;
    TzrAreaType FAreaType = TzrAreaNone;
    // The outline as last drawn (valid while FAreaDrawn) and the dash phase, 1 or 2.
    bool FAreaDrawn = false;
    TRect FAreaDrawnRect;
    TzrAreaType FAreaDrawnType = TzrAreaNone;
    int FAreaPhase = 1;

    int FSelectedMarker = -1;
    int FExtHoverMarker = -1;
    TzrCustomMarker* FHovered = nullptr;
    TzrCustomMarker* FCaptured = nullptr;
    bool FMarkerMoved = false;
    TzrZoomMarker* FZoomer = nullptr;

    bool FMouseIn = false;
    QPoint FLastMousePos;
    TPoint FMouseImagePos;
    // The fractions of a painted pixel that the slowed-down pointer has gathered.
    double FRemainderX = 0;
    double FRemainderY = 0;
    bool FPanning = false;
    bool FFastPanning = false;
    QPoint FPanStart;
    bool FMouseCaptured = false;
    // Area drag, and the area part's cursor under the pointer.
    bool FAreaDragging = false;
    int FDragPart = 0;
    TPoint FDragStart;
    TRect FDragStartRect;
    bool FHasAreaCursor = false;
    Qt::CursorShape FAreaCursor = Qt::ArrowCursor;
    bool FAreaChanged = false;
    bool FInDestructor = false;
};

// The same control with its properties published to Qt's property system.
class TzrBitmapScrollBox : public TzrCustomBitmapScrollBox {
    Q_OBJECT
    Q_PROPERTY(int Zoom READ GetZoom WRITE SetZoom)
    Q_PROPERTY(int Rotate READ GetRotate WRITE SetRotate)
    Q_PROPERTY(int ImageWidth READ GetImageWidth)
    Q_PROPERTY(int ImageHeight READ GetImageHeight)
    Q_PROPERTY(int ExtraMargin READ GetExtraMargin WRITE SetExtraMargin)
    Q_PROPERTY(uint MarginColor READ GetMarginColor WRITE SetMarginColor)
    Q_PROPERTY(int AreaLeft READ GetAreaLeft WRITE SetAreaLeft)
    Q_PROPERTY(int AreaTop READ GetAreaTop WRITE SetAreaTop)
    Q_PROPERTY(int AreaRight READ GetAreaRight WRITE SetAreaRight)
    Q_PROPERTY(int AreaBottom READ GetAreaBottom WRITE SetAreaBottom)
    Q_PROPERTY(int AreaType READ GetAreaTypeValue WRITE SetAreaTypeValue)
    Q_PROPERTY(int ZoomerPixelWidth READ GetZoomerPixelWidth WRITE SetZoomerPixelWidth)
    Q_PROPERTY(int ZoomerPixelHeight READ GetZoomerPixelHeight WRITE SetZoomerPixelHeight)
    Q_PROPERTY(int ZoomerFactor READ GetZoomerFactor WRITE SetZoomerFactor)
    Q_PROPERTY(int ZoomerAutoContrastAmount READ GetZoomerAutoContrastAmount WRITE SetZoomerAutoContrastAmount)
    Q_PROPERTY(bool ZoomerVisible READ GetZoomerVisible WRITE SetZoomerVisible)
    Q_PROPERTY(bool ShowZoomerAtSelectedMarker READ GetShowZoomerAtSelectedMarker WRITE SetShowZoomerAtSelectedMarker)
    Q_PROPERTY(bool DoubleBuffered MEMBER DoubleBuffered)
    Q_PROPERTY(bool DisableReposition MEMBER DisableReposition)
    Q_PROPERTY(int SelectedMarker READ GetSelectedMarker WRITE SetSelectedMarker)
    Q_PROPERTY(int ExtHoverMarker READ GetExtHoverMarker WRITE SetExtHoverMarker)
    Q_PROPERTY(bool MouseIn READ GetMouseIn)

public:
    using TzrCustomBitmapScrollBox::TzrCustomBitmapScrollBox;
    int GetAreaTypeValue() const { return GetAreaType(); }
    void SetAreaTypeValue(int value) { SetAreaType(static_cast<TzrAreaType>(value)); }
};

}  // namespace qb::viewer
