#include <QPushButton>
#include <QThread>
#include <gtest/gtest.h>
#include <thread>

#include "base/Exception.h"
#include "tests/toolkit/TestSupport.h"
#include "toolkit/QtMainThreadPoster.h"

namespace {

TEST(Guard, ExceptionInAHandlerEndsItIsReportedAndTheProgramGoesOn) {
    TReportRecorder reports;
    QPushButton button;
    std::vector<std::string> steps;
    // clicked(bool) carries an argument the handler does not take.
    QObject::connect(&button, &QPushButton::clicked, &button, Guarded([&] {
        steps.push_back("before");
        throw Exception("Port not open (Error: -1)");
        steps.push_back("after");
    }));
    button.click();
    steps.push_back("caller goes on");
    button.click();
    EXPECT_EQ(steps, (std::vector<std::string>{"before", "caller goes on", "before"}));
    EXPECT_EQ(reports.Messages,
              (std::vector<std::string>{"Port not open (Error: -1)", "Port not open (Error: -1)"}));
}

TEST(Guard, ReportsEveryKindOfExceptionByItsText) {
    TReportRecorder reports;
    Guarded([] { throw std::runtime_error("runtime"); })();
    Guarded([](int n) { throw Exception("n=" + std::to_string(n)); })(7);
    RunGuarded([] { throw 42; });
    Guarded([] {})();
    EXPECT_EQ(reports.Messages, (std::vector<std::string>{"runtime", "n=7", "Unknown exception"}));
}

TEST(Guard, FailingReporterDoesNotEscape) {
    TReportRecorder outer;
    SetExceptionReporter([](const std::string&) { throw std::runtime_error("reporter broke"); });
    EXPECT_NO_THROW(RunGuarded([] { throw Exception("x"); }));
}

TEST(Guard, MessageBoxIsReplaceable) {
    std::vector<std::pair<std::string, std::string>> shown;
    auto previous = SetMessageBoxShower(
        [&](const std::string& text, const std::string& title) { shown.emplace_back(text, title); });
    ShowMessageBox("IP 或埠號錯誤", "error!");
    SetMessageBoxShower(std::move(previous));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], (std::pair<std::string, std::string>{"IP 或埠號錯誤", "error!"}));
}

TEST(MainThreadPoster, RunsCallsOnTheMainThreadInOrderAndNeverOnTheCallersStack) {
    TReportRecorder reports;
    TQtMainThreadPoster poster;
    std::vector<int> order;
    std::vector<bool> onMain;
    auto record = [&](int n) {
        return [&, n] {
            order.push_back(n);
            onMain.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
        };
    };
    poster.Post(record(1));
    EXPECT_TRUE(order.empty());
    std::thread worker([&] {
        poster.Post(record(2));
        poster.Post([] { throw Exception("from the event thread"); });
        poster.Post(record(3));
    });
    worker.join();
    poster.Post(record(4));
    ASSERT_TRUE(WaitUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(onMain, std::vector<bool>(4, true));
    EXPECT_EQ(reports.Messages, std::vector<std::string>{"from the event thread"});
}

} // namespace
