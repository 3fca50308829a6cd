// kaldora-cli station as a program against simulated lines: devices that come and go on
// pseudo-terminals, one of which vanishes while no device is there.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "../DevsimProcess.h"
#include "cli/Csv.h"

namespace {

using namespace std::chrono;

// A child process whose standard output is read line by line.
class TChild {
public:
    explicit TChild(std::vector<std::string> args, const std::string& errPath = "/dev/null") {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        FPid = fork();
        if (FPid == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) dup2(err, STDERR_FILENO);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FOut = out[0];
    }
    ~TChild() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        if (FOut >= 0) close(FOut);
    }

    // The next line; empty at the deadline or the end.
    std::string ReadLine(steady_clock::time_point deadline) {
        for (;;) {
            if (const size_t end = FBuffer.find('\n'); end != std::string::npos) {
                std::string line = FBuffer.substr(0, end);
                FBuffer.erase(0, end + 1);
                return line;
            }
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{FOut, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "";
            char chunk[4096];
            const ssize_t n = read(FOut, chunk, sizeof chunk);
            if (n <= 0) return "";
            FBuffer.append(chunk, static_cast<size_t>(n));
        }
    }
    // Reads lines until one contains text; false at the deadline or the end.
    bool AwaitLine(const std::string& text, steady_clock::time_point deadline, std::string* all = nullptr) {
        for (;;) {
            const std::string line = ReadLine(deadline);
            if (line.empty()) return false;
            if (all) *all += line + "\n";
            if (line.find(text) != std::string::npos) return true;
        }
    }
    void Signal(int signal) { kill(FPid, signal); }
    // The exit status; -1 when it has not ended by the deadline.
    int Wait(steady_clock::time_point deadline) {
        while (!ReadLine(deadline).empty()) {
        }
        int status = 0;
        for (;;) {
            if (waitpid(FPid, &status, WNOHANG) == FPid) break;
            if (steady_clock::now() > deadline) return -1;
            pollfd none{-1, 0, 0};
            poll(&none, 0, 10);
        }
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t FPid = -1;
    int FOut = -1;
    std::string FBuffer;
};

// A simulated line: its log read all along, so that it never blocks on a full pipe.
class TLine {
public:
    explicit TLine(const std::vector<std::string>& options) : FSim(KALDORA_DEVSIM_PATH, options) {
        FReader = std::thread([this] {
            for (;;) {
                const std::string line = FSim.ReadLine(steady_clock::now() + seconds(60));
                if (line.empty()) return;
                std::lock_guard guard(FLock);
                FLog.push_back(line);
            }
        });
    }
    ~TLine() {
        kill(FSim.Pid(), SIGTERM);
        FReader.join();
    }
    // ELN -> every ID it took, from "device: ELN 24B0001 took ID 7".
    std::multimap<std::string, int> Taken() {
        static const std::regex took("device: ELN \"?([^\" ]+)\"? took ID ([0-9]+)");
        std::multimap<std::string, int> taken;
        std::lock_guard guard(FLock);
        std::smatch m;
        for (const std::string& line : FLog)
            if (std::regex_search(line, m, took)) taken.emplace(m[1], std::stoi(m[2]));
        return taken;
    }
    TDevsimProcess FSim;

private:
    std::thread FReader;
    std::mutex FLock;
    std::vector<std::string> FLog;
};

class StationEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        std::string templ = testing::TempDir() + "kaldora-station-e2e-XXXXXX";
        Dir = mkdtemp(templ.data());
        Journal = Dir + "/lot.db";
    }
    void TearDown() override {
        if (!Dir.empty()) std::filesystem::remove_all(Dir);
    }

    std::vector<std::string> Station(const std::vector<std::string>& options) {
        std::vector<std::string> args = {KALDORA_CLI_PATH, "station", "--model", "KESTREL-A",
                                         "--journal",      Journal,   "--fast"};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    // eln -> (id, result) from journal export.
    std::map<std::string, std::pair<int, std::string>> Export() {
        TChild exporter({KALDORA_CLI_PATH, "journal", "export", Journal});
        std::map<std::string, std::pair<int, std::string>> rows;
        std::string line = exporter.ReadLine(steady_clock::now() + seconds(5));
        EXPECT_EQ(line, "eln,id,result,fixture,attempts,time\r");
        while (!(line = exporter.ReadLine(steady_clock::now() + seconds(5))).empty()) {
            std::stringstream fields(line);
            std::string eln, id, result;
            std::getline(fields, eln, ',');
            std::getline(fields, id, ',');
            std::getline(fields, result, ',');
            EXPECT_EQ(rows.count(eln), 0u) << "a second row for " << eln;
            rows[eln] = {std::stoi(id), result};
        }
        EXPECT_EQ(exporter.Wait(steady_clock::now() + seconds(5)), 0);
        return rows;
    }

    std::string Dir, Journal;
};

std::string Elns(int from, int to) {
    std::string list;
    for (int k = from; k <= to; ++k)
        list += (list.empty() ? "" : ",") + std::string("24B00") + (k < 10 ? "0" : "") + std::to_string(k);
    return list;
}

TEST_F(StationEndToEnd, TwoFixturesOneThatReplugsGiveTenDevicesTheLowestIdsOnce) {
    const std::string replugging = Dir + "/fx2";
    TLine fixed({"--devices", Elns(1, 5), "--present", "400", "--absent", "200"});
    TLine replug({"--link", replugging, "--replug", "--devices", Elns(6, 8) + ",24B0006," + Elns(9, 10),
                  "--present", "400", "--absent", "200"});
    ASSERT_FALSE(fixed.FSim.Pty.empty());
    TChild station(Station({"--ids", "1-12", "--port", fixed.FSim.Pty, "--port", replugging}), Dir + "/err");
    const auto deadline = steady_clock::now() + seconds(30);
    std::string events;
    int sets = 0;
    while (sets < 10 && station.AwaitLine(" set ELN ", deadline, &events))
        ++sets;
    ASSERT_EQ(sets, 10) << events;
    // The device put back: known, and not set again.
    while (events.find("known ELN 24B0006 ID") == std::string::npos &&
           station.AwaitLine(" known ", deadline, &events)) {
    }
    EXPECT_NE(events.find("known ELN 24B0006 ID"), std::string::npos) << events;
    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(steady_clock::now() + seconds(5)), 130);

    const auto rows = Export();
    ASSERT_EQ(rows.size(), 10u);
    std::set<int> ids;
    for (const auto& [eln, row] : rows) {
        EXPECT_EQ(row.second, "ok") << eln;
        ids.insert(row.first);
    }
    EXPECT_EQ(ids, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    auto taken = fixed.Taken();
    taken.merge(replug.Taken());
    EXPECT_EQ(taken.size(), 10u) << "every device was set once";
    for (const auto& [eln, id] : taken)
        EXPECT_EQ(rows.at(eln).first, id) << eln;
}

TEST_F(StationEndToEnd, KilledAtAnyMomentAndRunAgainNoIdIsGivenTwiceAndNoDeviceIsLost) {
    TLine line({"--devices", Elns(1, 6), "--present", "900", "--absent", "200"});
    ASSERT_FALSE(line.FSim.Pty.empty());
    const auto args = Station({"--ids", "1-6", "--port", line.FSim.Pty});
    const auto deadline = steady_clock::now() + seconds(30);
    // Killed once as a frame is about to leave, once right after its result.
    for (const char* moment : {" identified ELN 24B0002", " set ELN 24B0004"}) {
        TChild station(args);
        ASSERT_TRUE(station.AwaitLine(moment, deadline)) << moment;
        station.Signal(SIGKILL);
        EXPECT_EQ(station.Wait(deadline), 128 + SIGKILL);
    }
    TChild station(args, Dir + "/err");
    EXPECT_EQ(station.Wait(deadline), 0) << "the pool is used up, every device ok";

    const auto rows = Export();
    ASSERT_EQ(rows.size(), 6u);
    std::set<int> ids;
    for (const auto& [eln, row] : rows) {
        EXPECT_EQ(row.second, "ok") << eln;
        ids.insert(row.first);
    }
    EXPECT_EQ(ids.size(), 6u) << "an ID was given twice";
    // A device may have been sent its own ID again after a kill, never another one.
    for (const auto& [eln, id] : line.Taken())
        EXPECT_EQ(rows.at(eln).first, id) << eln;
}

} // namespace
