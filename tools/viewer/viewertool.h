// quiltbatch-viewer's window: one image in the bitmap view, zoomed to fit, with the keys
// and mouse gestures of the program, the file name and zoom in the title, and the
// magnifier that follows the pointer (turned on and off with M). The image is shown
// progressively: a quick provisional picture at once (for JPEG files a reduced decode), the
// full image from the view's worker thread.
#pragma once

#include <QWidget>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "viewer/zrbitmapscrollbox.h"

namespace qb::viewertool {

// The command line: [--timing] [--close-when-loaded] IMAGE.
struct TViewerOptions {
    std::string fileName;
    // Prints, on the error stream, the milliseconds from the start to the first provisional
    // picture on screen and to the full image on screen.
    bool timing = false;
    // Closes the window (and so ends the program) once the full image is on screen.
    bool closeWhenLoaded = false;
    // The program's start, from which the timings count.
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// Reads the arguments (without the program name); the environment variables
// QUILTBATCH_VIEWER_TIMING and QUILTBATCH_VIEWER_CLOSE_WHEN_LOADED (set to 1) turn the two
// options on as well, for a viewer that another program starts. Returns false with a
// message in `error` when the arguments are not usable.
bool ParseViewerArguments(int argc, const char* const* argv, TViewerOptions& options, std::string& error);

extern const char* const ViewerUsage;

// A reduced picture of a JPEG file decoded at 1/2, 1/4 or 1/8 of its size (the largest
// reduction that keeps at least `minWidth` columns or the whole width), or null when the
// file is not a JPEG file or cannot be decoded so.
std::unique_ptr<TzrMemBitmap> QuickJpegPreview(const std::string& fileName, int minWidth);

// The zoom one step in or out.
int ZoomIn(int zoom);
int ZoomOut(int zoom);
// "1:1", "3:1" (magnified), "1:4" (reduced).
std::string ZoomText(int zoom);

class TViewerWindow : public QWidget {
public:
    // Reads the image's size; fails with the message of its header when that cannot be
    // read. The image itself is set when the window is first shown, at the zoom that fits
    // the window, so that the background load is made for that zoom.
    TViewerWindow(const TViewerOptions& options, std::ostream& log);

    qb::viewer::TzrBitmapScrollBox& View() { return *FView; }
    // The full image has replaced the provisional picture.
    bool FullImageShown() const { return FFullShown; }
    bool ProvisionalShown() const { return FProvisionalShown; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdateTitle();
    void SetZoom(int zoom);
    void Fit();
    void Painted();
    void Log(const char* what);

    TViewerOptions FOptions;
    std::ostream& FLog;
    qb::viewer::TzrBitmapScrollBox* FView = nullptr;
    int FImageWidth = 0;
    int FImageHeight = 0;
    // The zoom follows the window's size until the user chooses one.
    bool FUserZoom = false;
    bool FImageSet = false;
    bool FProvisionalShown = false;
    bool FFullLoaded = false;
    bool FFullShown = false;
};

}  // namespace qb::viewertool
