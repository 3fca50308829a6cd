#pragma once
// A main window on the offscreen platform with its surroundings under test
// control: virtual time for the timers, a chosen serial port list, and
// recorders for the exception report and the message box.

#include <QApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "toolkit/ExceptionReport.h"
#include "window/Serial_main.h"

// A pseudo-terminal pair: the window opens the slave end as a serial port.
struct TPty {
    int Master = -1;
    std::string SlavePath;
    TPty() {
        int slave = -1;
        char name[256] = {};
        if (openpty(&Master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        SlavePath = name;
        ::close(slave); // the port opens it again by name
        fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    }
    ~TPty() { ::close(Master); }
    // Reads what the port has written so far (waits up to 2 s for the first byte).
    std::vector<uint8_t> ReadAll() {
        std::vector<uint8_t> bytes;
        for (int waited = 0; waited < 2000 && bytes.empty(); waited += 10) {
            uint8_t buf[4096];
            ssize_t n;
            while ((n = ::read(Master, buf, sizeof buf)) > 0) bytes.insert(bytes.end(), buf, buf + n);
            if (bytes.empty()) QTest::qWait(10);
        }
        return bytes;
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        FOldReporter = SetExceptionReporter([this](const std::string& m) { Reported.push_back(m); });
        FOldShower = SetMessageBoxShower(
            [this](const std::string& text, const std::string& title) { Boxes.push_back(text + "|" + title); });
    }
    void TearDown() override {
        Form.reset();
        SetExceptionReporter(FOldReporter);
        SetMessageBoxShower(FOldShower);
    }

    TForm1& Make(std::vector<std::string> ports = {}, bool deferHiddenControls = false) {
        TFormEnvironment env;
        env.DeferHiddenControls = deferHiddenControls;
        Ports = std::move(ports);
        env.PortLister = [this] { return Ports; };
        env.TimerEngine = &Clock;
        Form = std::make_unique<TForm1>(env);
        return *Form;
    }

    // Opens the TCP link to a loopback server through the window's controls;
    // returns the server's end of the connection, or null.
    QTcpSocket* ConnectTcp(QTcpServer& server) {
        Form->RadioButton2->click();
        Form->Edit4->setText(QString::number(server.serverPort()));
        Form->BB_PortSwitch->click();
        if (!QTest::qWaitFor([&] { return Form->ClientSocket1->Active() && server.hasPendingConnections(); }, 5000))
            return nullptr;
        return server.nextPendingConnection();
    }

    QStringList LogLines() const {
        const QString text = Form->Memo1->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }

    TVirtualTimerEngine Clock;
    std::vector<std::string> Ports;
    std::vector<std::string> Reported;
    std::vector<std::string> Boxes;
    std::unique_ptr<TForm1> Form;

private:
    TExceptionReporter FOldReporter;
    TMessageBoxShower FOldShower;
};
