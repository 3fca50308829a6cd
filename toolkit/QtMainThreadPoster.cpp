#include "toolkit/QtMainThreadPoster.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "toolkit/ExceptionReport.h"

void TQtMainThreadPoster::Post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Queued calls to one receiver run in the order they were posted, on the
    // receiver's (the main) thread, never on the caller's stack.
    QMetaObject::invokeMethod(
        app, [fn = std::move(fn)] { RunGuarded(fn); }, Qt::QueuedConnection);
}
