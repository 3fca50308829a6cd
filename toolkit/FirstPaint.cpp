#include "toolkit/FirstPaint.h"

#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

// Ends the loop after the window's first expose. The loop's end is queued, and
// a widget window draws itself while it handles the expose, so the drawing is
// done and sent before the loop ends.
class TExposeWatch : public QObject {
public:
    explicit TExposeWatch(QEventLoop& loop) : FLoop(loop) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed())
            QMetaObject::invokeMethod(&FLoop, &QEventLoop::quit, Qt::QueuedConnection);
        return false;
    }

private:
    QEventLoop& FLoop;
};

} // namespace

void WaitForFirstPaint(QWidget& window, std::chrono::milliseconds limit) {
    QWindow* handle = window.windowHandle();
    if (!handle || handle->isExposed()) return;
    QEventLoop loop;
    TExposeWatch watch(loop);
    handle->installEventFilter(&watch);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    handle->removeEventFilter(&watch);
}
