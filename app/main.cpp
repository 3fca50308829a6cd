// Start-up and shut-down of the window program.

#include <QApplication>
#include <QScreen>
#include <fontconfig/fontconfig.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/RoundTrip.h"
#include "base/Exception.h"
#include "comm/SerialPorts.h"
#include "toolkit/ExceptionReport.h"
#include "toolkit/FirstPaint.h"
#include "window/Serial_main.h"
#include "window/Unit2.h"
#include "window/WindowPlacement.h"

namespace {

constexpr const char* Usage = "usage: kaldora [--port PATH]... [--round-trip PICTURE.png]\n"
                              "  --port PATH  a serial device to list first (Com1 is the first one given)\n"
                              "  --round-trip PICTURE.png\n"
                              "               Set_ID (KESTREL-A, ID 5) over TCP to the host and port shown,\n"
                              "               print the log, save a picture of the window, and end:\n"
                              "               exit code 0 when SetID_OK was logged\n";

// The device paths of the --port options, in order. Says what is wrong and
// gives false for an unknown option or a --port without its path.
bool ParseArguments(const QStringList& arguments, std::vector<std::string>& ports, QString& roundTrip) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        QString value;
        if (arg == QLatin1String("--round-trip") && i + 1 < arguments.size()) {
            roundTrip = arguments[++i];
            continue;
        }
        if (arg == QLatin1String("--port")) {
            if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--")))
                value = arguments[++i];
        } else if (arg.startsWith(QLatin1String("--port="))) {
            value = arg.mid(7);
        } else {
            std::fprintf(stderr, "kaldora: unknown option '%s'\n%s", arg.toLocal8Bit().constData(), Usage);
            return false;
        }
        if (value.isEmpty()) {
            std::fprintf(stderr, "kaldora: option '--port' needs a device path\n%s", Usage);
            return false;
        }
        ports.push_back(value.toStdString());
    }
    return true;
}

// Lets `thread` run on any core this process may use but the caller's. A new
// thread starts beside its parent, and the scheduler takes milliseconds to move
// it: meanwhile the two take turns on one core while the other idles.
void KeepOffThisCore(std::jthread& thread) {
    cpu_set_t others;
    CPU_ZERO(&others);
    const int here = sched_getcpu();
    if (here < 0 || sched_getaffinity(0, sizeof others, &others) != 0) return;
    CPU_CLR(here, &others);
    if (CPU_COUNT(&others) > 0) pthread_setaffinity_np(thread.native_handle(), sizeof others, &others);
}

} // namespace

int main(int argc, char* argv[]) {
    // One heap for every thread: the few threads here allocate little, and each
    // further heap would keep pages of its own (about 130 KB at start).
    mallopt(M_ARENA_MAX, 1);
    // Reading the font configuration is the larger part of the first text layout
    // (some 25 million instructions of XML). Nothing needs it before the window is
    // built, so it is read on a second core while the application is set up; FcInit
    // may be called from any thread, and Qt's own call then finds it loaded.
    std::jthread fontConfiguration([] { FcInit(); });
    KeepOffThisCore(fontConfiguration);
    // Qt takes its own options (-platform, ...) out of the arguments; the rest are ours.
    QApplication application(argc, argv);
    std::vector<std::string> givenPorts;
    QString roundTrip;
    if (!ParseArguments(QApplication::arguments(), givenPorts, roundTrip)) return 2;
    TFormEnvironment environment;
    environment.DeferHiddenControls = true;
    if (!givenPorts.empty())
        environment.PortLister = [givenPorts] { return WithGivenPorts(givenPorts, ListSerialPorts()); };
    fontConfiguration.join();
    int exitCode = 0;
    try {
        Form1 = new TForm1(environment);
        // Every message box names the program beside its own title ("error! — Kaldora ...");
        // the main window's title, which ends with this name, is shown unchanged.
        QApplication::setApplicationDisplayName(Form1->windowTitle());
        Form2 = new TForm2();
        // The stored 1001x840 does not fit a small screen: shrink to its free area.
        QScreen* screen = QGuiApplication::screenAt(Form1->geometry().center());
        if (!screen) screen = QGuiApplication::primaryScreen();
        if (screen)
            Form1->setGeometry(FitToAvailable(Form1->geometry(), WindowFrameAllowance, Form1->minimumSize(),
                                              screen->availableGeometry()));
        Form1->show();
        // The controls hidden at start are made once the window is drawn; the
        // user's input waits for them, so every handler finds its controls.
        WaitForFirstPaint(*Form1, std::chrono::milliseconds(200));
        Form1->BuildHiddenControls();
        if (!roundTrip.isEmpty()) StartRoundTrip(*Form1, roundTrip);
        // A window closed while its drawing was awaited ends the program here.
        if (Form1->isVisible()) exitCode = application.exec();
    } catch (const std::exception& e) {
        // Start-up failures are shown like any other; the program still ends normally.
        ReportException(e.what());
    }
    // Destroying the window closes an open port and connection without a log line.
    delete Form2;
    delete Form1;
    return roundTrip.isEmpty() ? 0 : exitCode;
}
