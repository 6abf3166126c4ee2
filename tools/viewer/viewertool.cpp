// quiltbatch-viewer's window and its helpers.
#include "tools/viewer/viewertool.h"

#include <QKeyEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>

#include "components/MemBitmapIO/zrjpegutils.h"
#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"
#include "platform/files.h"

namespace qb::viewertool {

const char* const ViewerUsage = "usage: quiltbatch-viewer [--timing] [--close-when-loaded] IMAGE\n";

namespace {

bool EnvironmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value && std::strcmp(value, "1") == 0;
}

}  // namespace

bool ParseViewerArguments(int argc, const char* const* argv, TViewerOptions& options, std::string& error) {
    options = TViewerOptions();
    options.timing = EnvironmentSet("QUILTBATCH_VIEWER_TIMING");
    options.closeWhenLoaded = EnvironmentSet("QUILTBATCH_VIEWER_CLOSE_WHEN_LOADED");
    bool haveFile = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--timing") {
            options.timing = true;
        } else if (arg == "--close-when-loaded") {
            options.closeWhenLoaded = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            error = "Unknown option " + arg;
            return false;
        } else if (haveFile) {
            error = "Only one image can be shown";
            return false;
        } else {
            options.fileName = arg;
            haveFile = true;
        }
    }
    if (!haveFile) {
        error = "No image given";
        return false;
    }
    return true;
}

std::unique_ptr<TzrMemBitmap> QuickJpegPreview(const std::string& fileName, int minWidth) {
    if (TzrMemBitmap::GetFileType(fileName) != mbftJPEG) return nullptr;
    try {
        TzrFileStream stream(fileName, TzrFileStream::Mode::fmOpenReadShareDenyWrite);
        jpeg::TzrJpegReader reader(stream);
        reader.ReadHeader();
        jpeg_decompress_struct& info = reader.Info();
        unsigned denom = 8;
        while (denom > 1 && info.image_width / denom < static_cast<unsigned>(std::max(1, minWidth))) denom /= 2;
        info.scale_num = 1;
        info.scale_denom = denom;
        info.dct_method = JDCT_IFAST;
        info.do_fancy_upsampling = FALSE;
        reader.StartDecompress();
        if (info.output_components != 3) return nullptr;
        auto preview = std::make_unique<TzrMemBitmap>();
        preview->SetWidthHeightPixelFormat(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                                           pf24bit, false);
        {
            TzrWriteHold hold(*preview);
            for (int row = 0; row < preview->GetHeight();) {
                std::uint8_t* line = preview->GetScanline(row);
                row += reader.ReadScanlines(&line, 1);
            }
        }
        reader.FinishDecompress();
        return preview;
    } catch (const std::exception&) {
        // The background load shows what can be shown of the file (or the failure picture).
        return nullptr;
    }
}

int ZoomIn(int zoom) {
    if (zoom >= 1) return zoom + 1;
    return zoom + 1 == -1 ? 1 : zoom + 1;
}

int ZoomOut(int zoom) {
    if (zoom >= 2) return zoom - 1;
    if (zoom == 1) return -2;
    return zoom - 1;
}

std::string ZoomText(int zoom) {
    if (zoom >= 1) return std::to_string(zoom) + ":1";
    return "1:" + std::to_string(-zoom);
}

TViewerWindow::TViewerWindow(const TViewerOptions& options, std::ostream& log) : FOptions(options), FLog(log) {
    TzrMemBitmap::GetSizeFromFile(options.fileName, &FImageWidth, &FImageHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    FView = new qb::viewer::TzrBitmapScrollBox(this);
    layout->addWidget(FView);
    FView->SetMarginColor(0x404040);
    // The magnifier is there for checking seams at pixel level; M turns it on and off.
    FView->SetZoomerVisible(false);
    FView->PaintBox()->installEventFilter(this);
    FView->OnImageLoaded = [this](qb::viewer::TzrCustomBitmapScrollBox*) {
        FFullLoaded = true;
        UpdateTitle();
    };
    // Ctrl with the wheel zooms around the picture's centre; the wheel alone scrolls.
    FView->OnMouseWheel = [this](qb::viewer::TzrCustomBitmapScrollBox*, qb::viewer::TShiftState shift, int delta,
                                 QPoint, bool& handled) {
        if (!(shift & qb::viewer::ssCtrl) || delta == 0) return;
        SetZoom(delta > 0 ? ZoomIn(FView->GetZoom()) : ZoomOut(FView->GetZoom()));
        handled = true;
    };
    resize(1024, 768);
    UpdateTitle();
}

void TViewerWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (FImageSet) return;
    FImageSet = true;
    const int zoom = qb::viewer::TzrCustomBitmapScrollBox::FitZoom(FImageWidth, FImageHeight,
                                                                   FView->FitClientSize(), false);
    if (zoom != 0) FView->SetZoom(zoom);
    Log("window shown");
    const std::unique_ptr<TzrMemBitmap> preview = QuickJpegPreview(FOptions.fileName, 1024);
    Log("quick preview decoded");
    FView->SetBitmap(FOptions.fileName, preview.get(), FImageWidth, FImageHeight);
    Log("provisional picture set");
    UpdateTitle();
}

void TViewerWindow::Log(const char* what) {
    if (!FOptions.timing) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                          FOptions.start);
    FLog << "quiltbatch-viewer: " << ms.count() << " ms: " << what << std::endl;
}

void TViewerWindow::UpdateTitle() {
    std::string title = qb::platform::ExtractFileName(FOptions.fileName) + " - " + ZoomText(FView->GetZoom());
    if (!FFullLoaded) title += " (loading)";
    setWindowTitle(QString::fromStdString(title + " - Quiltbatch Viewer"));
}

void TViewerWindow::SetZoom(int zoom) {
    FUserZoom = true;
    FView->SetZoom(zoom);
    UpdateTitle();
}

void TViewerWindow::Fit() {
    FView->ZoomToFit(false);
    UpdateTitle();
}

void TViewerWindow::keyPressEvent(QKeyEvent* event) {
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            SetZoom(ZoomIn(FView->GetZoom()));
            return;
        case Qt::Key_Minus:
        case Qt::Key_Underscore:
            SetZoom(ZoomOut(FView->GetZoom()));
            return;
        case Qt::Key_1:
            SetZoom(1);
            return;
        case Qt::Key_F:
            FUserZoom = false;
            Fit();
            return;
        case Qt::Key_R:
            FView->SetRotate(FView->GetRotate() + (shift ? 270 : 90));
            if (!FUserZoom) Fit();
            return;
        case Qt::Key_M:
            FView->SetZoomerVisible(!FView->GetZoomerVisible());
            return;
        case Qt::Key_Escape:
            close();
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

void TViewerWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (FImageSet && !FUserZoom) Fit();
}

bool TViewerWindow::eventFilter(QObject* watched, QEvent* event) {
    // A paint of the picture is on screen once the event loop runs again.
    if (watched == FView->PaintBox() && event->type() == QEvent::Paint && (!FProvisionalShown || !FFullShown))
        QTimer::singleShot(0, this, [this] { Painted(); });
    return QWidget::eventFilter(watched, event);
}

void TViewerWindow::Painted() {
    if (!FProvisionalShown) {
        FProvisionalShown = true;
        Log("provisional picture shown");
    }
    if (FFullLoaded && !FFullShown) {
        FFullShown = true;
        Log("full image shown");
        if (FOptions.closeWhenLoaded) close();
    }
}

}  // namespace qb::viewertool
