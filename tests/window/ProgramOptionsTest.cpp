// The window program's command line, run for real without a display: what it must answer
// before it would need one.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

struct TRun {
    int ExitCode = -1;
    std::string Out, Err;
};

TRun RunWithoutDisplay(const std::string& args) {
    const std::string errFile = testing::TempDir() + "kaldora-options-stderr";
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb " KALDORA_WINDOW_PATH
                                " " +
                                args + " 2>" + errFile;
    TRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 512> buffer{};
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
        run.Out.append(buffer.data(), n);
    const int status = pclose(pipe);
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* err = std::fopen(errFile.c_str(), "r")) {
        while (size_t n = fread(buffer.data(), 1, buffer.size(), err))
            run.Err.append(buffer.data(), n);
        std::fclose(err);
    }
    std::remove(errFile.c_str());
    return run;
}

TEST(WindowProgramOptions, HelpAndVersionNeedNoDisplay) {
    struct Row {
        const char* args;
        const char* outStart;
    };
    const Row rows[] = {
        {"--help", "usage: kaldora "},
        {"-h", "usage: kaldora "},
        {"--port /dev/null --help", "usage: kaldora "},
        {"--bogus --help", "usage: kaldora "},
        {"--version", "kaldora 1.0.0\n"},
        {"-platform offscreen --version", "kaldora 1.0.0\n"}, // Qt's options are left to Qt
    };
    for (const auto& row : rows) {
        const TRun run = RunWithoutDisplay(row.args);
        EXPECT_EQ(run.ExitCode, 0) << row.args << ": " << run.Err;
        EXPECT_EQ(run.Out.rfind(row.outStart, 0), 0u) << row.args << ": " << run.Out;
        EXPECT_EQ(run.Err, "") << row.args;
    }
    const std::string help = RunWithoutDisplay("--help").Out;
    for (const char* option : {"--port PATH", "--round-trip PICTURE.png", "--version", "-h, --help"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(WindowProgramOptions, RefusalsExitWithStatus2AndTheUsage) {
    struct Row {
        const char* args;
        const char* message;
    };
    const Row rows[] = {
        {"--bogus", "kaldora: unknown option '--bogus'\n"},
        {"-x", "kaldora: unknown option '-x'\n"},
        {"--port", "kaldora: option '--port' needs a value\n"},
        {"--port --round-trip x.png", "kaldora: option '--port' needs a value\n"},
        {"--port=", "kaldora: --port '': give a device path\n"},
        {"--round-trip a.png --round-trip b.png", "kaldora: --round-trip given twice\n"},
        {"picture.png", "kaldora: unexpected argument 'picture.png'\n"},
    };
    for (const auto& row : rows) {
        const TRun run = RunWithoutDisplay(row.args);
        EXPECT_EQ(run.ExitCode, 2) << row.args;
        EXPECT_EQ(run.Out, "") << row.args;
        EXPECT_EQ(run.Err.rfind(std::string(row.message) + "usage: kaldora ", 0), 0u)
            << row.args << ": " << run.Err;
    }
}

} // namespace
