#include "toolkit/ExceptionReport.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "base/Exception.h"

namespace {

QString Caption() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("Error") : name;
}

void ShowModalReport(const std::string& message) {
    QMessageBox box(QMessageBox::Critical, Caption(), QString::fromStdString(message), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

void ShowModalMessageBox(const std::string& text, const std::string& title) {
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

TExceptionReporter& Reporter() {
    static TExceptionReporter reporter;
    return reporter;
}

TMessageBoxShower& Shower() {
    static TMessageBoxShower shower;
    return shower;
}

} // namespace

void ReportException(const std::string& message) {
    // Copied, so a reporter may replace itself while it runs.
    const TExceptionReporter reporter = Reporter();
    if (reporter)
        reporter(message);
    else
        ShowModalReport(message);
}

TExceptionReporter SetExceptionReporter(TExceptionReporter reporter) {
    return std::exchange(Reporter(), std::move(reporter));
}

void ShowMessageBox(const std::string& text, const std::string& title) {
    const TMessageBoxShower shower = Shower();
    if (shower)
        shower(text, title);
    else
        ShowModalMessageBox(text, title);
}

TMessageBoxShower SetMessageBoxShower(TMessageBoxShower shower) {
    return std::exchange(Shower(), std::move(shower));
}

void RunGuarded(const std::function<void()>& fn) {
    try {
        if (fn) fn();
    } catch (...) {
        toolkit_detail::ReportCurrentException();
    }
}

namespace toolkit_detail {

void ReportCurrentException() noexcept {
    std::string message;
    try {
        throw;
    } catch (const Exception& e) {
        message = e.Message();
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown exception";
    }
    // A reporter that fails itself must not take the program down with it.
    try {
        ReportException(message);
    } catch (...) {
    }
}

} // namespace toolkit_detail
