// kaldora-cli under faults, run as a program: against simulators with fault options and
// small hostile peers, with signals, closed and full output, a killed process. What is
// checked is the record the command leaves (exit status, report, journal) and what the
// simulators saw (their log of frames).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../DevsimProcess.h"
#include "cli/Batch.h"
#include "protocol/Frame.h"
#include "protocol/HexText.h"

namespace {

using namespace std::chrono;
using TTime = steady_clock::time_point;

TTime In(milliseconds ms) {
    return steady_clock::now() + ms;
}

long MsSince(TTime start) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

constexpr long MemoryBoundKb = 64 * 1024;
// A sanitizer's shadow memory and its quarantine of freed blocks count in the resident
// size, hundreds of megabytes for a long run; there the bound is the normal build's to check.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool UnderSanitizer = true;
#else
constexpr bool UnderSanitizer = false;
#endif

// Peak resident memory of a running process, from /proc; 0 once it is gone.
long PeakResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// kaldora-cli as a child: standard output and error on pipes read as they come (or
// standard output into a file), standard input /dev/null.
class TCli {
public:
    explicit TCli(const std::vector<std::string>& args, const std::string& stdoutFile = "") {
        std::vector<std::string> all = {KALDORA_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2] = {-1, -1}, err[2];
        if ((stdoutFile.empty() && pipe2(out, O_CLOEXEC) != 0) || pipe2(err, O_CLOEXEC) != 0) return;
        Started = steady_clock::now();
        FPid = fork();
        if (FPid == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGPIPE, SIG_DFL); // so that a program that forgets it dies of it, as 141
            const int in = open("/dev/null", O_RDONLY);
            const int outFd = stdoutFile.empty() ? out[1] : open(stdoutFile.c_str(), O_WRONLY);
            if (in < 0 || outFd < 0) _exit(126);
            dup2(in, STDIN_FILENO);
            dup2(outFd, STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close_range(3, ~0U, 0);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (out[1] >= 0) close(out[1]);
        close(err[1]);
        FOut = out[0];
        FErr = err[0];
    }
    ~TCli() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        CloseOut();
        if (FErr >= 0) close(FErr);
    }
    TCli(const TCli&) = delete;
    TCli& operator=(const TCli&) = delete;

    // Not yet ended (an ended child is left to Wait to reap).
    bool Running() const {
        siginfo_t info{};
        return FPid > 0 && waitid(P_PID, static_cast<id_t>(FPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    // The next line of standard output; none at the deadline or the output's end.
    std::optional<std::string> OutLine(TTime deadline) {
        for (;;) {
            const size_t end = Out.find('\n', FTaken);
            if (end != std::string::npos) {
                std::string line = Out.substr(FTaken, end - FTaken);
                FTaken = end + 1;
                return line;
            }
            if (!PumpOnce(deadline)) return std::nullopt;
        }
    }

    // Reads what comes until the deadline or until both pipes end.
    void Pump(TTime deadline) {
        while (PumpOnce(deadline)) {
        }
    }

    // The reader of standard output goes away, as "| head -1" does.
    void CloseOut() {
        if (FOut >= 0) close(FOut);
        FOut = -1;
    }

    void Signal(int signal) const { kill(FPid, signal); }

    // The exit status (128 + N for signal N); -1 when still running at the deadline, after
    // which it is killed.
    int Wait(TTime deadline) {
        Pump(deadline);
        int status = 0;
        if (FOut >= 0 || FErr >= 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
            FPid = -1;
            return -1;
        }
        waitpid(FPid, &status, 0);
        FPid = -1;
        ElapsedMs = MsSince(Started);
        return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

    std::string Out, Err;
    long PeakKb = 0; // the highest VmHWM read, every 20 ms while the pipes are read
    long ElapsedMs = 0;
    TTime Started;

private:
    // One poll of the pipes; false at the deadline or when both have ended.
    bool PumpOnce(TTime deadline) {
        pollfd p[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
        if (FOut < 0 && FErr < 0) return false;
        const long left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return false;
        if (FPid > 0) PeakKb = std::max(PeakKb, PeakResidentKb(FPid));
        if (poll(p, 2, static_cast<int>(std::min(left, 20L))) <= 0) return true;
        for (int k = 0; k < 2; ++k) {
            if (!p[k].revents) continue;
            int& fd = k == 0 ? FOut : FErr;
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n > 0)
                (k == 0 ? Out : Err).append(chunk, static_cast<size_t>(n));
            else {
                close(fd);
                fd = -1;
            }
        }
        return true;
    }

    pid_t FPid = -1;
    int FOut = -1, FErr = -1;
    size_t FTaken = 0;
};

struct TRun {
    int ExitCode = -1;
    std::string Out, Err;
    long PeakKb = 0, ElapsedMs = 0;
};

TRun Execute(const std::vector<std::string>& args, milliseconds limit = 20s,
             const std::string& stdoutFile = "") {
    TCli cli(args, stdoutFile);
    TRun run;
    run.ExitCode = cli.Wait(In(limit));
    run.Out = cli.Out;
    run.Err = cli.Err;
    run.PeakKb = cli.PeakKb;
    run.ElapsedMs = cli.ElapsedMs;
    return run;
}

// Files and directories of one test, all removed at its end (journals with their WAL).
class TScratch {
public:
    ~TScratch() {
        for (const std::string& path : FPaths) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
            for (const char* end : {"-wal", "-shm", "-journal"})
                std::filesystem::remove(path + end, ignored);
        }
    }
    std::string Path(const std::string& name) {
        FPaths.push_back(testing::TempDir() + "kaldora-faults-" + std::to_string(getpid()) + "-" + name);
        std::error_code ignored;
        std::filesystem::remove_all(FPaths.back(), ignored);
        return FPaths.back();
    }
    std::string Directory(const std::string& name) {
        const std::string path = Path(name);
        std::filesystem::create_directory(path);
        return path;
    }
    std::string File(const std::string& name, const std::string& text) {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

private:
    std::vector<std::string> FPaths;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rows "KESTREL-A,<id>" for the IDs given.
std::string KestrelLot(int first, int count) {
    std::string text = "model,id\n";
    for (int id = first; id < first + count; ++id)
        text += "KESTREL-A," + std::to_string(id) + "\n";
    return text;
}

const std::string ReportHeader = "model,id,result,reason,reply,attempts,port,elapsed_ms,time";
// The report's columns after model and id.
enum { ColResult = 2, ColReason = 3, ColReply = 4, ColPort = 6 };

TBatchFile ReadReport(const std::string& text) {
    TBatchFile report = ParseBatchCsv(text);
    EXPECT_EQ(report.Error, "");
    return report;
}

// One frame in a simulator's log.
struct TSimFrame {
    std::string Kind; // Set_ID, ELN_set, ELN_read, command
    int Id = -1;      // a Set_ID's ID
};

// A simulator's log read as frames. A fence makes it complete: an ELN read frame sent over
// TCP after everything else, so that every frame that reached the simulator before is
// logged before it.
class TSimLog {
public:
    explicit TSimLog(TDevsimProcess& sim) : FSim(sim) {}

    // The next Set_ID frame logged; none by the deadline.
    std::optional<TSimFrame> NextSetId(TTime deadline) {
        while (const auto frame = NextFrame(deadline))
            if (frame->Kind == "Set_ID") return frame;
        return std::nullopt;
    }

    // Every frame logged before the fence is in Frames afterwards.
    void Fence() {
        TCommandInputs read;
        read.Kind = TCommandKind::ReadEln;
        TCipherState cipher{};
        // Its exit status is not asked: a simulator that closes after each frame may make it 2.
        const TRun fence =
            Execute({"send-hex", HexText(BuildCommandFrame(read, cipher)), "--tcp", FSim.Tcp()});
        while (const auto frame = NextFrame(In(5s)))
            if (frame->Kind == "ELN_read") return;
        FAIL() << "the simulator never logged the fence frame: " << fence.Err;
    }

    // How many Set_ID frames carried the ID.
    int SetIdCount(int id) const {
        int n = 0;
        for (const TSimFrame& f : Frames)
            n += f.Kind == "Set_ID" && f.Id == id;
        return n;
    }
    std::multiset<int> SetIds() const {
        std::multiset<int> ids;
        for (const TSimFrame& f : Frames)
            if (f.Kind == "Set_ID") ids.insert(f.Id);
        return ids;
    }

    std::vector<TSimFrame> Frames;

private:
    std::optional<TSimFrame> NextFrame(TTime deadline) {
        static const std::regex frameLine(
            R"(^rx (tcp#[0-9]+|pty) (Set_ID|ELN_set|ELN_read|command) .* \| ([0-9A-F]{2}( [0-9A-F]{2})*)$)");
        static const std::regex idField(" id=([0-9]+)");
        for (;;) {
            const std::string line = FSim.ReadLine(deadline);
            if (line.empty()) return std::nullopt;
            std::smatch m;
            if (!std::regex_match(line, m, frameLine)) continue;
            TSimFrame frame{m[2], -1};
            if (std::regex_search(line, m, idField)) frame.Id = std::stoi(m[1]);
            Frames.push_back(frame);
            return frame;
        }
    }

    TDevsimProcess& FSim;
};

struct TSimulator : TDevsimProcess {
    explicit TSimulator(const std::vector<std::string>& faults = {})
        : TDevsimProcess(KALDORA_DEVSIM_PATH, faults) {}
};

std::vector<std::string> BatchArgs(const std::string& csv, const std::string& journal,
                                   const std::vector<std::string>& more) {
    std::vector<std::string> args = {"batch", csv, "--journal", journal};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(CliFaults, ALateReplyIsNeverCreditedToTheNextRow) {
    TSimulator device({"--delay", "3500"});
    ASSERT_FALSE(device.Pty.empty());
    TScratch scratch;
    const std::string report = scratch.Path("late.csv");
    const TRun run =
        Execute(BatchArgs(scratch.File("late-lot.csv", KestrelLot(1, 3)), scratch.Path("late.journal"),
                          {"--port", device.Pty, "--report", report}),
                30s);
    EXPECT_EQ(run.ExitCode, 1) << run.Out << run.Err;
    const TBatchFile result = ReadReport(ReadFile(report));
    ASSERT_EQ(result.Rows.size(), 3u) << run.Out;
    EXPECT_EQ(result.Rows[0].Fields[ColResult], "late reply");
    EXPECT_NE(result.Rows[0].Fields[ColReason].find("the device answered 35"), std::string::npos)
        << result.Rows[0].Fields[ColReason];
    EXPECT_NE(result.Rows[0].Fields[ColReason].find("may have taken the ID"), std::string::npos);
    for (const auto& row : result.Rows) {
        const auto& f = row.Fields;
        EXPECT_NE(f[ColResult], "ok") << "ID " << f[1] << ": " << f[ColReply];
        // A Set_ID answer carries the ID it answers (24 00 5A id ...): a row's reply is its own.
        if (!f[ColReply].empty()) {
            EXPECT_EQ(ParseHexText(f[ColReply]).at(3), std::stoi(f[1])) << f[ColReply];
        }
    }
}

TEST(CliFaults, AFrameThatLeftIsNeverSentAgainOnAnotherFixture) {
    TSimulator closing({"--close-after-read"}), good;
    ASSERT_NE(closing.Port, 0);
    ASSERT_NE(good.Port, 0);
    TScratch scratch;
    const std::string report = scratch.Path("lost.csv");
    const TRun run =
        Execute(BatchArgs(scratch.File("lost-lot.csv", KestrelLot(1, 2)), scratch.Path("lost.journal"),
                          {"--tcp", closing.Tcp(), "--tcp", good.Tcp(), "--report", report}));
    EXPECT_EQ(run.ExitCode, 1) << run.Out << run.Err;
    const TBatchFile result = ReadReport(ReadFile(report));
    ASSERT_EQ(result.Rows.size(), 2u);

    TSimLog closingLog(closing), goodLog(good);
    closingLog.Fence();
    goodLog.Fence();
    const std::multiset<int> taken = closingLog.SetIds();
    EXPECT_EQ(taken.size(), 1u) << "the closing fixture takes one frame, then no more\n" << run.Out;
    for (const auto& row : result.Rows) {
        const auto& f = row.Fields;
        const int id = std::stoi(f[1]);
        if (taken.count(id)) {
            EXPECT_EQ(f[ColResult], "lost after send") << f[ColReason];
            EXPECT_EQ(f[ColPort], closing.Tcp());
            EXPECT_EQ(goodLog.SetIdCount(id), 0) << "ID " << id << " was sent again on the other fixture";
        } else {
            EXPECT_EQ(f[ColResult], "ok") << f[ColReason];
            EXPECT_EQ(goodLog.SetIdCount(id), 1) << "ID " << id;
        }
    }
}

TEST(CliFaults, BytesAlreadyWaitingAreNotTakenForTheReply) {
    TSimulator device({"--chatter", "26"});
    ASSERT_FALSE(device.Pty.empty());
    // The pty's noise is written once at start: it must be waiting before the command opens it.
    bool chattered = false;
    while (!chattered) {
        const std::string line = device.ReadLine(In(5s));
        ASSERT_FALSE(line.empty()) << "no chatter logged";
        chattered = line.rfind("tx pty 26 bytes (chatter)", 0) == 0;
    }
    struct Link {
        const char* name;
        std::vector<std::string> args;
    };
    const Link links[] = {{"pty", {"--port", device.Pty}}, {"tcp", {"--tcp", device.Tcp()}}};
    std::vector<std::unique_ptr<TCli>> runs;
    for (const Link& link : links) {
        std::vector<std::string> args = {"set-id", "--model", "KESTREL-A", "--id", "5"};
        args.insert(args.end(), link.args.begin(), link.args.end());
        runs.push_back(std::make_unique<TCli>(args));
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        EXPECT_EQ(runs[k]->Wait(In(10s)), 0) << links[k].name << ": " << runs[k]->Err;
        EXPECT_EQ(runs[k]->Out, "SetID_OK\n") << links[k].name;
        EXPECT_NE(runs[k]->Err.find("dropped 26 bytes that were waiting"), std::string::npos)
            << links[k].name << ": " << runs[k]->Err;
    }

    const TRun text = Execute({"send-text", "X", "--port", device.Pty});
    EXPECT_EQ(text.ExitCode, 0) << text.Err;
    const TRun after = Execute({"set-id", "--model", "KESTREL-A", "--id", "6", "--port", device.Pty});
    EXPECT_EQ(after.ExitCode, 0) << after.Err;
    EXPECT_EQ(after.Out, "SetID_OK\n") << after.Err;
}

// Every row present in line order, with its result; the rows after the stop "not run".
void ExpectWholeReportOfAStoppedRun(const std::string& path, int rows, const std::string& what) {
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind(ReportHeader + "\r\n", 0), 0u) << what << ": " << text;
    const TBatchFile report = ReadReport(text);
    ASSERT_EQ(report.Rows.size(), static_cast<size_t>(rows)) << what << ": " << text;
    EXPECT_EQ(report.Rows.front().Fields[ColResult], "ok") << what << ": " << text;
    EXPECT_EQ(report.Rows.back().Fields[ColResult], "not run") << what << ": " << text;
    for (int k = 0; k < rows; ++k)
        EXPECT_EQ(report.Rows[k].Fields[1], std::to_string(k + 1)) << what;
}

TEST(CliFaults, AClosedStandardOutputOrAHangUpKeepsTheRecord) {
    TSimulator device;
    ASSERT_NE(device.Port, 0);
    TScratch scratch;
    const std::string csv = scratch.File("stop-lot.csv", KestrelLot(1, 3));
    struct Stop {
        const char* name;
        std::vector<int> signals; // none: standard output closes
        int exitCode;
        const char* err;
    };
    const Stop stops[] = {
        {"output closed", {}, 3, "standard output: Broken pipe"},
        {"SIGHUP", {SIGHUP}, 130, "hung up"},
        {"SIGINT twice, then SIGTERM", {SIGINT, SIGINT, SIGTERM}, 130, "interrupted"},
    };
    std::vector<std::unique_ptr<TCli>> runs;
    std::vector<std::string> dirs;
    for (size_t k = 0; k < std::size(stops); ++k) {
        dirs.push_back(scratch.Directory(std::string("stop-") + std::to_string(runs.size())));
        runs.push_back(std::make_unique<TCli>(
            BatchArgs(csv, scratch.Path("stop-" + std::to_string(runs.size()) + ".journal"),
                      {"--tcp", device.Tcp(), "--report", dirs.back() + "/R.csv"})));
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        TCli& cli = *runs[k];
        const auto first = cli.OutLine(In(10s));
        ASSERT_TRUE(first) << stops[k].name << ": " << cli.Err;
        EXPECT_EQ(first->rfind("line 2: ok", 0), 0u) << *first;
        if (stops[k].signals.empty()) cli.CloseOut();
        for (int signal : stops[k].signals)
            cli.Signal(signal);
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        const int code = runs[k]->Wait(In(15s));
        EXPECT_EQ(code, stops[k].exitCode) << stops[k].name << ": " << runs[k]->Err;
        EXPECT_NE(runs[k]->Err.find(stops[k].err), std::string::npos)
            << stops[k].name << ": " << runs[k]->Err;
        ExpectWholeReportOfAStoppedRun(dirs[k] + "/R.csv", 3, stops[k].name);
        // The report was renamed into place: nothing else is left beside it.
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dirs[k]))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"R.csv"}) << stops[k].name;
    }
}

TEST(CliFaults, TheReportGoesWhereItsPathLeads) {
    TSimulator device;
    ASSERT_NE(device.Port, 0);
    TScratch scratch;
    const std::string target = scratch.Path("link-target.csv"), link = scratch.Path("link.csv");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0); // dangling until the report is written
    const std::string fifo = scratch.Path("report.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Open for reading first, so that the report's open does not wait for a reader.
    const int fifoIn = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifoIn, 0);
    const std::string missingDir = scratch.Path("no-such-dir") + "/r.csv";

    struct Target {
        const char* name;
        std::string report;
        int id;
        int exitCode;
    };
    const Target targets[] = {{"symlink", link, 1, 0},
                              {"fifo", fifo, 2, 0},
                              {"standard output", "-", 3, 0},
                              {"missing dir", missingDir, 4, 2}};
    std::vector<std::unique_ptr<TCli>> runs;
    for (const Target& t : targets)
        runs.push_back(std::make_unique<TCli>(
            BatchArgs(scratch.File(std::string("report-lot-") + t.name, KestrelLot(t.id, 1)),
                      scratch.Path(std::string("report-") + t.name + ".journal"),
                      {"--tcp", device.Tcp(), "--report", t.report})));
    for (size_t k = 0; k < runs.size(); ++k)
        EXPECT_EQ(runs[k]->Wait(In(10s)), targets[k].exitCode) << targets[k].name << ": " << runs[k]->Err;

    const std::string row1 = "KESTREL-A,1,ok,", row2 = "KESTREL-A,2,ok,", row3 = "KESTREL-A,3,ok,";
    struct stat info {};
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced";
    std::error_code error;
    EXPECT_EQ(std::filesystem::read_symlink(link, error).string(), target);
    ASSERT_EQ(lstat(target.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(ReadFile(target).rfind(ReportHeader + "\r\n" + row1, 0), 0u) << ReadFile(target);

    std::string fromFifo;
    char chunk[4096];
    for (ssize_t n; (n = read(fifoIn, chunk, sizeof chunk)) > 0;)
        fromFifo.append(chunk, static_cast<size_t>(n));
    close(fifoIn);
    EXPECT_EQ(fromFifo.rfind(ReportHeader + "\r\n" + row2, 0), 0u) << fromFifo;
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the FIFO was replaced";

    EXPECT_NE(runs[2]->Out.find(ReportHeader + "\r\n" + row3), std::string::npos) << runs[2]->Out;

    EXPECT_NE(runs[3]->Err.find("cannot write the report"), std::string::npos) << runs[3]->Err;
    TSimLog log(device);
    log.Fence();
    EXPECT_EQ(log.SetIds(), (std::multiset<int>{1, 2, 3})) << "a refused report sends nothing";
}

TEST(CliFaults, AFloodingPeerHasABound) {
    TSimulator device({"--flood"});
    ASSERT_NE(device.Port, 0);
    const TRun one = Execute({"set-id", "--model", "KESTREL-A", "--id", "5", "--tcp", device.Tcp()});
    EXPECT_EQ(one.ExitCode, 1) << one.Err;
    // The whole process's time: a sanitizer's start and exit add a second or more.
    EXPECT_LT(one.ElapsedMs, UnderSanitizer ? 5000 : 2000);
    EXPECT_TRUE(std::regex_search(one.Err, std::regex("no result: [0-9]+ bytes received"))) << one.Err;
    EXPECT_GT(one.PeakKb, 0);
    if (!UnderSanitizer) {
        EXPECT_LT(one.PeakKb, MemoryBoundKb);
    }

    TScratch scratch;
    const std::string report = scratch.Path("flood.csv");
    const TRun lot =
        Execute(BatchArgs(scratch.File("flood-lot.csv", KestrelLot(1, 3)), scratch.Path("flood.journal"),
                          {"--tcp", device.Tcp(), "--report", report}));
    EXPECT_EQ(lot.ExitCode, 1) << lot.Out << lot.Err;
    if (!UnderSanitizer) {
        EXPECT_LT(lot.PeakKb, MemoryBoundKb);
    }
    const TBatchFile result = ReadReport(ReadFile(report));
    ASSERT_EQ(result.Rows.size(), 3u);
    for (const auto& row : result.Rows)
        EXPECT_NE(row.Fields[ColResult], "ok") << row.Fields[1];
    std::printf("[ peak    ] flood: set-id %ld kB, batch %ld kB\n", one.PeakKb, lot.PeakKb);
}

TEST(CliFaults, WriteErrorsOnStandardOutputAreFailures) {
    TSimulator device;
    ASSERT_NE(device.Port, 0);
    TScratch scratch;
    const std::string csv = scratch.File("full-lot.csv", KestrelLot(1, 2));
    struct Command {
        const char* name;
        std::vector<std::string> args;
    };
    const Command commands[] = {
        {"set-id", {"set-id", "--model", "KESTREL-A", "--id", "9", "--tcp", device.Tcp()}},
        {"frame", {"frame", "--model", "KESTREL-A", "--id", "9"}},
        {"batch --json", BatchArgs(csv, scratch.Path("full.journal"), {"--json", "--tcp", device.Tcp()})},
    };
    std::vector<std::unique_ptr<TCli>> runs;
    for (const Command& c : commands)
        runs.push_back(std::make_unique<TCli>(c.args, "/dev/full"));
    for (size_t k = 0; k < runs.size(); ++k) {
        EXPECT_EQ(runs[k]->Wait(In(10s)), 3) << commands[k].name << ": " << runs[k]->Err;
        EXPECT_NE(runs[k]->Err.find("standard output: No space left on device"), std::string::npos)
            << commands[k].name << ": " << runs[k]->Err;
    }
}

// send-hex of 30000 bytes every millisecond to a peer that takes none. The sends print a
// line each until the buffers are full; a pause of 200 ms in lines that otherwise come
// every millisecond says that the send is held. Ctrl-C must then end it at once.
// arrival() gives the descriptor that turns readable once bytes reached the peer.
void ExpectCtrlCEndsAHeldSend(const std::vector<std::string>& link, const std::function<int()>& arrival) {
    std::vector<std::string> args = {"send-hex", std::string(60000, 'A'), "--repeat", "1", "--count", "1000"};
    args.insert(args.end(), link.begin(), link.end());
    TCli send(args);
    const int fd = arrival();
    ASSERT_GE(fd, 0) << send.Err;
    pollfd arrived{fd, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 5000), 1) << "no byte reached the peer: " << send.Err;
    const TTime giveUp = In(10s);
    while (send.OutLine(In(200ms)))
        ASSERT_LT(steady_clock::now(), giveUp) << "the sends were never held";
    ASSERT_TRUE(send.Running()) << send.Out << send.Err;
    const TTime signalled = steady_clock::now();
    send.Signal(SIGINT);
    EXPECT_EQ(send.Wait(signalled + 1s), 130) << send.Err;
    EXPECT_LT(MsSince(signalled), 1000);
}

TEST(CliFaults, CtrlCEndsASendToATcpPeerThatDoesNotRead) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int small = 4096; // inherited by the accepted socket
    ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int peer = -1;
    ExpectCtrlCEndsAHeldSend({"--tcp", "127.0.0.1:" + std::to_string(ntohs(address.sin_port))}, [&] {
        pollfd connecting{listener, POLLIN, 0};
        if (poll(&connecting, 1, 5000) == 1) peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        return peer;
    });
    if (peer >= 0) close(peer);
    close(listener);
}

TEST(CliFaults, CtrlCEndsASendToASerialPortThatTakesNoBytes) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    ExpectCtrlCEndsAHeldSend({"--port", name}, [&] { return master; });
    close(slave);
    close(master);
}

TEST(CliFaults, DuplicateIdsRefuseTheFileBeforeTheFirstFrame) {
    TSimulator device;
    ASSERT_NE(device.Port, 0);
    TScratch scratch;
    struct Lot {
        const char* name;
        std::string csv;
        std::string listed;
    };
    const std::string through = " (--allow-duplicate-ids lets them through)\n";
    const Lot lots[] = {
        {"ids-and-a-serial",
         "model,id,serial\n"
         "KESTREL-A,5,\nMARLIN-A,7,\nKESTREL-A,5,\n# bench 2\nOSPREY-B,7,23A1705\nKESTREL-A,5,\n"
         "OSPREY-B,9,23A1705\nOSPREY-B,10,23B0001\n",
         ": duplicates, nothing was sent: ID 5 on lines 2, 4, 7; ID 7 on lines 3, 6; "
         "serial 23A1705 on lines 6, 8" +
             through},
        {"serials", "model,id,serial\nOSPREY-B,8,23A1705\nOSPREY-B,9,23A1705\n",
         ": duplicates, nothing was sent: serial 23A1705 on lines 2, 3" + through},
    };
    for (const Lot& lot : lots) {
        const std::string journal = scratch.Path(std::string("dup-") + lot.name + ".journal");
        const std::string csv = scratch.File(std::string("dup-") + lot.name + ".csv", lot.csv);
        const TRun run = Execute(BatchArgs(csv, journal, {"--tcp", device.Tcp()}));
        EXPECT_EQ(run.ExitCode, 2) << lot.name << ": " << run.Err;
        EXPECT_EQ(run.Err, "kaldora-cli batch: " + csv + lot.listed) << lot.name;
        EXPECT_FALSE(std::filesystem::exists(journal)) << lot.name;
    }
    TSimLog log(device);
    log.Fence();
    EXPECT_TRUE(log.SetIds().empty()) << "a refused file sent a frame";

    const std::string twice =
        scratch.File("dup-allowed.csv", "model,id,serial\nOSPREY-B,8,23A1705\nOSPREY-B,8,23A1705\n");
    const TRun allowed = Execute(BatchArgs(twice, scratch.Path("dup-allowed.journal"),
                                           {"--allow-duplicate-ids", "--tcp", device.Tcp()}));
    EXPECT_EQ(allowed.ExitCode, 0) << allowed.Out << allowed.Err;
    log.Fence();
    EXPECT_EQ(log.SetIdCount(8), 2);
}

// Counts the lines of a file without holding it; the last line (without CRLF) too.
size_t CountLines(const std::string& path, std::string& last) {
    std::ifstream in(path, std::ios::binary);
    size_t lines = 0;
    std::string current;
    for (std::string line; std::getline(in, line); ++lines)
        current.swap(line);
    if (!current.empty() && current.back() == '\r') current.pop_back();
    last = current;
    return lines;
}

// The lot is read, journaled and exported a chunk at a time: its first frame leaves at
// once, and its size costs no memory. 200,000 rows: a million take 13 s and more here.
TEST(CliFaults, ALargeLotStreamsThroughTheJournal) {
    constexpr int Rows = 200000;
    TSimulator device;
    ASSERT_NE(device.Port, 0);
    TScratch scratch;
    const std::string csv = scratch.Path("large.csv");
    {
        std::ofstream out(csv, std::ios::binary);
        out << "model,id\n";
        for (int k = 0; k < Rows; ++k)
            out << "KESTREL-A," << k % 256 << '\n';
    }
    const std::string report = scratch.Path("large-report.csv");
    TCli lot(BatchArgs(csv, scratch.Path("large.journal"),
                       {"--allow-duplicate-ids", "--tcp", device.Tcp(), "--report", report}));
    TSimLog log(device);
    const auto first = log.NextSetId(lot.Started + 1s);
    ASSERT_TRUE(first) << "no frame within 1 s of the start: " << lot.Err;
    EXPECT_EQ(first->Id, 0);
    const TTime interrupted = steady_clock::now();
    lot.Signal(SIGINT);
    EXPECT_EQ(lot.Wait(In(120s)), 130) << lot.Err;
    const long stopMs = MsSince(interrupted);
    EXPECT_GT(lot.PeakKb, 0);
    if (!UnderSanitizer) {
        EXPECT_LT(lot.PeakKb, MemoryBoundKb);
    }
    std::string last;
    EXPECT_EQ(CountLines(report, last), size_t(Rows) + 1);
    EXPECT_EQ(last.rfind("KESTREL-A," + std::to_string((Rows - 1) % 256) + ",not run,", 0), 0u) << last;
    std::printf("[ peak    ] %d rows: %ld kB, %ld ms from Ctrl-C to the exit\n", Rows, lot.PeakKb, stopMs);
}

// Twenty runs of one lot with one journal, each killed with SIGKILL at a random moment:
// before the run's first frame (0..1000 ms after its start) or after it (0..1000 ms
// after the simulator logged it). After each, every frame the simulator got is a row of
// the journal with a result, and no ID went out twice; a last run finishes the lot.
TEST(CliFaults, KillNineAtTwentyMomentsLosesNoFrameAndSendsNoIdTwice) {
    constexpr int Rows = 25, Kills = 20;
    const char* given = std::getenv("KALDORA_KILL_SEED");
    const unsigned seed =
        given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (KALDORA_KILL_SEED=" + std::to_string(seed) +
                 " repeats it)");
    std::mt19937 draw(seed);
    TSimulator device;
    ASSERT_NE(device.Port, 0);
    TSimLog log(device);
    TScratch scratch;
    const std::string journal = scratch.Path("kill.journal");
    const std::vector<std::string> args =
        BatchArgs(scratch.File("kill-lot.csv", KestrelLot(0, Rows)), journal, {"--tcp", device.Tcp()});

    auto check = [&](const std::string& when) {
        log.Fence();
        const std::multiset<int> sent = log.SetIds();
        for (int id : std::set<int>(sent.begin(), sent.end()))
            EXPECT_EQ(log.SetIdCount(id), 1) << when << ": ID " << id << " was sent more than once";
        const TRun exported = Execute({"journal", "export", journal});
        if (exported.ExitCode != 0) {
            // Killed before its journal was made: then nothing may have left either.
            EXPECT_TRUE(sent.empty()) << when << ": " << exported.Err;
            return;
        }
        // A run killed early holds only the rows it had read.
        std::map<int, std::string> results;
        for (const auto& row : ReadReport(exported.Out).Rows)
            results[std::stoi(row.Fields[1])] = row.Fields[ColResult];
        for (int id : sent) {
            const auto held = results.find(id);
            EXPECT_TRUE(held != results.end() && held->second != "not run")
                << when << ": ID " << id << " left, and its row says "
                << (held == results.end() ? "nothing" : held->second);
        }
    };
    for (int kill = 1; kill <= Kills; ++kill) {
        TCli run(args);
        const bool afterFrame = draw() % 2;
        const milliseconds later(draw() % 1000);
        const std::string when = "kill " + std::to_string(kill) + ", " + std::to_string(later.count()) +
                                 " ms after " + (afterFrame ? "the run's first frame" : "the run's start");
        if (afterFrame) {
            ASSERT_TRUE(log.NextSetId(In(5s))) << when << ": no frame";
        }
        run.Pump(afterFrame ? In(later) : run.Started + later);
        ASSERT_TRUE(run.Running()) << when << ": the lot ended before twenty kills";
        run.Signal(SIGKILL);
        ASSERT_EQ(run.Wait(In(5s)), 128 + SIGKILL) << when;
        check(when);
        if (HasFatalFailure()) return;
    }
    const TRun last = Execute(args, 60s);
    EXPECT_TRUE(last.ExitCode == 0 || last.ExitCode == 1) << last.ExitCode << last.Err;
    check("after the last run");
    const TBatchFile rows = ReadReport(Execute({"journal", "export", journal}).Out);
    ASSERT_EQ(rows.Rows.size(), size_t(Rows));
    for (int id = 0; id < Rows; ++id) {
        const std::string& result = rows.Rows[id].Fields[ColResult];
        EXPECT_TRUE(result == "ok" || result == "unknown") << "ID " << id << ": " << result;
        if (result == "ok") {
            EXPECT_EQ(log.SetIdCount(id), 1) << "ID " << id;
        }
    }
}

} // namespace
