#pragma once
// Helpers of the Qt test programs: recording the exception report and waiting
// on the event loop for a condition (never a fixed sleep).

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <string>
#include <vector>

#include "toolkit/ExceptionReport.h"

// Records every exception report while it exists; optionally into a shared event log.
class TReportRecorder {
public:
    explicit TReportRecorder(std::vector<std::string>* log = nullptr) {
        FPrevious = SetExceptionReporter([this, log](const std::string& message) {
            Messages.push_back(message);
            if (log) log->push_back("report: " + message);
        });
    }
    ~TReportRecorder() { SetExceptionReporter(std::move(FPrevious)); }
    std::vector<std::string> Messages;

private:
    TExceptionReporter FPrevious;
};

// Runs the event loop until done() holds or the time-out passes; returns done().
template <class Pred> bool WaitUntil(Pred done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}
