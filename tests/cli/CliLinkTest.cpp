// kaldora-cli over real links: the device simulator runs as a child process on a
// pseudo-terminal and on a loopback TCP port.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../DevsimProcess.h"
#include "cli/Exchange.h"
#include "protocol/HexText.h"
#include "cli/KaldoraCli.h"
#include "protocol/Reply.h"

namespace {

using namespace std::chrono;

// One kaldora-devsim child with a TCP port, a pseudo-terminal and the given faults.
struct TDevsim : TDevsimProcess {
    explicit TDevsim(const std::vector<std::string>& faults = {}) : TDevsimProcess(KALDORA_DEVSIM_PATH, faults) {}
};

TCliResult Cli(std::vector<std::string> args) {
    return RunCli(args);
}

// A loopback port that nothing listens on: bound, read, closed.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

// A shell command's standard output and exit status.
int RunShell(const std::string& command, std::string& out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 512> buffer{};
    out.clear();
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
        out.append(buffer.data(), n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProgram(const std::string& args, std::string& out) {
    return RunShell(std::string(KALDORA_CLI_PATH) + " " + args + " 2>/dev/null", out);
}

TEST(CliLinkOptions, NameTheOptionAndValueTheyRefuse) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        const char* error; // empty: accepted
    } rows[] = {
        {"com name", {"--port", "com3", "--baud=115200", "--parity", "Odd", "--id", "5"}, ""},
        {"tcp", {"--tcp", "localhost:4660"}, ""},
        {"ipv6 tcp", {"--tcp", "[::1]:1"}, ""},
        {"no link at all", {"--id", "5"}, ""},
        {"com zero", {"--port", "COM0"}, "--port COM0: ports are numbered from COM1"},
        {"relative path", {"--port", "fx/dev"}, ""},
        {"com name that is not one", {"--port", "comx"}, ""},
        {"rate not offered", {"--port", "COM1", "--baud", "1200"}, "--baud 1200: the rates are 2400, 4800,"},
        {"parity", {"--port", "COM1", "--parity=x"}, "--parity x: give none, odd, even, mark or space"},
        {"tcp port 0", {"--tcp", "127.0.0.1:0"}, "--tcp 127.0.0.1:0: the port 0 is outside 1..65535"},
        {"tcp port high", {"--tcp", "h:65536"}, "--tcp h:65536: the port 65536 is outside 1..65535"},
        {"tcp port text", {"--tcp", "h:x1"}, "--tcp h:x1: the port 'x1' is not a decimal number"},
        {"no host", {"--tcp", ":4660"}, "--tcp :4660: the host is missing"},
        {"no colon", {"--tcp", "h"}, "--tcp h: give HOST:PORT"},
        {"both links", {"--port", "COM1", "--tcp", "h:1"}, "give either a serial port or a TCP link"},
        {"baud without port", {"--baud", "9600"}, "--baud 9600: no port given"},
        {"missing value", {"--port"}, "option '--port' needs a value"},
    };
    for (const auto& row : rows) {
        TLinkSettings settings;
        std::vector<std::string> rest;
        const std::string error = ParseLinkOptions(row.args, settings, rest);
        if (*row.error) {
            EXPECT_NE(error.find(row.error), std::string::npos) << row.name << ": " << error;
            continue;
        }
        EXPECT_EQ(error, "") << row.name;
        if (std::string(row.name) == "com name") {
            EXPECT_EQ(settings.Kind, TLinkSettings::TKind::Serial);
            EXPECT_EQ(settings.Baud, 115200u);
            EXPECT_EQ(settings.LineParity, paOdd);
            EXPECT_EQ(rest, (std::vector<std::string>{"--id", "5"}));
        }
        if (std::string(row.name) == "relative path") {
            // Kept absolute: anything that is not COMn names a file.
            EXPECT_EQ(settings.Port.front(), '/');
            EXPECT_EQ(settings.Port.substr(settings.Port.size() - 7), "/fx/dev");
        }
        if (std::string(row.name) == "ipv6 tcp") {
            EXPECT_EQ(settings.Name(), "[::1]:1");
        }
    }
}

// Every command over both links, as the window would log it.
TEST(CliOverLinks, CommandsPrintTheWindowsLineAndExitCode) {
    TDevsim sim;
    ASSERT_NE(sim.Port, 0);
    ASSERT_FALSE(sim.Pty.empty());
    struct Row {
        std::vector<std::string> args;
        const char* out;
        int exitCode;
    } rows[] = {
        {{"set-id", "--model", "KESTREL-A", "--id", "5"}, "SetID_OK\n", CliSuccess},
        {{"set-id", "--model", "MARLIN-A", "--id", "63"}, "SetID_OK\n", CliSuccess},
        {{"set-id", "--model", "OSPREY-B", "--serial", "23A1705"}, "SetID_OK\n", CliSuccess},
        {{"set-eln", "--model", "KESTREL-A", "--eln", "24B0001"}, "SetSerial_number_OK\n", CliSuccess},
        {{"read-eln", "--model", "KESTREL-A"}, "24B0001\n", CliSuccess},
        {{"send-hex", "24 00 FF FF 00 FE 01 3A 03 82 88", "--listen", "1200"},
         "sent 11 bytes\nreceived 20 bytes: ",
         CliSuccess},
        {{"send-text", "AT"}, "sent 3 bytes\n", CliSuccess},
    };
    for (const std::string link : {"--port", "--tcp"}) {
        for (const auto& row : rows) {
            auto args = row.args;
            args.insert(args.end(), {link, link == "--tcp" ? sim.Tcp() : sim.Pty});
            const auto started = steady_clock::now();
            const TCliResult r = Cli(args);
            const auto ms = duration_cast<milliseconds>(steady_clock::now() - started).count();
            EXPECT_EQ(r.ExitCode, row.exitCode) << args[0] << " " << link << ": " << r.Err;
            EXPECT_EQ(r.Out.rfind(row.out, 0), 0u) << args[0] << " " << link << ": " << r.Out;
            // The result comes one judging delay after the reply, not at the time-out.
            if (args[0] != "send-hex" && args[0] != "send-text") {
                EXPECT_GE(ms, ReplyJudgeDelayMs) << args[0] << " " << link;
                EXPECT_LT(ms, ReplyJudgeDelayMs + 800) << args[0] << " " << link;
            }
        }
    }
}

TEST(CliOverLinks, RepliesOfOtherLengthsAndNoReplyGiveExit1) {
    TDevsim longer({"--reply-length", "14"});
    TDevsim split({"--split", "8@1200"});
    TDevsim late({"--split", "8@400"});
    struct Row {
        TDevsim& sim;
        const char* err; // what standard error says
        int exitCode;
    } rows[] = {
        {longer, "no result: 14 bytes received, a reply is 13, 15 or 20 bytes", CliNoResult},
        // Judged 1000 ms after the first chunk: the second, 1200 ms later, is not counted.
        {split, "no result: 8 bytes received", CliNoResult},
        {late, "", CliSuccess},
    };
    for (const auto& row : rows) {
        const TCliResult r = Cli({"set-id", "--model", "KESTREL-A", "--tcp", row.sim.Tcp()});
        EXPECT_EQ(r.ExitCode, row.exitCode) << r.Err;
        EXPECT_NE(r.Err.find(row.err), std::string::npos) << r.Err;
    }
}

TEST(CliOverLinks, SilentDeviceGivesErrorAtTheTimeout) {
    TDevsim sim({"--silent"});
    const auto started = steady_clock::now();
    const TCliResult r = Cli({"set-id", "--model", "KESTREL-A", "--port", sim.Pty});
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - started).count();
    EXPECT_EQ(r.ExitCode, CliNoResult);
    EXPECT_EQ(r.Out, "Error\n");
    EXPECT_NE(r.Err.find("no reply within 3000 ms from " + sim.Pty), std::string::npos) << r.Err;
    EXPECT_GE(ms, ReplyTimeoutMs);
    EXPECT_LT(ms, ReplyTimeoutMs + 800);
}

TEST(CliOverLinks, LinksThatDoNotOpenGiveExit2WithTheReason) {
    TDevsim sim;
    std::string holderOut;
    // Another program holding the pty.
    TLinkSettings holderSpec;
    holderSpec.Kind = TLinkSettings::TKind::Serial;
    holderSpec.Port = sim.Pty;
    const auto holder = MakeLink(holderSpec);
    ASSERT_EQ(holder->Open(), "");
    const std::string freePort = "127.0.0.1:" + std::to_string(FreePort());
    struct Row {
        std::vector<std::string> link;
        const char* reason;
    } rows[] = {
        {{"--port", "COM99"}, "COM99: no such port; "},
        {{"--port", "/dev/kaldora-none"}, "/dev/kaldora-none: no such device"},
        {{"--port", sim.Pty}, "in use by another program"},
        {{"--tcp", freePort}, "connection refused"},
        {{"--tcp", "kaldora-no-such-host.invalid:4660"}, "not found: the name does not resolve"},
        {{"--tcp", "127.0.0.1:65536"}, "--tcp 127.0.0.1:65536: the port 65536 is outside 1..65535"},
        {{"--id", "256", "--tcp", sim.Tcp()}, "--id 256: a device ID is 0..255"},
        {{}, "no link given: add --port COMn|PATH or --tcp HOST:PORT"},
    };
    for (const char* command : {"set-id", "send-hex"}) {
        for (const auto& row : rows) {
            const bool raw = std::string(command) == "send-hex";
            if (raw && !row.link.empty() && row.link[0] == "--id") continue; // --id is set-id's
            std::vector<std::string> args = {command};
            if (raw) args.push_back("01");
            args.insert(args.end(), row.link.begin(), row.link.end());
            const TCliResult r = Cli(args);
            EXPECT_EQ(r.ExitCode, CliFailure) << command << " " << row.reason;
            EXPECT_NE(r.Err.find(row.reason), std::string::npos) << command << ": " << r.Err;
        }
    }
    holder->Close();
    EXPECT_EQ(Cli({"set-id", "--model", "KESTREL-A", "--port", sim.Pty}).ExitCode, CliSuccess);
}

TEST(CliOverLinks, RawSendsParseStrictlyAndRepeat) {
    TDevsim sim;
    const TCliResult bad = Cli({"send-hex", "24 0G", "--tcp", sim.Tcp()});
    EXPECT_EQ(bad.ExitCode, CliFailure);
    EXPECT_NE(bad.Err.find("'24 0G': 'G' at position 5 is not a hexadecimal digit"), std::string::npos)
        << bad.Err;
    EXPECT_EQ(Cli({"send-hex", "01", "--repeat", "100", "--tcp", sim.Tcp()}).ExitCode, CliFailure);
    EXPECT_EQ(Cli({"send-hex", "01", "--count", "0", "--tcp", sim.Tcp()}).ExitCode, CliFailure);

    // Three Set_ID frames 300 ms apart, each answered within the listening time.
    const auto started = steady_clock::now();
    const TCliResult r = Cli({"send-hex", "240000FF01FD025A0103", "--tcp", sim.Tcp(), "--repeat", "300",
                              "--count", "3", "--listen", "250"});
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - started).count();
    EXPECT_EQ(r.ExitCode, CliNoResult) << r.Out << r.Err; // a frame with a wrong CRC gets no answer
    EXPECT_EQ(r.Out, "sent 10 bytes\nreceived nothing in 250 ms\nsent 10 bytes\nreceived nothing in 250 ms\n"
                     "sent 10 bytes\nreceived nothing in 250 ms\n");
    EXPECT_GE(ms, 850);
}

TEST(CliOverLinks, JsonLinesParseAsJson) {
    TDevsim sim;
    TDevsim silent({"--reply-length", "14"});
    const std::string checker =
        "python3 -c 'import json,sys\n"
        "for l in sys.stdin:\n"
        "  o=json.loads(l)\n"
        "  print(o[\"command\"],o[\"result\"],o[\"accepted\"],o[\"exit_code\"],"
        "o[\"elapsed_ms\"] is not None,o[\"error\"] is not None,o[\"reply\"] is not None)'";
    struct Row {
        std::string args;
        int exitCode;
        const char* parsed;
    } rows[] = {
        {"set-id --model KESTREL-A --tcp " + sim.Tcp(), 0, "set-id SetID_OK True 0 True False True\n"},
        {"read-eln --model KESTREL-A --port " + sim.Pty, 0, "read-eln 23A1705 True 0 True False True\n"},
        {"set-id --model KESTREL-A --tcp " + silent.Tcp(), 1, "set-id  False 1 True True True\n"},
        {"set-id --id 256 --tcp " + sim.Tcp(), 2, "set-id None None 2 False True False\n"},
        {"set-id --port COM99", 2, "set-id None None 2 False True False\n"},
        {"frame --serial '2\"\\' --model OSPREY-B", 2, "frame None None 2 False True False\n"},
        {"frame --model KESTREL-A", 0, "frame None None 0 False False False\n"},
        {"decode 24 00 FF FF 01 FD 02 5A 01 03 0C 8B", 0, "decode frame verified None 0 False False False\n"},
        {"send-text hi --tcp " + sim.Tcp() + " --repeat 50 --count 2", 0,
         "send-text sent 3 bytes None 0 True False False\nsend-text sent 3 bytes None 0 True False False\n"},
        {"ports", 0, ""},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(RunProgram(row.args + " --json", out), row.exitCode) << row.args;
        const std::string file = testing::TempDir() + "cli-json.txt";
        std::ofstream(file) << out;
        std::string parsed;
        EXPECT_EQ(RunShell(checker + " < " + file, parsed), 0) << row.args << ": " << out;
        if (*row.parsed) {
            EXPECT_EQ(parsed, row.parsed) << row.args << ": " << out;
        }
    }
}

// Batch runs one link per thread: the exchanges must not wait for each other.
TEST(CliOverLinks, ExchangesRunInParallelOnePerThread) {
    TDevsim sim;
    TLinkSettings serial, tcp;
    std::vector<std::string> rest;
    ASSERT_EQ(ParseLinkOptions({"--port", sim.Pty}, serial, rest), "");
    ASSERT_EQ(ParseLinkOptions({"--tcp", sim.Tcp()}, tcp, rest), "");
    const std::vector<uint8_t> frame = {0x24, 0x00, 0xFF, 0xFF, 0x01, 0xFD,
                                        0x02, 0x5A, 0x01, 0x03, 0x0C, 0x8B};
    TExchangeResult results[3];
    const auto started = steady_clock::now();
    std::vector<std::thread> threads;
    const TLinkSettings allSettings[3] = {serial, tcp, tcp};
    for (int k = 0; k < 3; ++k)
        threads.emplace_back([&, k] {
            const auto link = MakeLink(allSettings[k]);
            if (link->Open().empty()) results[k] = RunExchange(*link, frame, {ReplyKindSetId});
        });
    for (auto& t : threads)
        t.join();
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - started).count();
    for (const auto& r : results) {
        EXPECT_EQ(r.Outcome, TExchangeOutcome::Accepted) << OutcomeDetail(r);
        EXPECT_EQ(r.ResultLine, "SetID_OK");
        EXPECT_EQ(HexText(r.Frame), "24 00 FF FF 01 FD 02 5A 01 03 0C 8B");
        EXPECT_EQ(r.Reply.size(), 13u);
    }
    EXPECT_LT(ms, 2 * ReplyJudgeDelayMs);
}

// Ctrl-C while waiting for a reply: the program leaves at once and frees the port.
TEST(CliOverLinks, InterruptClosesThePortAndExits130) {
    TDevsim sim({"--silent"});
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(KALDORA_CLI_PATH, KALDORA_CLI_PATH, "set-id", "--port", sim.Pty.c_str(), nullptr);
        _exit(127);
    }
    // The frame reaching the simulator shows that the program waits for the reply.
    std::string line;
    while ((line = sim.ReadLine(steady_clock::now() + seconds(3))).rfind("rx", 0) != 0 && !line.empty()) {
    }
    ASSERT_FALSE(line.empty());
    const auto started = steady_clock::now();
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - started).count(), 1000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), CliInterrupted);
    TLinkSettings settings;
    settings.Kind = TLinkSettings::TKind::Serial;
    settings.Port = sim.Pty;
    EXPECT_EQ(MakeLink(settings)->Open(), "");
}

} // namespace
