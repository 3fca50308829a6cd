// Start-up and shut-down of the window program.

#include <QApplication>
#include <QScreen>
#include <fontconfig/fontconfig.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/RoundTrip.h"
#include "app/WindowOptions.h"
#include "base/Exception.h"
#include "base/Options.h"
#include "comm/SerialPorts.h"
#include "toolkit/ExceptionReport.h"
#include "toolkit/FirstPaint.h"
#include "window/Serial_main.h"
#include "window/Unit2.h"
#include "window/WindowPlacement.h"

namespace {

constexpr const char* ProgramName = "kaldora";

// Qt's own options: one dash and a word, as "-platform offscreen"; ours have two dashes.
// These take the next argument as their value.
constexpr std::string_view QtValueOptions[] = {
    "-platform",        "-platformpluginpath", "-platformtheme", "-plugin",
    "-qwindowgeometry", "-qwindowicon",        "-qwindowtitle",  "-session",
    "-display",         "-geometry",           "-style",         "-stylesheet"};

bool IsQtOption(std::string_view arg) {
    return arg.size() > 2 && arg[0] == '-' && arg[1] != '-';
}

// The arguments after the program name that are not Qt's.
std::vector<std::string> OwnArguments(const std::vector<std::string>& args) {
    std::vector<std::string> own;
    for (size_t k = 0; k < args.size(); ++k) {
        if (args[k] == "--") {
            own.insert(own.end(), args.begin() + static_cast<long>(k), args.end());
            break;
        }
        if (!IsQtOption(args[k])) {
            own.push_back(args[k]);
        } else if (std::find(std::begin(QtValueOptions), std::end(QtValueOptions), args[k]) !=
                   std::end(QtValueOptions)) {
            ++k;
        }
    }
    return own;
}

// Reads the options before the QApplication exists, so that help, the version and a
// refusal need no display. Returns the exit code when the program is to end here.
std::optional<int> ReadOptions(const std::vector<std::string>& args, const TOptionTable& table,
                               TParsedOptions& parsed) {
    parsed = ParseOptions(OwnArguments(args), {table});
    if (parsed.Help) {
        std::fputs(WindowUsage(table).c_str(), stdout);
        return 0;
    }
    if (parsed.Version) {
        std::printf("%s\n", VersionText(ProgramName).c_str());
        return 0;
    }
    std::string error = parsed.Error;
    for (const std::string& port : parsed.All("port"))
        if (error.empty() && port.empty()) error = "--port '': give a device path";
    if (error.empty() && !parsed.Positionals.empty())
        error = "unexpected argument '" + parsed.Positionals[0] + "'";
    if (error.empty()) return std::nullopt;
    std::fprintf(stderr, "%s: %s\n%s", ProgramName, error.c_str(), WindowUsage(table).c_str());
    return 2;
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
    const TOptionTable optionTable = WindowOptionTable();
    TParsedOptions options;
    if (const auto exitCode =
            ReadOptions(std::vector<std::string>(argv + 1, argv + argc), optionTable, options))
        return *exitCode;
    // Reading the font configuration is the larger part of the first text layout
    // (some 25 million instructions of XML). Nothing needs it before the window is
    // built, so it is read on a second core while the application is set up; FcInit
    // may be called from any thread, and Qt's own call then finds it loaded.
    std::jthread fontConfiguration([] { FcInit(); });
    KeepOffThisCore(fontConfiguration);
    QApplication application(argc, argv);
    // Qt takes its own options out of the arguments; a word it left there is none of its.
    for (const QString& arg : QApplication::arguments().mid(1)) {
        if (arg == QLatin1String("--")) break;
        if (IsQtOption(arg.toStdString())) {
            std::fprintf(stderr, "%s: unknown option '%s'\n%s", ProgramName, arg.toLocal8Bit().constData(),
                         WindowUsage(optionTable).c_str());
            return 2;
        }
    }
    const std::vector<std::string> givenPorts = options.All("port");
    const QString roundTrip = QString::fromStdString(options.Text("round-trip"));
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
