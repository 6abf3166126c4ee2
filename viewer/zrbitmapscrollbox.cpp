// The bitmap view: composition, coordinate mapping, zoom, rotation, centring and scrolling,
// the ways an image is set, background loading, the marker list and the periodic step.
#include "viewer/zrbitmapscrollbox.h"

#include <QCursor>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/exceptions.h"
#include "threading/zrthreadrunner.h"
#include "viewer/zrbitmapscrollbox_parts.h"
#include "viewer/zrcustommarker.h"
#include "viewer/zrzoommarker.h"

namespace qb::viewer {

namespace {

bool QuarterTurnSwaps(int angle) { return angle == 90 || angle == 270; }

// The size of the reduced copy of a width or height.
int ReducedSize(int size, int factor) { return size <= 0 ? 0 : (size - 1) / factor + 1; }

// The light grey of a provisional picture.
constexpr TColor ProvisionalGrey = 0xC0C0C0;

}  // namespace

QColor InterfaceColorToQColor(TInterfaceColor color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

// ---------------------------------------------------------------------------------------
// Construction and destruction
// ---------------------------------------------------------------------------------------

TzrCustomBitmapScrollBox::TzrCustomBitmapScrollBox(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::NoFrame);
    FScrollBox = new TzrScrollBox(*this, this);
    FScrollBox->setGeometry(rect());
    FScrollBox->hide();
    FPaintBox = new TzrPaintBox(*this, FScrollBox->viewport());
    FPaintBox->move(0, 0);
    FPaintBox->resize(0, 0);
    FScrollBox->SetContentSize(QSize(0, 0));
    FZoomer = new TzrZoomMarker(this);
    FZoomer->OnAfterPaintCanvas = [this](TzrZoomMarker*, TzrMarkerCanvas& canvas) { ZoomBoxAfterPaint(canvas); };

    FLoadBuffer = std::make_unique<TzrMemBitmap>();
    FRunner = std::make_unique<qb::TzrThreadRunner>();
    FRunner->ShowException = true;
    FRunner->SingleShot = false;
    FRunner->SetPriority(qb::tpLower);
    FRunner->ThreadFunction = [this](qb::TzrThreadRunner* sender) { LoadImageThreadFunction(sender); };
    FRunner->OnDone = [this](qb::TzrThreadRunner* sender, const qb::Exception* e) {
        LoadImageThreadRunnerDone(sender, e);
    };

    FTimer.setInterval(100);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] { FTimerTimer(); });
    FTimer.start();
}

TzrCustomBitmapScrollBox::~TzrCustomBitmapScrollBox() {
    FInDestructor = true;
    FTimer.stop();
    FTimer.disconnect();
    // The runner abandons a worker that is still loading; its destructor then waits for
    // that worker, which touches the load buffer and reads this view's zoom and rotation,
    // so it is destroyed before them. The load checks for the stop every few rows.
    FRunner->OnDone = nullptr;
    try {
        FRunner->HardAbort();
    } catch (...) {
    }
    FRunner.reset();
    // The markers and the paint box go with the scroll box, while this view is still whole.
    FMarkers.clear();
    delete FScrollBox;
    FScrollBox = nullptr;
    FPaintBox = nullptr;
    FZoomer = nullptr;
    clearBitmap();
    FLoadBuffer.reset();
    FThreadZoomed.reset();
}

// ---------------------------------------------------------------------------------------
// Parts
// ---------------------------------------------------------------------------------------

QAbstractScrollArea* TzrCustomBitmapScrollBox::ScrollBox() const { return FScrollBox; }
QWidget* TzrCustomBitmapScrollBox::PaintBox() const { return FPaintBox; }
int TzrCustomBitmapScrollBox::HorzScrollPos() const { return FScrollBox->horizontalScrollBar()->value(); }
int TzrCustomBitmapScrollBox::VertScrollPos() const { return FScrollBox->verticalScrollBar()->value(); }
QSize TzrCustomBitmapScrollBox::ClientSize() const { return FScrollBox->ClientSize(); }

void TzrCustomBitmapScrollBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    FScrollBox->setGeometry(rect());
    FScrollBox->UpdateBars();
}

// ---------------------------------------------------------------------------------------
// Geometry
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::SourceToScreen(TPoint source, double& x, double& y, bool ignoreRotation) const {
    x = 0;
    y = 0;
    if (!FBitmap) return;
    const int m = FExtraMargin;
    const double w = static_cast<double>(FSurfaceWidth) - 2.0 * m;
    const double h = static_cast<double>(FSurfaceHeight) - 2.0 * m;
    double sx = source.x;
    double sy = source.y;
    if (FAreaLeft < 0) sx -= FAreaLeft;
    if (FAreaTop < 0) sy -= FAreaTop;
    const int z = GetZoom();
    double X, Y;
    if (z >= 1) {
        X = std::floor((sx + 0.5) * z);
        Y = std::floor((sy + 0.5) * z);
    } else {
        X = sx / -z;
        Y = sy / -z;
    }
    switch (ignoreRotation ? 0 : GetRotate()) {
        case 90:
            x = w - Y - 1;
            y = X;
            break;
        case 180:
            x = w - X - 1;
            y = h - Y - 1;
            break;
        case 270:
            x = Y;
            y = h - X - 1;
            break;
        default:
            x = X;
            y = Y;
    }
    x += m;
    y += m;
}

TPoint TzrCustomBitmapScrollBox::ScreenToSource(double x, double y, bool ignoreRotation) const {
    if (!FBitmap) return TPoint();
    const int m = FExtraMargin;
    const double w = static_cast<double>(FSurfaceWidth) - 2.0 * m;
    const double h = static_cast<double>(FSurfaceHeight) - 2.0 * m;
    const double X = x - m;
    const double Y = y - m;
    double a, b;
    switch (ignoreRotation ? 0 : GetRotate()) {
        case 90:
            a = Y;
            b = w - X - 1;
            break;
        case 180:
            a = w - X - 1;
            b = h - Y - 1;
            break;
        case 270:
            a = h - Y - 1;
            b = X;
            break;
        default:
            a = X;
            b = Y;
    }
    const int z = GetZoom();
    if (z <= -2) {
        a *= -z;
        b *= -z;
    } else if (z >= 2) {
        a = std::floor(a / z);
        b = std::floor(b / z);
    }
    if (FAreaLeft < 0) a += FAreaLeft;
    if (FAreaTop < 0) b += FAreaTop;
    return TPoint(RoundToInt(a), RoundToInt(b));
}

bool TzrCustomBitmapScrollBox::SourceToMousePos(TPoint source, double& x, double& y, bool ignoreRotation) const {
    double sx, sy;
    SourceToScreen(source, sx, sy, ignoreRotation);
    x = sx - HorzScrollPos();
    y = sy - VertScrollPos();
    const QSize client = ClientSize();
    return x >= 0 && y >= 0 && x < client.width() && y < client.height() && sx >= 0 && sy >= 0 &&
           sx < static_cast<double>(FSurfaceWidth) && sy < static_cast<double>(FSurfaceHeight);
}

bool TzrCustomBitmapScrollBox::SourceToMousePos(TPoint source, int& x, int& y, bool ignoreRotation) const {
    double dx, dy;
    const bool inside = SourceToMousePos(source, dx, dy, ignoreRotation);
    x = RoundToInt(dx);
    y = RoundToInt(dy);
    return inside;
}

bool TzrCustomBitmapScrollBox::SetMousePosImage(TPoint source) {
    int x, y;
    if (!SourceToMousePos(source, x, y, false)) return false;
    QCursor::setPos(FScrollBox->viewport()->mapToGlobal(QPoint(x, y)));
    return true;
}

void TzrCustomBitmapScrollBox::GetRotatedImageDimensions(int& width, int& height) const {
    width = FBitmap ? FBitmap->GetWidth() : 0;
    height = FBitmap ? FBitmap->GetHeight() : 0;
}

void TzrCustomBitmapScrollBox::GetImageDimensions(int& width, int& height) const {
    GetRotatedImageDimensions(width, height);
    if (QuarterTurnSwaps(GetRotate())) std::swap(width, height);
}

int TzrCustomBitmapScrollBox::GetImageWidth() const {
    int w, h;
    GetImageDimensions(w, h);
    return w;
}

int TzrCustomBitmapScrollBox::GetImageHeight() const {
    int w, h;
    GetImageDimensions(w, h);
    return h;
}

TRect TzrCustomBitmapScrollBox::GetVisibleScreenRect() const {
    const QSize client = ClientSize();
    const int h = HorzScrollPos();
    const int v = VertScrollPos();
    return TRect(h, v, h + client.width(), v + client.height());
}

TPoint TzrCustomBitmapScrollBox::GetCenterPoint() const {
    if (!FBitmap) return TPoint();
    const QSize client = ClientSize();
    TPoint p = ScreenToSource(HorzScrollPos() + client.width() / 2, VertScrollPos() + client.height() / 2, false);
    // The point is a source pixel, so it is limited by the image in source orientation.
    int w, h;
    GetImageDimensions(w, h);
    p.x = std::clamp(p.x, 0, std::max(0, w - 1));
    p.y = std::clamp(p.y, 0, std::max(0, h - 1));
    return p;
}

void TzrCustomBitmapScrollBox::SetCenterPoint(TPoint source) {
    if (!FBitmap) return;
    double x, y;
    SourceToScreen(source, x, y, false);
    const QSize client = ClientSize();
    QScrollBar* hbar = FScrollBox->horizontalScrollBar();
    QScrollBar* vbar = FScrollBox->verticalScrollBar();
    const int h = std::clamp(RoundToInt(x - client.width() / 2), 0, hbar->maximum());
    const int v = std::clamp(RoundToInt(y - client.height() / 2), 0, vbar->maximum());
    hbar->setValue(h);
    vbar->setValue(v);
    FLastHorzScrollPos = h;
    FLastVertScrollPos = v;
}

void TzrCustomBitmapScrollBox::ScrollIntoView(TPoint source, double fraction) {
    double x, y;
    SourceToScreen(source, x, y, false);
    const TRect r = GetVisibleScreenRect();
    if (r.Width() <= 0 || r.Height() <= 0) {
        SetCenterPoint(source);
        return;
    }
    const double left = (x - r.left) / r.Width();
    const double right = (r.right - x) / r.Width();
    const double top = (y - r.top) / r.Height();
    const double bottom = (r.bottom - y) / r.Height();
    if (left >= fraction && right >= fraction && top >= fraction && bottom >= fraction) return;
    SetCenterPoint(source);
}

double TzrCustomBitmapScrollBox::GetScrollBarAmplification(bool vertical) const {
    const QSize client = ClientSize();
    double c = vertical ? client.height() : client.width();
    if (c < 11) c = 10;
    const double s = static_cast<double>(vertical ? FSurfaceHeight : FSurfaceWidth);
    double q = s == 0 ? 1.0 : c / s;
    q = std::min(q, 1.0);
    const double l = (1.0 - q) * c;
    const QScrollBar* bar = vertical ? FScrollBox->verticalScrollBar() : FScrollBox->horizontalScrollBar();
    return l > 0 ? (bar->maximum() - bar->minimum()) / l : 1.0;
}

void TzrCustomBitmapScrollBox::SetZoom(int zoom) {
    if (zoom == 0 || zoom == -1) zoom = 1;
    if (zoom == GetZoom()) return;
    const TPoint centre = GetCenterPoint();
    FZoom.store(zoom, std::memory_order_relaxed);
    ZoomChanged();
    UpdateZoom(false);
    SetSize();
    SetCenterPoint(centre);
    RepositionMarkers();
    Repaint();
    ZoomerChanged();
    ForgetScrollPositions();
}

void TzrCustomBitmapScrollBox::SetRotate(int angle) {
    angle %= 360;
    if (angle < 0) angle += 360;
    if (angle != 0 && angle != 90 && angle != 180 && angle != 270) angle = 0;
    if (angle == GetRotate()) return;
    const TPoint centre = GetCenterPoint();
    UpdateRotate(angle);
    SetSize();
    SetCenterPoint(centre);
    RepositionMarkers();
    Repaint();
    ForgetScrollPositions();
}

int TzrCustomBitmapScrollBox::FitZoom(int imageWidth, int imageHeight, QSize client, bool allowMagnify) {
    const long long iw = imageWidth;
    const long long ih = imageHeight;
    const long long cw = client.width();
    const long long ch = client.height();
    if (iw <= 0 || ih <= 0 || cw <= 0 || ch <= 0) return 0;
    // a = min(ch / ih, cw / iw); floor(a) and ceil(1 / a) in whole numbers.
    if (ch >= ih && cw >= iw) return allowMagnify ? static_cast<int>(std::min(ch / ih, cw / iw)) : 1;
    const long long f = std::max((ih + ch - 1) / ch, (iw + cw - 1) / cw);
    return -static_cast<int>(std::min<long long>(f, INT_MAX));
}

QSize TzrCustomBitmapScrollBox::FitClientSize() const {
    // The fitted picture needs no scroll bars, so the client is taken without them.
    return FScrollBox->FullViewportSize();
}

void TzrCustomBitmapScrollBox::ZoomToFit(bool allowMagnify) {
    if (!FBitmap) return;
    const int zoom = FitZoom(FBitmap->GetWidth(), FBitmap->GetHeight(), FitClientSize(), allowMagnify);
    if (zoom != 0 && zoom != GetZoom()) SetZoom(zoom);
}

void TzrCustomBitmapScrollBox::SetExtraMargin(int pixels) {
    pixels = std::max(0, pixels);
    if (pixels == FExtraMargin) return;
    FExtraMargin = pixels;
    SetSize();
    RepositionMarkers();
    Repaint();
}

void TzrCustomBitmapScrollBox::SetMarginColor(TInterfaceColor color) {
    if (color == FMarginColor) return;
    FMarginColor = color;
    Repaint();
}

void TzrCustomBitmapScrollBox::SetSize() {
    long long w = 0;
    long long h = 0;
    if (FBitmap) {
        const int z = GetZoom();
        const bool swaps = QuarterTurnSwaps(GetRotate());
        if (z <= -2) {
            const int f = -z;
            if (FZoomedBitmap) {
                w = FZoomedBitmap->GetWidth();
                h = FZoomedBitmap->GetHeight();
            } else {
                w = ReducedSize(FBitmap->GetWidth(), f);
                h = ReducedSize(FBitmap->GetHeight(), f);
            }
            if (swaps) std::swap(w, h);
            w = std::max<long long>(w, FAreaRight / f);
            h = std::max<long long>(h, FAreaBottom / f);
            if (FAreaLeft < 0) w += -static_cast<long long>(FAreaLeft) / f;
            if (FAreaTop < 0) h += -static_cast<long long>(FAreaTop) / f;
        } else {
            w = FBitmap->GetWidth();
            h = FBitmap->GetHeight();
            if (swaps) std::swap(w, h);
            w = std::max<long long>(w, FAreaRight);
            h = std::max<long long>(h, FAreaBottom);
            if (FAreaLeft < 0) w += -static_cast<long long>(FAreaLeft);
            if (FAreaTop < 0) h += -static_cast<long long>(FAreaTop);
            w *= z;
            h *= z;
        }
        if (swaps) std::swap(w, h);
        w += 2LL * FExtraMargin;
        h += 2LL * FExtraMargin;
    }
    // A surface beyond what a widget can be is cut to that size.
    FSurfaceWidth = static_cast<int>(std::min<long long>(w, QWIDGETSIZE_MAX));
    FSurfaceHeight = static_cast<int>(std::min<long long>(h, QWIDGETSIZE_MAX));
    FScrollBox->SetContentSize(QSize(FSurfaceWidth, FSurfaceHeight));
}

void TzrCustomBitmapScrollBox::UpdateZoom(bool fastReduction) {
    FZoomedBitmap.reset();
    const int z = GetZoom();
    if (FBitmap && z <= -2) FZoomedBitmap = FBitmap->CreateZoomedOutCopy(-z, !fastReduction);
}

void TzrCustomBitmapScrollBox::UpdateRotate(int angle) {
    const int diff = angle - GetRotate();
    if (FBitmap && diff != 0) {
        if (FOwnedBitmap) {
            FBitmap->Rotate(diff);
        } else {
            FOwnedBitmap = FBitmap->CreateRotatedCopy(diff);
            FBitmap = FOwnedBitmap.get();
        }
        ZoomerSetBitmap(FBitmap);
        if (FZoomedBitmap) FZoomedBitmap->Rotate(diff);
    }
    FRotate.store(angle, std::memory_order_relaxed);
}

void TzrCustomBitmapScrollBox::ForgetScrollPositions() {
    FLastHorzScrollPos = -1;
    FLastVertScrollPos = -1;
}

void TzrCustomBitmapScrollBox::Repaint() { FPaintBox->Invalidate(); }

// ---------------------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::clearBitmap() {
    ZoomerSetBitmap(nullptr);
    FBitmap = nullptr;
    FOwnedBitmap.reset();
    FZoomedBitmap.reset();
}

void TzrCustomBitmapScrollBox::DropPendingLoad() {
    FPendingFileName.clear();
    if (FRunner && FRunner->GetExecuting()) FRunner->Abort(false, false, false);
}

void TzrCustomBitmapScrollBox::ShowEmpty() {
    SetSize();
    FScrollBox->hide();
    Repaint();
}

void TzrCustomBitmapScrollBox::ShowNewBitmap(std::unique_ptr<TzrMemBitmap> owned, TzrMemBitmap* used,
                                             bool fastReduction) {
    FOwnedBitmap = std::move(owned);
    FBitmap = FOwnedBitmap ? FOwnedBitmap.get() : used;
    FScrollBox->show();
    // The image arrives in source orientation and is turned to the rotation set.
    const int angle = GetRotate();
    FRotate.store(0, std::memory_order_relaxed);
    UpdateRotate(angle);
    UpdateZoom(fastReduction);
    SetSize();
    ZoomerSetBitmap(FBitmap);
    Repaint();
}

void TzrCustomBitmapScrollBox::SetBitmap(const std::string& fileName) {
    TzrMemBitmap loaded;
    loaded.LoadFromFile(fileName, 0);
    SetBitmap(&loaded, false, false);
}

void TzrCustomBitmapScrollBox::SetBitmap(TzrMemBitmap* bitmap, bool copy, bool fastReduction) {
    DropPendingLoad();
    clearBitmap();
    if (!bitmap) {
        ShowEmpty();
        return;
    }
    auto owned = std::make_unique<TzrMemBitmap>();
    if (copy)
        owned->Assign(bitmap);
    else
        owned->Set(bitmap);
    ShowNewBitmap(std::move(owned), nullptr, fastReduction);
}

void TzrCustomBitmapScrollBox::SetBitmap(const QImage* bitmap) {
    if (!bitmap || bitmap->isNull()) {
        SetBitmap(static_cast<TzrMemBitmap*>(nullptr), false, false);
        return;
    }
    TzrMemBitmap converted(bitmap);
    SetBitmap(&converted, false, false);
}

void TzrCustomBitmapScrollBox::UseBitmap(TzrMemBitmap* bitmap) {
    DropPendingLoad();
    clearBitmap();
    if (!bitmap) {
        ShowEmpty();
        return;
    }
    ShowNewBitmap(nullptr, bitmap, true);
    RepositionMarkers();
}

void TzrCustomBitmapScrollBox::SetEmpty(int width, int height) {
    DropPendingLoad();
    MakeGreyPicture(width, height);
}

void TzrCustomBitmapScrollBox::MakeGreyPicture(int width, int height) {
    clearBitmap();
    auto grey = std::make_unique<TzrMemBitmap>();
    const bool swaps = QuarterTurnSwaps(GetRotate());
    grey->SetWidthHeightPixelFormat(swaps ? height : width, swaps ? width : height, pf24bit, false);
    grey->FillColor(ProvisionalGrey);
    const int z = GetZoom();
    if (z <= -2) {
        FZoomedBitmap = std::make_unique<TzrMemBitmap>();
        FZoomedBitmap->SetWidthHeightPixelFormat(ReducedSize(grey->GetWidth(), -z), ReducedSize(grey->GetHeight(), -z),
                                                 pf24bit, false);
    }
    FOwnedBitmap = std::move(grey);
    FBitmap = FOwnedBitmap.get();
    FScrollBox->show();
    SetSize();
    ZoomerSetBitmap(FBitmap);
    Repaint();
}

void TzrCustomBitmapScrollBox::SetBitmap(const std::string& fileName, const TzrMemBitmap* thumbnail, int width,
                                         int height) {
    FPendingFileName.clear();
    if (thumbnail) {
        std::unique_ptr<TzrMemBitmap> stretched = thumbnail->CreateStretchedCopy(width, height, false);
        SetBitmap(stretched.get(), false, true);
    } else {
        SetEmpty(width, height);
    }
    FPendingFileName = fileName;
    if (FRunner->GetExecuting()) FRunner->Abort(false, false, false);
    FExpectedWidth = width;
    FExpectedHeight = height;
    DoWhatNeedsToBeDoneWhenIdle();
    ForgetScrollPositions();
}

TzrMemBitmap* TzrCustomBitmapScrollBox::GetMemBitmap() const {
    if (FRunner->GetExecuting()) return nullptr;
    return FBitmap;
}

void TzrCustomBitmapScrollBox::Abort() { FRunner->Abort(false, false, true); }

void TzrCustomBitmapScrollBox::DoWhatNeedsToBeDoneWhenIdle() {
    if (!FRunner->GetDone() || FPendingFileName.empty()) return;
    FLoadingFileName = FPendingFileName;
    FLoadingWidth = FExpectedWidth;
    FLoadingHeight = FExpectedHeight;
    FRunner->Execute();
}

// On the worker thread.
void TzrCustomBitmapScrollBox::LoadImageThreadFunction(qb::TzrThreadRunner* sender) {
    // The loader reports progress every few rows: a stop asked for meanwhile ends the load
    // there instead of after the whole file.
    FLoadBuffer->OnProgress = [sender](TzrMemBitmap*, TProgressStage, std::uint8_t, bool, const TRect&,
                                       const std::string&) { sender->CheckAbort(); };
    try {
        FLoadBuffer->LoadFromFile(FLoadingFileName, 0);
    } catch (const qb::EAbort&) {
        FLoadBuffer->OnProgress = nullptr;
        throw;
    } catch (...) {
        FLoadBuffer->OnProgress = nullptr;
        FLoadBuffer->MakeX(FLoadingWidth, FLoadingHeight);
    }
    FLoadBuffer->OnProgress = nullptr;
    const int rotate = GetRotate();
    FThreadRotate = rotate;
    sender->CheckAbort();
    FLoadBuffer->Rotate(rotate);
    sender->CheckAbort();
    const int zoom = GetZoom();
    FThreadZoom = zoom;
    if (zoom <= -2) FThreadZoomed = FLoadBuffer->CreateZoomedOutCopy(-zoom, false);
    sender->CheckAbort();
}

void TzrCustomBitmapScrollBox::LoadImageThreadRunnerDone(qb::TzrThreadRunner*, const qb::Exception* e) {
    if (!e && FThreadZoom == GetZoom() && FThreadRotate == GetRotate() && FLoadingFileName == FPendingFileName &&
        FBitmap) {
        FPendingFileName.clear();
        if (!FOwnedBitmap) {
            FOwnedBitmap = std::make_unique<TzrMemBitmap>();
            FBitmap = FOwnedBitmap.get();
        }
        FBitmap->Set(FLoadBuffer.get());
        if (GetZoom() <= -2)
            FZoomedBitmap = std::move(FThreadZoomed);
        else
            FZoomedBitmap.reset();
        SetSize();
        ZoomerSetBitmap(FBitmap);
        Repaint();
        FScrollBox->show();
        if (OnImageLoaded) OnImageLoaded(this);
    }
    FThreadZoomed.reset();
    FLoadBuffer->Assign(static_cast<const TzrMemBitmap*>(nullptr));
    DoWhatNeedsToBeDoneWhenIdle();
}

// ---------------------------------------------------------------------------------------
// Markers
// ---------------------------------------------------------------------------------------

int TzrCustomBitmapScrollBox::AddMarker(TzrCustomMarker* marker) {
    if (!marker) throw Exception("Internal error: no marker to add");
    marker->setParent(FScrollBox->viewport());
    FMarkers.push_back(marker);
    marker->show();
    marker->raise();
    marker->PositionMarker();
    ZoomerRaise();
    return static_cast<int>(FMarkers.size()) - 1;
}

TzrCustomMarker* TzrCustomBitmapScrollBox::GetMarker(int index) const {
    if (index < 0 || index >= GetMarkerCount()) throw Exception("Internal error: marker index out of range");
    return FMarkers[static_cast<std::size_t>(index)];
}

int TzrCustomBitmapScrollBox::GetHoverMarker() const { return FHovered ? FindMarker(FHovered) : -1; }

int TzrCustomBitmapScrollBox::FindMarker(const TzrCustomMarker* marker) const {
    for (int i = GetMarkerCount() - 1; i >= 0; --i)
        if (FMarkers[static_cast<std::size_t>(i)] == marker) return i;
    return -1;
}

void TzrCustomBitmapScrollBox::DeleteMarker(int index, bool free) {
    TzrCustomMarker* marker = GetMarker(index);
    // Indices above the deleted marker move down by one, so the selected, hovered and
    // highlighted indices keep naming the same markers.
    auto follow = [index](int& i) {
        if (i > index) --i;
    };
    if (FHovered == marker) FHovered = nullptr;
    if (FCaptured == marker) FCaptured = nullptr;
    bool hoverChanged = false;
    bool selectionChanged = false;
    if (FExtHoverMarker == index) {
        FExtHoverMarker = -1;
        hoverChanged = true;
    }
    follow(FExtHoverMarker);
    if (FSelectedMarker == index) {
        FSelectedMarker = -1;
        selectionChanged = true;
    }
    follow(FSelectedMarker);
    FMarkers.erase(FMarkers.begin() + index);
    if (!marker->IsDeleted()) {
        marker->hide();
        marker->setParent(nullptr);
        if (free) delete marker;
    }
    if (hoverChanged && OnMarkerHoverChange) OnMarkerHoverChange(this);
    if (selectionChanged && OnMarkerSelectionChange) OnMarkerSelectionChange(this);
}

void TzrCustomBitmapScrollBox::DeleteAllMarkers(bool free) {
    for (int i = GetMarkerCount() - 1; i >= 0; --i) DeleteMarker(i, free);
}

void TzrCustomBitmapScrollBox::SetSelectedMarker(int index) {
    if (index < 0 || index >= GetMarkerCount()) index = -1;
    for (int i = GetMarkerCount() - 1; i >= 0; --i) FMarkers[static_cast<std::size_t>(i)]->SetSelected(i == index);
    FSelectedMarker = index;
    if (ShowZoomerAtSelectedMarker) ZoomerChanged();
}

void TzrCustomBitmapScrollBox::SetExtHoverMarker(int index) {
    if (index < 0 || index >= GetMarkerCount()) index = -1;
    for (int i = GetMarkerCount() - 1; i >= 0; --i) FMarkers[static_cast<std::size_t>(i)]->SetExtHover(i == index);
    FExtHoverMarker = index;
}

void TzrCustomBitmapScrollBox::RepositionMarkers() {
    if (DisableReposition) return;
    for (TzrCustomMarker* marker : FMarkers) marker->PositionMarker();
}

void TzrCustomBitmapScrollBox::MarkerDestroyed(TzrCustomMarker* marker) {
    if (FInDestructor) return;
    const int index = FindMarker(marker);
    if (index >= 0) DeleteMarker(index, false);
}

// ---------------------------------------------------------------------------------------
// The periodic step
// ---------------------------------------------------------------------------------------

void TzrCustomBitmapScrollBox::FTimerTimer() {
    drawAreaLines(false, true);
    if (FSelectedMarker >= 0 && FSelectedMarker < GetMarkerCount())
        FMarkers[static_cast<std::size_t>(FSelectedMarker)]->TimerTimer();
    if (FMouseIn && !MouseOverPicture()) {
        FMouseIn = false;
        MouseOut();
    }
    const int h = HorzScrollPos();
    const int v = VertScrollPos();
    if (h != FLastHorzScrollPos || v != FLastVertScrollPos) {
        FLastHorzScrollPos = h;
        FLastVertScrollPos = v;
        if (OnScroll) OnScroll(this);
    }
}

}  // namespace qb::viewer
