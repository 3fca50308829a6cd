#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../DevsimProcess.h"
#include "devsim/DeviceResponder.h"
#include "devsim/DevsimOptions.h"
#include "devsim/FrameReassembler.h"
#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/HexText.h"

namespace {

using TBytes = std::vector<uint8_t>;

TBytes Frame(TCommandKind kind, TModel model, int id = 1, bool encrypt = false, std::string data = "") {
    TCommandInputs inputs;
    ApplyModelSelection(inputs, model);
    inputs.Kind = kind;
    inputs.Id = id;
    inputs.Encrypt = encrypt;
    if (!data.empty()) inputs.DataText = data;
    TCipherState cipher{};
    return BuildCommandFrame(inputs, cipher);
}

TBytes Cat(std::initializer_list<TBytes> parts) {
    TBytes all;
    for (const TBytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The events as a short text: F frame, B bad CRC, S<n> n skipped bytes.
std::string Trace(const std::vector<TReassemblyEvent>& events) {
    std::string text;
    for (const auto& e : events) {
        if (!text.empty()) text += ' ';
        if (e.Kind == TReassemblyEvent::TKind::Frame) text += e.Encrypted ? "Fc" : "F";
        if (e.Kind == TReassemblyEvent::TKind::BadCrc) text += "B";
        if (e.Kind == TReassemblyEvent::TKind::Skipped) text += "S" + std::to_string(e.Bytes.size());
    }
    return text;
}

std::vector<TReassemblyEvent> FeedInPieces(TFrameReassembler& reader, const TBytes& stream,
                                           const std::vector<size_t>& cuts) {
    std::vector<TReassemblyEvent> events;
    size_t from = 0;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        const size_t to = k < cuts.size() ? cuts[k] : stream.size();
        for (auto& e : reader.Feed(stream.data() + from, to - from))
            events.push_back(std::move(e));
        from = to;
    }
    return events;
}

TEST(DevsimReassembly, CutsFramesOutOfAnyChunking) {
    const TBytes kestrel = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    const TBytes marlin = Frame(TCommandKind::SetId, TModel::MarlinA, 9); // 59 bytes, form B
    const TBytes readEln = Frame(TCommandKind::ReadEln, TModel::MarlinA);
    const TBytes cipherEln = Frame(TCommandKind::SetEln, TModel::KestrelA, 1, true);
    // 300 data bytes: a three-byte length prefix, enciphered with the rest of the block.
    const TBytes longCipher = Frame(TCommandKind::SetId, TModel::MarlinA, 3, true, std::string(900, '1'));
    TBytes badCrc = kestrel;
    badCrc.back() ^= 0x55;
    const TBytes garbage = {0x41, 0x24, 0x19, 0x00, 0x24, 0xFF};

    struct Row {
        const char* name;
        TBytes stream;
        std::vector<size_t> cuts;
        const char* trace;
    };
    std::vector<size_t> everyByte;
    for (size_t k = 1; k < kestrel.size() + marlin.size(); ++k)
        everyByte.push_back(k);
    const Row rows[] = {
        {"one frame, one chunk", kestrel, {}, "F"},
        {"two frames byte by byte", Cat({kestrel, marlin}), everyByte, "F F"},
        {"three frames merged", Cat({marlin, readEln, kestrel}), {}, "F F F"},
        {"split inside the second frame's header", Cat({kestrel, readEln}), {kestrel.size() + 3}, "F F"},
        {"leading garbage with start bytes", Cat({garbage, kestrel}), {}, "S6 F"},
        {"garbage in its own chunk", Cat({garbage, readEln}), {garbage.size()}, "S6 F"},
        {"garbage between frames", Cat({readEln, garbage, marlin}), {20}, "F S6 F"},
        {"enciphered ELN set", cipherEln, {7}, "Fc"},
        {"three-byte prefix, enciphered", longCipher, {5, 200}, "Fc"},
        // A head whose check byte promises 255 payload bytes must not hold the frame behind it.
        {"garbage like a long frame's head", Cat({{0x24, 0, 0, 0, 0, 0x00, 0xFF}, kestrel}), {3}, "S7 F"},
        {"bad CRC, then a good frame", Cat({badCrc, kestrel}), {}, "B F"},
        {"bad CRC alone", badCrc, {}, "B"},
    };
    for (const Row& row : rows) {
        TFrameReassembler reader;
        const auto events = FeedInPieces(reader, row.stream, row.cuts);
        EXPECT_EQ(Trace(events), row.trace) << row.name;
        EXPECT_EQ(reader.Pending(), 0u) << row.name;
        TBytes again; // every byte is accounted for, in order
        for (const auto& e : events)
            again.insert(again.end(), e.Bytes.begin(), e.Bytes.end());
        EXPECT_EQ(again, row.stream) << row.name;
    }
}

TEST(DevsimReassembly, GarbageNeitherGrowsTheBufferNorHidesTheNextFrame) {
    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 7);
    for (size_t capacity : {size_t{300}, LongestFrame}) {
        std::mt19937 random(capacity);
        TFrameReassembler reader(capacity);
        TBytes noise(200000);
        for (auto& b : noise) // dense start bytes and zero prefixes: many long candidates
            b = static_cast<uint8_t>(random() % 4 == 0   ? (random() % 2 ? 0x24 : 0x19)
                                     : random() % 3 == 0 ? 0
                                                         : random());
        for (size_t at = 0; at < noise.size();) {
            const size_t n = std::min<size_t>(1 + random() % 3000, noise.size() - at);
            reader.Feed(noise.data() + at, n);
            at += n;
            ASSERT_LE(reader.Pending(), capacity);
        }
        const auto events = reader.Feed(frame.data(), frame.size());
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().Kind, TReassemblyEvent::TKind::Frame) << capacity;
        EXPECT_EQ(events.back().Bytes, frame) << capacity;
    }
}

TDecodedFrame Decoded(const TBytes& bytes) {
    TFrameReassembler reader;
    auto events = reader.Feed(bytes.data(), bytes.size());
    EXPECT_EQ(Trace(events).substr(0, 1), "F");
    return events.empty() ? TDecodedFrame{} : events[0].Frame;
}

TEST(DevsimResponder, RepliesByCommandAndKeepsTheState) {
    struct Row {
        const char* name;
        TBytes frame;
        size_t length;
        uint8_t kind;
        const char* eln; // expected at 10..16 of an ELN read reply, or nullptr
    };
    TCommandInputs setEln;
    ApplyModelSelection(setEln, TModel::KestrelA);
    setEln.Kind = TCommandKind::SetEln;
    setEln.ElnText = "XY9";
    TCipherState cipher{};
    const Row rows[] = {
        {"ELN read at start", Frame(TCommandKind::ReadEln, TModel::KestrelA), 20, ReplyMarkReadEln,
         "23A1705"},
        {"KESTREL-A Set_ID", Frame(TCommandKind::SetId, TModel::KestrelA, 5), 13, ReplyMarkSetId, nullptr},
        {"MARLIN-A Set_ID", Frame(TCommandKind::SetId, TModel::MarlinA, 42), 13, ReplyMarkSetId, nullptr},
        {"ELN set, short text", BuildCommandFrame(setEln, cipher), 15, ReplyMarkSetEln, nullptr},
        {"ELN read after the set", Frame(TCommandKind::ReadEln, TModel::MarlinA), 20, ReplyMarkReadEln,
         "XY9"},
        {"status request", Frame(TCommandKind::SetId, TModel::None), 13, ReplyMarkOther, nullptr},
        {"ELN read, enciphered", Frame(TCommandKind::ReadEln, TModel::OspreyB, 1, true), 20, ReplyMarkReadEln,
         "XY9"},
    };
    TDeviceState state;
    state.Eln = ElnBytes("23A1705");
    for (const Row& row : rows) {
        const TDecodedFrame frame = Decoded(row.frame);
        const TBytes reply = BuildReply(frame, state);
        ASSERT_EQ(reply.size(), row.length) << row.name;
        EXPECT_EQ(reply[0], ReplyStartByte) << row.name;
        EXPECT_EQ(reply[2], row.kind) << row.name;
        EXPECT_EQ(reply[row.length - 3], FrameEndByte) << row.name;
        EXPECT_EQ(Crc16Range(0, reply.data(), row.length - 2),
                  reply[row.length - 2] | reply[row.length - 1] << 8)
            << row.name;
        if (row.eln) {
            const std::string shown(reply.begin() + ReplyElnOffset, reply.begin() + ReplyElnOffset + 7);
            EXPECT_EQ(std::string(shown.c_str()), row.eln) << row.name; // the window stops at a zero byte
            EXPECT_EQ(reply[3], state.Id.value_or(0)) << row.name;
        }
    }
    EXPECT_EQ(state.Id, 42);
    EXPECT_EQ(state.Model, "KESTREL-A/OSPREY-B");
    EXPECT_EQ(DescribeFrame(Decoded(Frame(TCommandKind::SetId, TModel::MarlinA, 42)), false),
              "Set_ID model=MARLIN-A packet=0 address=FFFF id=42");
    setEln.ElnText = "A\n\"\\|\xB5"; // a log line must stay one line, its fields unambiguous
    const std::string shown = DescribeFrame(Decoded(BuildCommandFrame(setEln, cipher)), false);
    EXPECT_NE(shown.find(R"( eln="A\x0A\x22\x5C|\xB5")"), std::string::npos) << shown;
}

TEST(DevsimResponder, FaultsShapeTheReply) {
    TBytes reply(13);
    for (size_t k = 0; k < reply.size(); ++k)
        reply[k] = static_cast<uint8_t>(k + 1);
    struct Row {
        const char* name;
        TFaultOptions faults;
        std::vector<std::pair<int, size_t>> parts; // at ms, byte count
    };
    const Row rows[] = {
        {"none", {}, {{0, 13}}},
        {"silent", {.Silent = true}, {}},
        {"padded", {.ReplyLength = 20}, {{0, 20}}},
        {"cut", {.ReplyLength = 5}, {{0, 5}}},
        {"cut to nothing", {.ReplyLength = 0}, {}},
        {"delayed", {.DelayMs = 250}, {{250, 13}}},
        {"split after a delay", {.DelayMs = 50, .SplitBytes = 5, .SplitMs = 100}, {{50, 5}, {150, 8}}},
        {"split at 0: all later", {.SplitBytes = 0, .SplitMs = 100}, {{100, 13}}},
        {"split beyond the end", {.SplitBytes = 13, .SplitMs = 100}, {{0, 13}}},
        {"garbage", {.GarbageBytes = 7}, {{0, 7}}},
        {"garbage of a padded reply, split",
         {.ReplyLength = 40, .SplitBytes = 2, .GarbageBytes = 4},
         {{0, 2}, {0, 2}}},
    };
    for (const Row& row : rows) {
        std::mt19937 random(1);
        const auto parts = ApplyFaults(reply, row.faults, random);
        ASSERT_EQ(parts.size(), row.parts.size()) << row.name;
        TBytes joined;
        for (size_t k = 0; k < parts.size(); ++k) {
            EXPECT_EQ(parts[k].AtMs, row.parts[k].first) << row.name;
            EXPECT_EQ(parts[k].Bytes.size(), row.parts[k].second) << row.name;
            joined.insert(joined.end(), parts[k].Bytes.begin(), parts[k].Bytes.end());
        }
        if (row.faults.GarbageBytes < 0 && !joined.empty()) {
            TBytes expected = reply;
            expected.resize(joined.size(), 0);
            EXPECT_EQ(joined, expected) << row.name;
        }
    }
}

TEST(DevsimOptions, ParsesAndNamesTheBadOption) {
    TDevsimOptions options;
    EXPECT_EQ(ParseDevsimOptions(
                  {"--tcp", "0.0.0.0:0", "--pty", "--split=3@40", "--delay", "9", "--eln", "AB"}, options),
              "");
    EXPECT_EQ(options.TcpHost, "0.0.0.0");
    EXPECT_EQ(options.TcpPort, 0);
    EXPECT_EQ(options.Faults.SplitBytes, 3);
    EXPECT_EQ(options.Faults.SplitMs, 40);
    EXPECT_EQ(options.Faults.DelayMs, 9);

    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--delay", "soon"}, "--delay soon: 'soon' is not a valid integer value"},
        {{"--reply-length", "-1"}, "--reply-length -1: give a whole number 0..65535"},
        {{"--tcp", "localhost"}, "--tcp localhost: give HOST:PORT"},
        {{"--tcp", "127.0.0.1:70000"}, "--tcp 127.0.0.1:70000: give a port 0..65535"},
        {{"--split", "5"}, "--split 5: give N@MS"},
        {{"--garbage"}, "option '--garbage' needs a value"},
        {{"--eln", "12345678"}, "--eln 12345678: give at most 7 characters"},
        {{"--pty=yes"}, "option '--pty' takes no value"},
        {{"--tcp", "off"}, "nothing to serve"},
        {{"--link", "/tmp/x"}, "--link '/tmp/x' needs --pty"},
        {{"--link="}, "--link '': give a path"},
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"--chatter", "0"}, "--chatter 0: give a whole number 1..1048576"},
        {{"--chatter", "1048577"}, "--chatter 1048577: give a whole number 1..1048576"},
        {{"--flood=1"}, "option '--flood' takes no value"},
        {{"--flood", "--close-after-read"}, "exclude each other"},
        {{"--delay", "5", "--delay", "6"}, "--delay given twice"},
        {{"--", "--pty"}, "unexpected argument '--pty'"},
        {{"--line-rate", "299"}, "--line-rate 299: give a whole number 300..4000000"},
        {{"--devices", "0"}, "--devices 0: give ELNs separated by commas"},
        {{"--devices", "10001"}, "--devices 10001: give ELNs"},
        {{"--devices", "A1,,B2"}, "--devices A1,,B2: give ELNs"},
        {{"--devices", "A1,"}, "--devices A1,: give ELNs"},
        {{"--devices", "24B0001X"}, "--devices 24B0001X: give ELNs"},
        {{"--devices", "A 1"}, "--devices 'A 1': give ELNs"},
        {{"--devices", "A\x7F"}, "give ELNs"},
        {{"--present", "300"}, "--present needs --devices"},
        {{"--devices", "2", "--absent", "-1"}, "--absent -1: give a whole number 0..3600000"},
        {{"--devices", "2", "--present", "0"}, "--present 0: give a whole number 1..3600000"},
        {{"--devices", "2", "--eln", "X"}, "--eln and --devices exclude each other"},
        {{"--devices", "2", "--replug"}, "--replug needs --pty"},
    };
    const std::pair<const char*, std::vector<std::string>> lines[] = {
        {"3", {"24B0001", "24B0002", "24B0003"}},
        {"A1,B2,A1", {"A1", "B2", "A1"}}, // one device put back
        {"~!\"#$%&'", {}},                // 8 characters
        {"~!\"#$%&", {"~!\"#$%&"}},
    };
    for (const auto& [list, devices] : lines) {
        TDevsimOptions o;
        ParseDevsimOptions({"--devices", list}, o);
        EXPECT_EQ(o.Devices, devices) << list;
    }
    TDevsimOptions most;
    EXPECT_EQ(ParseDevsimOptions({"--devices", "10000"}, most), "");
    ASSERT_EQ(most.Devices.size(), 10000u);
    EXPECT_EQ(most.Devices[9998], "24B9999");
    EXPECT_EQ(most.Devices[9999], "24C0000"); // still 7 characters
    for (const char* option : {"--tcp",
                               "--no-tcp",
                               "--pty",
                               "--link",
                               "--port-file",
                               "--eln",
                               "--silent",
                               "--reply-length",
                               "--delay",
                               "--split",
                               "--garbage",
                               "--seed",
                               "--close-after-read",
                               "--flood",
                               "--chatter",
                               "--help",
                               "--version",
                               "--line-rate",
                               "--devices",
                               "--present",
                               "--absent",
                               "--replug"})
        EXPECT_NE(DevsimHelpText().find(option), std::string::npos) << option;
    for (const TOption& row : DevsimOptionTable()) { // each range shown is the one checked
        if (row.Kind == TOptionKind::Integer) {
            EXPECT_NE(DevsimHelpText().find(AllowedText(row)), std::string::npos) << row.Name;
        }
    }
}

// ---- The built program ----

using TClock = std::chrono::steady_clock;

// Reads from fd until the text holds `until` or the deadline passes.
bool ReadUntil(int fd, std::string& text, const std::string& until, TClock::time_point deadline) {
    while (text.find(until) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        text.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// Reads until a whole line starting with head is in; returns the rest of that line.
std::string ReadLine(int fd, std::string& text, const std::string& head, TClock::time_point deadline) {
    if (!ReadUntil(fd, text, head, deadline)) return "";
    const size_t from = text.find(head) + head.size();
    while (text.find('\n', from) == std::string::npos)
        if (!ReadUntil(fd, text, text.substr(from) + "\n", deadline)) return "";
    return text.substr(from, text.find('\n', from) - from);
}

// The program run to its end with args; its exit status and what it wrote to stdout and stderr.
std::pair<int, std::string> RunToEnd(const std::string& args) {
    FILE* run = popen((std::string(KALDORA_DEVSIM_PATH) + " " + args + " 2>&1").c_str(), "r");
    if (!run) return {-1, ""};
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, run)) > 0;)
        out.append(buffer, n);
    const int status = pclose(run);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(DevsimProgram, HelpVersionAndRefusalsComeFromTheTable) {
    struct Row {
        const char* args;
        int status;
        std::string starts;
    };
    const Row rows[] = {
        {"--help", 0, DevsimHelpText()},
        {"-h", 0, DevsimHelpText()},
        {"--bogus --help", 0, DevsimHelpText()},
        {"--version", 0, VersionText("kaldora-devsim") + "\n"},
        {"--delay soon", 2, "kaldora-devsim: --delay soon: 'soon' is not a valid integer value"},
        {"-- --help", 2, "kaldora-devsim: unexpected argument '--help'"},
        {"--tcp off", 2, "kaldora-devsim: nothing to serve"},
    };
    for (const Row& row : rows) {
        const auto [status, out] = RunToEnd(row.args);
        EXPECT_EQ(status, row.status) << row.args;
        EXPECT_EQ(out.substr(0, row.starts.size()), row.starts) << row.args;
        if (row.status == 0) {
            EXPECT_EQ(out, row.starts) << row.args;
        }
    }
}

TEST(DevsimProgram, AnswersOverTcpAndPtyAndEndsOnSigterm) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(KALDORA_DEVSIM_PATH, KALDORA_DEVSIM_PATH, "--tcp", "127.0.0.1:0", "--pty",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // Should an assertion end the test early, the simulator must not outlive it.
    struct TChildGuard {
        pid_t Pid;
        ~TChildGuard() {
            if (Pid > 0 && waitpid(Pid, nullptr, WNOHANG) == 0) {
                kill(Pid, SIGKILL);
                waitpid(Pid, nullptr, 0);
            }
        }
    } guard{pid};
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    std::string log;
    const std::string where = ReadLine(out[0], log, "tcp: listening on 127.0.0.1:", deadline);
    const std::string ptyPath = ReadLine(out[0], log, "pty: ", deadline);
    ASSERT_FALSE(where.empty()) << log;

    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    // TCP
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(where)));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto readReply = [&](int fd) {
        std::string reply;
        while (reply.size() < 13) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buffer[64];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            reply.append(buffer, static_cast<size_t>(n));
        }
        return reply;
    };
    ASSERT_EQ(write(sock, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    const std::string tcpReply = readReply(sock);
    EXPECT_EQ(tcpReply.size(), 13u);
    close(sock);

    // Pseudo-terminal, opened as a serial program would
    const int tty = open(ptyPath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0) << ptyPath;
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    ASSERT_EQ(write(tty, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    const std::string ptyReply = readReply(tty);
    EXPECT_EQ(ptyReply.size(), 13u);
    EXPECT_EQ(ptyReply, tcpReply);
    close(tty);

    EXPECT_TRUE(ReadUntil(out[0], log, "tx pty 13 bytes", deadline)) << log;
    EXPECT_NE(log.find("rx tcp#1 Set_ID model=KESTREL-A/OSPREY-B packet=0 address=FFFF id=5 | 24 00 FF FF"),
              std::string::npos)
        << log;

    // A second run on the taken port, without --pty, says so and ends with 3.
    const std::string command = std::string(KALDORA_DEVSIM_PATH) + " --tcp 127.0.0.1:" + where + " 2>&1";
    FILE* second = popen(command.c_str(), "r");
    ASSERT_NE(second, nullptr);
    char buffer[256] = {};
    const size_t n = fread(buffer, 1, sizeof buffer - 1, second);
    const int status = pclose(second);
    EXPECT_EQ(std::string(buffer, n),
              "kaldora-devsim: cannot listen on 127.0.0.1:" + where + ": address already in use\n");
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, DevsimCannotListen);

    kill(pid, SIGTERM);
    int end = 0;
    ASSERT_EQ(waitpid(pid, &end, 0), pid);
    guard.Pid = 0;
    EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end;
    close(out[0]);
}

// ---- The built program under hostile peers and conditions ----

int ConnectTcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Up to count bytes from fd, fewer at its end or at the deadline.
TBytes ReadBytes(int fd, size_t count, TClock::time_point deadline) {
    TBytes bytes;
    while (bytes.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        uint8_t buffer[65536];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

// The log lines up to the first that holds needle, that one included; empty when it
// does not come before the deadline.
std::string LogUntil(TDevsimProcess& sim, const std::string& needle, TClock::time_point deadline) {
    std::string log;
    for (;;) {
        const std::string line = sim.ReadLine(deadline);
        if (line.empty()) return "";
        log += line + "\n";
        if (line.find(needle) != std::string::npos) return log;
    }
}

int OpenRawTty(const std::string& path) {
    const int tty = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    return tty;
}

// utime + stime of a process, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // the name may hold blanks
    std::string field;
    long utime = 0, stime = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k) { // state is field 3
        if (k == 14) utime = std::stol(field);
        if (k == 15) stime = std::stol(field);
    }
    return utime + stime;
}

long PeakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

size_t CountByte(const TBytes& bytes, uint8_t value) {
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), value));
}

TEST(DevsimProgram, OutOfDescriptorsItPausesAcceptingInsteadOfSpinning) {
    // 16 descriptors: 7 of its own (standard ones, signals, listener, pty pair), 9 clients.
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {}, {.DescriptorLimit = 16, .ErrorsInLog = true});
    ASSERT_GT(sim.Port, 0);
    std::vector<int> clients;
    for (int k = 0; k < 14; ++k) // all fit the listen queue, so each connect completes
        clients.push_back(ConnectTcp(sim.Port));
    ASSERT_EQ(std::count(clients.begin(), clients.end(), -1), 0);
    const std::string warning = "warning: cannot accept TCP clients: too many open files";
    const std::string log = LogUntil(sim, warning, TClock::now() + std::chrono::seconds(5));
    ASSERT_FALSE(log.empty());
    const size_t accepted = Count(log, "conn tcp#");
    ASSERT_GT(accepted, 0u);
    ASSERT_LT(accepted, clients.size());

    const long before = CpuTicks(sim.Pid());
    const auto end = TClock::now() + std::chrono::seconds(1);
    int lines = 0;
    while (!sim.ReadLine(end).empty())
        ++lines;
    const long used = CpuTicks(sim.Pid()) - before;
    EXPECT_LE(used, sysconf(_SC_CLK_TCK) / 20) << "CPU ticks in 1 s while out of descriptors";
    EXPECT_EQ(lines, 0);

    // Two clients leave: two queued ones are taken, and one of them is answered.
    close(clients[0]);
    close(clients[1]);
    const std::string next = "conn tcp#" + std::to_string(accepted + 2) + " ";
    const std::string after = LogUntil(sim, next, TClock::now() + std::chrono::seconds(5));
    EXPECT_NE(after.find("accepting TCP clients again"), std::string::npos) << after;
    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    const int queued = clients[accepted];
    ASSERT_EQ(write(queued, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    EXPECT_EQ(ReadBytes(queued, 13, TClock::now() + std::chrono::seconds(5)).size(), 13u);
    for (size_t k = 2; k < clients.size(); ++k)
        close(clients[k]);
}

TEST(DevsimProgram, CloseAfterReadTakesTheFrameAndDropsTheClient) {
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {"--close-after-read"});
    ASSERT_GT(sim.Port, 0);
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    const int sock = ConnectTcp(sim.Port);
    ASSERT_EQ(write(sock, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    pollfd p{sock, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    uint8_t byte = 0;
    EXPECT_LE(read(sock, &byte, 1), 0) << "an answer instead of the close";
    close(sock);
    const std::string log = LogUntil(sim, "disc tcp#1", deadline);
    EXPECT_NE(log.find("rx tcp#1 Set_ID model=KESTREL-A/OSPREY-B packet=0 address=FFFF id=5 (no answer: "
                       "closing) | 24 00 FF FF"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("tx "), std::string::npos) << log;

    // The pty cannot be closed and kept: each frame is taken and left unanswered.
    const int tty = OpenRawTty(sim.Pty);
    const TBytes twice = Cat({frame, Frame(TCommandKind::ReadEln, TModel::KestrelA)});
    ASSERT_EQ(write(tty, twice.data(), twice.size()), static_cast<ssize_t>(twice.size()));
    const std::string ptyLog = LogUntil(sim, "rx pty ELN_read", deadline);
    close(tty);
    EXPECT_NE(ptyLog.find("rx pty Set_ID"), std::string::npos) << ptyLog;
    EXPECT_EQ(ptyLog.find("tx "), std::string::npos) << ptyLog;
}

TEST(DevsimProgram, FloodServesOthersKeepsItsMemoryAndEndsOnSigterm) {
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {"--flood"});
    ASSERT_GT(sim.Port, 0);
    const long startRss = PeakRssKb(sim.Pid());
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    const int flooded = ConnectTcp(sim.Port), other = ConnectTcp(sim.Port);
    ASSERT_EQ(write(flooded, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    // Drain the flood as fast as it comes while the other client asks.
    constexpr size_t Flooded = 64 << 20;
    size_t got = 0, startBytes = 0;
    bool asked = false;
    TBytes answer;
    while (TClock::now() < deadline && (got < Flooded || answer.size() < 13)) {
        const TBytes chunk = ReadBytes(flooded, 1 << 16, deadline);
        ASSERT_FALSE(chunk.empty()) << "the flood stopped after " << got << " bytes";
        got += chunk.size();
        startBytes += CountByte(chunk, ReplyStartByte);
        if (!asked && got >= Flooded / 2) {
            ASSERT_EQ(write(other, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
            asked = true;
        }
        if (asked) {
            pollfd p{other, POLLIN, 0};
            if (poll(&p, 1, 0) == 1) {
                const TBytes part = ReadBytes(other, 13 - answer.size(), deadline);
                answer.insert(answer.end(), part.begin(), part.end());
            }
        }
    }
    EXPECT_GE(got, Flooded);
    EXPECT_EQ(startBytes, 0u) << "the noise holds no start of an answer";
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_EQ(answer[0], ReplyStartByte);
    EXPECT_LT(PeakRssKb(sim.Pid()) - startRss, 8 * 1024) << "kB more while flooding";

    // Ended while the flood runs at full speed, it stops at once.
    kill(sim.Pid(), SIGTERM);
    const auto stopBy = TClock::now() + std::chrono::seconds(2);
    while (!ReadBytes(flooded, 1 << 16, stopBy).empty()) {
    }
    const int status = sim.Wait(stopBy);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(flooded);
    close(other);
}

TEST(DevsimProgram, ChatterWaitsForEachPeerBeforeItsFirstFrame) {
    constexpr size_t Chatter = 70000; // more than one block of noise
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {"--chatter", std::to_string(Chatter)});
    ASSERT_GT(sim.Port, 0);
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    const int sock = ConnectTcp(sim.Port), tty = OpenRawTty(sim.Pty);
    for (const int fd : {sock, tty}) {
        const TBytes noise = ReadBytes(fd, Chatter, deadline);
        EXPECT_EQ(noise.size(), Chatter);
        EXPECT_EQ(CountByte(noise, ReplyStartByte), 0u);
        ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        const TBytes answer = ReadBytes(fd, 13, deadline);
        ASSERT_EQ(answer.size(), 13u);
        EXPECT_EQ(answer[0], ReplyStartByte) << "the noise went on beyond its count";
    }
    close(sock);
    close(tty);
}

TEST(DevsimProgram, LongDelayAnswersEachFrameInTurnAndTheLogShowsEachFrameWhole) {
    using std::chrono::milliseconds;
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {"--delay", "3500"});
    ASSERT_GT(sim.Port, 0);
    const TBytes first = Frame(TCommandKind::SetId, TModel::MarlinA, 7);
    // Longer than the log cuts noise at, so a cut frame would show.
    const TBytes second = Frame(TCommandKind::SetId, TModel::MarlinA, 3, false, std::string(600, '1'));
    ASSERT_GT(second.size(), 100u);
    const int sock = ConnectTcp(sim.Port);
    const auto sentFirst = TClock::now();
    ASSERT_EQ(write(sock, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    pollfd p{sock, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 500), 0) << "answered early";
    const auto sentSecond = TClock::now();
    ASSERT_EQ(write(sock, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    const TBytes answerFirst = ReadBytes(sock, 13, deadline);
    const auto gotFirst = TClock::now();
    const TBytes answerSecond = ReadBytes(sock, 13, deadline);
    const auto gotSecond = TClock::now();
    close(sock);
    ASSERT_EQ(answerFirst.size(), 13u);
    ASSERT_EQ(answerSecond.size(), 13u);
    EXPECT_EQ(answerFirst[3], 7);
    EXPECT_EQ(answerSecond[3], 3);
    EXPECT_GE(gotFirst - sentFirst, milliseconds(3500));
    EXPECT_LT(gotFirst - sentFirst, milliseconds(4500));
    EXPECT_GE(gotSecond - sentSecond, milliseconds(3500)) << "not timed from its own arrival";
    EXPECT_LT(gotSecond - sentSecond, milliseconds(4500));

    const std::regex frameLine(
        "^rx (tcp#[0-9]+|pty) (Set_ID|ELN_set|ELN_read|command) .* \\| ([0-9A-F]{2}( [0-9A-F]{2})*)$");
    const std::regex idField(" id=([0-9]+)");
    std::vector<std::pair<std::string, std::string>> seen; // hex, ID
    const std::string log =
        LogUntil(sim, "tx tcp#1 13 bytes", deadline) + LogUntil(sim, "tx tcp#1", deadline);
    std::istringstream lines(log);
    std::smatch m, id;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, m, frameLine)) {
            const std::string hex = m[3];
            seen.push_back({hex, std::regex_search(line, id, idField) ? id[1].str() : ""});
        }
    auto hexOf = [](const TBytes& bytes) {
        std::string text = FormatFrameHex(bytes.data(), bytes.size());
        text.pop_back();
        return text;
    };
    const std::vector<std::pair<std::string, std::string>> expected = {{hexOf(first), "7"},
                                                                       {hexOf(second), "3"}};
    EXPECT_EQ(seen, expected) << log;
}

TEST(DevsimProgram, LineRatePacesTheAnswerAfterTheFrameWouldHaveArrived) {
    using std::chrono::microseconds;
    constexpr int Rate = 19200;
    auto byteTimes = [](size_t bytes) { return microseconds(bytes * 10'000'000 / Rate); };
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {"--line-rate", std::to_string(Rate)});
    ASSERT_FALSE(sim.Pty.empty());
    const int tty = OpenRawTty(sim.Pty);
    const TBytes frame = Frame(TCommandKind::SetId, TModel::KestrelA, 5);
    ASSERT_EQ(frame.size(), 12u);
    const auto sent = TClock::now();
    ASSERT_EQ(write(tty, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    std::vector<TClock::duration> seen; // when each byte of the answer was read, after the send
    // One read a time, each taking what has come so far.
    while (seen.size() < 13) {
        pollfd p{tty, POLLIN, 0};
        uint8_t buffer[64];
        if (poll(&p, 1, 5000) != 1) break;
        const ssize_t n = read(tty, buffer, sizeof buffer);
        if (n <= 0) break;
        seen.insert(seen.end(), static_cast<size_t>(n), TClock::now() - sent);
    }
    close(tty);
    ASSERT_EQ(seen.size(), 13u);
    // Byte k of the answer cannot have arrived before the frame and k + 1 answer bytes had
    // crossed the line: a lower bound that no scheduling can beat.
    for (size_t k = 0; k < seen.size(); ++k)
        EXPECT_GE(seen[k], byteTimes(frame.size() + k + 1)) << "answer byte " << k;
    // Not one lump after the full time: the first byte comes while the last is still on the line.
    EXPECT_LT(seen.front(), byteTimes(frame.size() + 13));
    EXPECT_LT(seen.back(), byteTimes(frame.size() + 13) + std::chrono::milliseconds(50));
}

// The ELN of an ELN read's 20-byte answer, up to its first zero byte.
std::string ElnOfAnswer(const TBytes& answer) {
    if (answer.size() != ReadElnReplyLength) return "(" + std::to_string(answer.size()) + " bytes)";
    const std::string eln(answer.begin() + ReplyElnOffset, answer.begin() + ReplyElnOffset + ElnTextBytes);
    return eln.c_str();
}

const std::string Stamp = R"( at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)";

TEST(DevsimProgram, DevicesTakeTurnsAndOnePutBackKeepsItsId) {
    TDevsimProcess sim(KALDORA_DEVSIM_PATH,
                       {"--devices", "24X0001,24X0002,24X0001", "--present", "300", "--absent", "200"});
    ASSERT_GT(sim.Port, 0);
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    const int sock = ConnectTcp(sim.Port);
    const TBytes readEln = Frame(TCommandKind::ReadEln, TModel::KestrelA);
    const TBytes setId = Frame(TCommandKind::SetId, TModel::KestrelA, 7);
    // The last line of the log up to the one holding needle.
    auto lineOf = [&](const std::string& needle) {
        std::string log = LogUntil(sim, needle, deadline);
        if (log.empty()) return log;
        log.pop_back();
        return log.substr(log.rfind('\n') + 1); // from 0 when it is the only line
    };
    struct Turn {
        const char* eln;
        bool setsId;
        uint8_t idHeld; // in the ELN read's answer
    };
    const Turn turns[] = {{"24X0001", true, 7}, {"24X0002", false, 0}, {"24X0001", false, 7}};
    for (const Turn& turn : turns) {
        const std::string device = std::string("device: ELN ") + turn.eln;
        EXPECT_TRUE(std::regex_match(lineOf(device + " arrived"), std::regex(device + " arrived" + Stamp)))
            << turn.eln;
        if (turn.setsId) {
            ASSERT_EQ(write(sock, setId.data(), setId.size()), static_cast<ssize_t>(setId.size()));
            EXPECT_EQ(ReadBytes(sock, 13, deadline).size(), 13u);
            EXPECT_TRUE(std::regex_match(lineOf(" took ID "), std::regex(device + " took ID 7" + Stamp)));
        }
        ASSERT_EQ(write(sock, readEln.data(), readEln.size()), static_cast<ssize_t>(readEln.size()));
        const TBytes answer = ReadBytes(sock, 20, deadline);
        EXPECT_EQ(ElnOfAnswer(answer), turn.eln);
        if (answer.size() == 20) {
            EXPECT_EQ(answer[3], turn.idHeld) << turn.eln;
        }
        EXPECT_TRUE(std::regex_match(lineOf(device + " left"), std::regex(device + " left" + Stamp)));
    }

    // After the last, no device comes: the frame is taken and nothing answers it.
    ASSERT_EQ(write(sock, readEln.data(), readEln.size()), static_cast<ssize_t>(readEln.size()));
    EXPECT_NE(lineOf("rx tcp#1 ELN_read").find(" (no answer: no device) | 24 "), std::string::npos);
    const int fence = ConnectTcp(sim.Port); // logged only once the frame has been dealt with
    const std::string after = LogUntil(sim, "conn tcp#2", deadline);
    EXPECT_EQ(after.find("tx "), std::string::npos) << after;
    pollfd p{sock, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    close(fence);
    close(sock);
}

TEST(DevsimProgram, ReplugTakesThePtyAndTheLinkAwayWhileNoDeviceIsPresent) {
    const std::string link = "/tmp/kaldora-devsim-replug-" + std::to_string(getpid());
    TDevsimProcess sim(KALDORA_DEVSIM_PATH, {"--link", link, "--replug", "--devices", "24X0001,24X0002",
                                             "--present", "300", "--absent", "200"});
    ASSERT_GT(sim.Port, 0);
    EXPECT_TRUE(sim.Pty.empty());
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    const TBytes readEln = Frame(TCommandKind::ReadEln, TModel::KestrelA);
    const std::regex ptyLine(R"((?:^|\n)pty: (/dev/\S+)\n)");
    int held = -1; // the previous device's pty, still open
    std::string heldPty;
    for (const std::string eln : {"24X0001", "24X0002"}) {
        const std::string arrival = LogUntil(sim, "device: ELN " + eln + " arrived", deadline);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(arrival, m, ptyLine)) << arrival;
        const std::string pty = m[1];
        EXPECT_NE(arrival.find("link: " + link + " -> " + pty + "\n"), std::string::npos) << arrival;
        char target[256] = {};
        EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(target, pty);
        EXPECT_NE(pty, heldPty) << "a new pty for each arrival";
        const int tty = OpenRawTty(link);
        ASSERT_GE(tty, 0) << link;
        ASSERT_EQ(write(tty, readEln.data(), readEln.size()), static_cast<ssize_t>(readEln.size()));
        EXPECT_EQ(ElnOfAnswer(ReadBytes(tty, 20, deadline)), eln);

        const std::string departure = LogUntil(sim, "device: ELN " + eln + " left", deadline);
        EXPECT_NE(departure.find("pty: " + pty + " closed\nlink: " + link + " removed\n"), std::string::npos)
            << departure;
        // Whoever still holds it sees the hang-up, as of a pulled adapter.
        pollfd p{tty, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
        uint8_t byte = 0;
        const ssize_t n = read(tty, &byte, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n;
        if (held >= 0) close(held);
        held = tty;
        heldPty = pty;
    }
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "no device after the last: the link stays away";
    close(held);
}

} // namespace
