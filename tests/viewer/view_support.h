// Shared pieces of the bitmap view's tests: a shown view of a known size, pictures whose
// pixels tell where they came from, a marker for the list, and waiting for the worker.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include <QAbstractScrollArea>

#include "tests/support/failure.h"
#include "tests/support/qtapp.h"
#include "viewer/zrbitmapscrollbox.h"
#include "viewer/zrcustommarker.h"

namespace qb::viewer::test {

// The colour that tells a source pixel: blue and green from the column and row.
inline QColor ColourOf(int x, int y) { return QColor(200, (20 + 11 * y) % 251, (20 + 9 * x) % 251); }

// A pf24bit picture whose every pixel has the colour of its position.
inline std::unique_ptr<TzrMemBitmap> PositionPicture(int width, int height) {
    QImage image(width, height, QImage::Format_BGR888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixelColor(x, y, ColourOf(x, y));
    return std::make_unique<TzrMemBitmap>(&image);
}

// The same picture as a QImage, for oracles built with Qt's own transforms.
inline QImage PositionImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixelColor(x, y, ColourOf(x, y));
    return image;
}

inline std::unique_ptr<TzrMemBitmap> Uniform(int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_BGR888);
    image.fill(colour);
    return std::make_unique<TzrMemBitmap>(&image);
}

// Zoom, rotation, margin and area of a view, in that order.
inline void SetGeometry(TzrCustomBitmapScrollBox& view, int zoom, int rotate, int margin, TRect area) {
    view.SetZoom(zoom);
    view.SetRotate(rotate);
    view.SetExtraMargin(margin);
    view.SetAreaLeft(area.left);
    view.SetAreaTop(area.top);
    view.SetAreaRight(area.right);
    view.SetAreaBottom(area.bottom);
}

// Runs the event loop until `done` holds or a generous time has passed.
inline bool RunUntil(const std::function<bool()>& done, int seconds = 60) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the event loop for a while, so that anything already on its way is handled.
inline void Settle(int milliseconds = 150) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Waits, without running the event loop, until the worker has finished its run (its end
// is then still to be handled on this thread).
inline bool WorkerFinished(const TzrCustomBitmapScrollBox& view, int seconds = 60) {
    QElapsedTimer clock;
    clock.start();
    while (view.GetMemBitmap() == nullptr) {
        if (clock.elapsed() > seconds * 1000) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A view shown at a fixed size (the client has that size while no scroll bar is needed).
class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        qb::test::App();
        view = std::make_unique<TzrBitmapScrollBox>();
        view->resize(200, 150);
        view->show();
        QApplication::processEvents();
    }
    void TearDown() override { view.reset(); }

    // The painted surface as it is on screen now.
    QImage Surface() const { return view->PaintBox()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    std::unique_ptr<TzrBitmapScrollBox> view;
};

// The smallest marker: a 7 x 7 square whose hot spot is its middle pixel.
class TestMarker : public TzrCustomMarker {
public:
    explicit TestMarker(QObject* owner) : TzrCustomMarker(owner) {
        resize(7, 7);
        SetHotSpot(QPoint(3, 3));
    }
    int timerSteps = 0;
    void TimerTimer() override { ++timerSteps; }
};

}  // namespace qb::viewer::test
