// kaldora-cli batch as a program against device simulators on pseudo-terminals and TCP.
// Each Set_ID costs about a second of real time, so the runs are few and share rows.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../DevsimProcess.h"
#include "cli/Batch.h"

namespace {

using namespace std::chrono;

// One kaldora-devsim child serving TCP on a free loopback port and a pseudo-terminal.
struct TSimulator : TDevsimProcess {
    explicit TSimulator(const std::vector<std::string>& faults = {}) : TDevsimProcess(KALDORA_DEVSIM_PATH, faults) {}
};

struct TRun {
    int ExitCode = -1;
    std::string Out, Err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "kaldora-batch-" + std::to_string(getpid()) + "-" + name;
}

void RemoveJournal(const std::string& path) {
    for (const char* end : {"", "-wal", "-shm"})
        std::remove((path + end).c_str());
}

// Each run has a journal of its own, removed afterwards, so that no run resumes another.
TRun Batch(const std::string& args) {
    const std::string out = TempPath("out"), err = TempPath("err"), journal = TempPath("journal");
    RemoveJournal(journal);
    const int status = std::system((std::string(KALDORA_CLI_PATH) + " batch " + args + " --journal " + journal +
                                    " >" + out + " 2>" + err + " </dev/null")
                                       .c_str());
    RemoveJournal(journal);
    TRun run;
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = ReadFile(out);
    run.Err = ReadFile(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

std::string WriteCsv(const std::string& name, const std::string& text) {
    const std::string path = TempPath(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(BatchEndToEnd, GoodFailingAndMalformedRowsOverTwoPortsAndOneThatDoesNotOpen) {
    TSimulator good;
    TSimulator shortReplies({"--reply-length", "14"});
    ASSERT_FALSE(good.Pty.empty());
    ASSERT_FALSE(shortReplies.Pty.empty());
    const std::string csv = WriteCsv("lot.csv", "\xEF\xBB\xBFmodel,id,serial,station\r\n"
                                                "# lot 7\r\n"
                                                "KESTREL-A,5,,\"bench 1, left\"\r\n"
                                                "OSPREY-B,9,23A1705,b2\r\n"
                                                "WREN,3,,x\r\n"
                                                "MARLIN-A,700,,\r\n"
                                                "MARLIN-A,7,,\r\n"
                                                "osprey-b,8,2391234,b3\r\n");
    const std::string report = TempPath("report.csv");
    const TRun run = Batch(csv + " --port " + good.Pty + " --port /dev/kaldora-no-such-port --port " +
                           shortReplies.Pty + " --report " + report);
    EXPECT_EQ(run.ExitCode, 1) << run.Out << run.Err;
    EXPECT_NE(run.Err.find("/dev/kaldora-no-such-port"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("the other ports carry on"), std::string::npos) << run.Err;

    // Which rows each port takes depends on timing; what a row gets depends on its port.
    const TBatchFile result = ParseBatchCsv(ReadFile(report));
    ASSERT_EQ(result.Error, "");
    ASSERT_EQ(result.Rows.size(), 6u);
    ASSERT_EQ(result.Header.Columns.size(), 11u);
    int ok = 0, failed = 0, onGood = 0, onShort = 0;
    for (const auto& row : result.Rows) {
        const auto& f = row.Fields; // model,id,serial,station,result,reason,reply,attempts,port,elapsed_ms,time
        if (f[0] == "WREN" || f[1] == "700") {
            EXPECT_EQ(f[4], "skipped") << f[0];
            EXPECT_EQ(f[7], "0");
            continue;
        }
        EXPECT_EQ(f[7], "1") << f[1];
        EXPECT_EQ(f[10].size(), 25u) << f[10];
        if (f[8] == good.Pty) {
            ++onGood;
            ++ok;
            EXPECT_EQ(f[4], "ok") << f[1] << ": " << f[5];
            EXPECT_EQ(f[6].size(), 13u * 3 - 1) << f[6];
            EXPECT_GE(std::stol(f[9]), 900) << f[9];
        } else {
            ++onShort;
            ++failed;
            EXPECT_EQ(f[8], shortReplies.Pty);
            EXPECT_EQ(f[4], "failed");
            EXPECT_EQ(f[5], "no result: 14 bytes received, a reply is 13, 15 or 20 bytes");
        }
    }
    EXPECT_GE(onGood, 1);
    EXPECT_GE(onShort, 1);
    EXPECT_EQ(result.Rows[0].Fields[3], "bench 1, left");
    EXPECT_EQ(result.Rows[1].Fields[2], "23A1705");

    const std::string counts = "Summary: 6 rows: " + std::to_string(ok) + " ok, " + std::to_string(failed) +
                               " failed, 2 skipped, 0 not run\n";
    EXPECT_NE(run.Out.find(counts), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("  skipped line 5: unknown model 'WREN'"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("  skipped line 6: id 700 is outside 0..255"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("Report: " + report), std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.find('\r'), std::string::npos) << "no progress line when the output is not a terminal";
    std::remove(report.c_str());
    std::remove(csv.c_str());
}

TEST(BatchEndToEnd, AllRowsOkOverTcpWithJsonLines) {
    TSimulator device;
    ASSERT_FALSE(device.Tcp().empty());
    const std::string csv = WriteCsv("ok.csv", "model,id\nKESTREL-A,1\n");
    const TRun run = Batch(csv + " --json --tcp " + device.Tcp());
    EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Err, "");
    EXPECT_NE(run.Out.find("{\"type\":\"row\",\"line\":2,\"result\":\"ok\",\"reason\":\"\",\"reply\":\"24 "),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("{\"type\":\"summary\",\"rows\":1,\"ok\":1,\"failed\":0,\"late_reply\":0,"
                           "\"lost_after_send\":0,\"unknown\":0,\"skipped\":0,\"not_run\":0,"
                           "\"interrupted\":false,\"ports\":\"" +
                           device.Tcp() + " 1 row\",\"problems\":[],\"more_problems\":0}\n"),
              std::string::npos)
        << run.Out;
    std::remove(csv.c_str());
}

TEST(BatchEndToEnd, BadUseExitsWith2AndSaysWhy) {
    const std::string csv = WriteCsv("two.csv", "model,id\nKESTREL-A,1\nMARLIN-A,2\n");
    const std::string report = TempPath("bad-report.csv");
    struct Row {
        std::string args;
        int exitCode;
        std::string err;
    };
    const std::string noHeader = WriteCsv("nohead.csv", "KESTREL-A,1\n");
    const Row cases[] = {
        {csv, 2, "no link given: add --port COMn|PATH"},
        {csv + " --port /dev/kaldora-no-such-port --report " + report, 2, "/dev/kaldora-no-such-port"},
        {TempPath("missing.csv") + " --port /dev/null", 2, "cannot read '"},
        {csv + " --port /dev/null --retries x", 2, "--retries x: 'x' is not a valid integer value"},
        {csv + " --port /dev/null --retries 101", 2, "--retries 101: give a whole number 0..100"},
        {csv + " --port /dev/null --port /dev/null", 2, "--port /dev/null is given twice"},
        {csv + " --port /dev/null --report /nonexistent-dir/r.csv", 2, "cannot write the report"},
        {noHeader + " --port /dev/null", 2, "names no 'model' column"},
    };
    for (const auto& c : cases) {
        const TRun run = Batch(c.args);
        EXPECT_EQ(run.ExitCode, c.exitCode) << c.args << "\n" << run.Out << run.Err;
        EXPECT_NE(run.Err.find(c.err), std::string::npos) << c.args << "\n" << run.Err;
    }
    // The port that did not open still leaves a report: every row not run, and why.
    EXPECT_EQ(ReadFile(report), "model,id,result,reason,reply,attempts,port,elapsed_ms,time\r\n"
                                "KESTREL-A,1,not run,no port could be opened,,0,,,\r\n"
                                "MARLIN-A,2,not run,no port could be opened,,0,,,\r\n");
    const TRun help = Batch("--help");
    EXPECT_EQ(help.ExitCode, 0);
    for (const char* text : {"--report", "--retries", "--json", "--port", "--tcp", "130", "not run", "serial"})
        EXPECT_NE(help.Out.find(text), std::string::npos) << text;
    std::remove(report.c_str());
    std::remove(csv.c_str());
    std::remove(noHeader.c_str());
}

} // namespace
