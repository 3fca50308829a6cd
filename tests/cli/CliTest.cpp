#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/KaldoraCli.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> args;
    size_t p = 0;
    while (p < text.size()) {
        const size_t end = text.find(' ', p);
        args.push_back(text.substr(p, end - p));
        if (end == std::string::npos) break;
        p = end + 1;
    }
    return args;
}

TCliResult Cli(const std::string& line) {
    return RunCli(Split(line));
}

TEST(CliFrame, PrintsTheFrameText) {
    struct Row {
        const char* args;
        const char* out;
    };
    const Row rows[] = {
        {"frame --model KESTREL-A --id 1", "24 00 FF FF 01 FD 02 5A 01 03 0C 8B \n"},
        {"frame", "19 00 41 00 10 FE 01 00 AA D7 03 \n"},
        {"frame --model OSPREY-B --serial 23A1705", "24 00 0A DC 01 FD 02 5A 01 03 D1 32 \n"},
        {"frame --command set-eln --model KESTREL-A",
         "24 00 FF FF 01 F7 08 5B 32 33 41 31 37 30 35 03 F0 46 \n"},
        {"frame --command read-eln --model MARLIN-A", "19 00 FF FF FF FF 00 FE 01 3A 71 D9 03 \n"},
        {"frame --command auto-eln --model KESTREL-A --auto-text 2",
         "24 00 FF FF 01 F7 08 5B 32 00 00 00 00 00 00 03 98 BB \n"},
        {"frame --item=-1", "19 00 41 00 FE 01 20 D5 76 03 \n"},
        // The ends of the ID and the packet number.
        {"frame --model KESTREL-A --id 63 --packet 255", "24 FF FF FF 01 FD 02 5A 3F 03 59 1F \n"},
        {"frame --model KESTREL-A --id 0 --packet=0", "24 00 FF FF 01 FD 02 5A 00 03 0D 1B \n"},
        {"frame --item 3 --table-index 3", "19 00 41 00 12 FE 01 03 EB 6E 03 \n"},
        // --item and --data apply after the model's handler, wherever they stand.
        {"frame --data 0A --item 7 --model MARLIN-A", "19 00 FF FF FF FF 02 FD 02 00 0A 02 07 03 \n"},
    };
    for (const auto& row : rows) {
        const auto result = Cli(row.args);
        EXPECT_EQ(result.ExitCode, 0) << row.args << ": " << result.Err;
        EXPECT_EQ(result.Out, row.out) << row.args;
        EXPECT_EQ(result.Err, "") << row.args;
    }
}

TEST(CliFrame, ErrorsGoToStandardErrorWithExitCode2) {
    struct Row {
        const char* args;
        const char* message;
    };
    const Row rows[] = {
        // The window's message in brackets, after the option and value behind it.
        {"frame --model OSPREY-B",
         "kaldora-cli frame: --serial 0: an OSPREY-B serial number needs at least 3 characters, e.g. "
         "23A1705 (Range check error)\n"},
        {"frame --model OSPREY-B --serial AB5",
         "kaldora-cli frame: --serial AB5: year, month (1-9, A-C) and number do not form a decimal "
         "number ('AB05' is not a valid integer value)\n"},
        {"frame --command set-eln --eln 23",
         "kaldora-cli frame: --eln 23: an ELN needs at least 3 characters, e.g. 23A1705 (Range check "
         "error)\n"},
        {"frame --id abc",
         "kaldora-cli frame: --id abc: 'abc' is not a valid integer value (see 'kaldora-cli frame "
         "--help')\n"},
        // A number the frame cannot carry would reach the device as another number.
        {"frame --id 256",
         "kaldora-cli frame: --id 256: a device ID is 0..255 (one byte in the frame, as the window "
         "sends it) (see 'kaldora-cli frame --help')\n"},
        {"frame --model KESTREL-A --id=-1",
         "kaldora-cli frame: --id -1: a device ID is 0..255 (one byte in the frame, as the window "
         "sends it) (see 'kaldora-cli frame --help')\n"},
        {"frame --packet 300",
         "kaldora-cli frame: --packet 300: the frame carries 0..255 (see 'kaldora-cli frame --help')\n"},
        {"frame --address 99999999999999999999",
         "kaldora-cli frame: --address 99999999999999999999: '99999999999999999999' is not a valid integer "
         "value (see 'kaldora-cli frame --help')\n"},
        {"frame --id", "kaldora-cli frame: option '--id' needs a value (see 'kaldora-cli frame --help')\n"},
        {"frame --item 9",
         "kaldora-cli frame: --item 9: a command item is -1 (none) to 8 (see 'kaldora-cli frame "
         "--help')\n"},
        {"frame --model HERON",
         "kaldora-cli frame: --model HERON: unknown model; give KESTREL-A, MARLIN-A or OSPREY-B (see "
         "'kaldora-cli frame --help')\n"},
        {"frame --command reset",
         "kaldora-cli frame: --command reset: unknown command; give set-id, set-eln, read-eln or "
         "auto-eln (see 'kaldora-cli frame --help')\n"},
        {"frame --idx 3", "kaldora-cli frame: unknown option '--idx' (see 'kaldora-cli frame --help')\n"},
        {"frames", "kaldora-cli: unknown command 'frames' (see 'kaldora-cli --help')\n"},
    };
    for (const auto& row : rows) {
        const auto result = Cli(row.args);
        EXPECT_EQ(result.ExitCode, 2) << row.args;
        EXPECT_EQ(result.Out, "") << row.args;
        EXPECT_EQ(result.Err, row.message) << row.args;
    }
    EXPECT_EQ(RunCli({}).ExitCode, 2);
}

TEST(CliFrame, HelpDocumentsEveryOption) {
    const auto result = Cli("frame --help");
    EXPECT_EQ(result.ExitCode, 0);
    for (const char* option :
         {"--command",     "set-id",   "set-eln",   "read-eln", "auto-eln",  "--model",
          "KESTREL-A",     "MARLIN-A", "OSPREY-B",  "--id",     "--serial",  "--eln",
          "--auto-text",   "--packet", "--address", "--item",   "--data",    "--rw-table",
          "--table-index", "--func1",  "--func2",   "--stat",   "--encrypt", "--help"})
        EXPECT_NE(result.Out.find(option), std::string::npos) << option;
    EXPECT_EQ(Cli("decode --help").ExitCode, 0);
    EXPECT_EQ(Cli("--help").ExitCode, 0);
}

TEST(CliDecode, ReadsBackWhatFrameBuilds) {
    const char* commands[] = {"set-id", "set-eln", "read-eln", "auto-eln"};
    const char* models[] = {"", " --model KESTREL-A", " --model MARLIN-A",
                            " --model OSPREY-B --serial 23A1705"};
    for (const char* command : commands)
        for (const char* model : models)
            for (const char* encrypt : {"", " --encrypt"}) {
                const std::string args =
                    std::string("frame --command ") + command + model + encrypt + " --id 42";
                const auto built = Cli(args);
                ASSERT_EQ(built.ExitCode, 0) << args << ": " << built.Err;
                std::string hex = built.Out.substr(0, built.Out.size() - 1);
                const auto decoded = Cli("decode " + hex + encrypt);
                EXPECT_EQ(decoded.ExitCode, 0) << args << ": " << decoded.Err;
                EXPECT_NE(decoded.Out.find("check byte"), std::string::npos) << args;
                EXPECT_EQ(decoded.Out.find("computed"), std::string::npos) << args;
                // The same frame without blanks, as one argument.
                std::string packed;
                for (char c : hex)
                    if (c != ' ') packed += c;
                EXPECT_EQ(Cli("decode " + packed + encrypt).Out, decoded.Out) << args;
            }

    const auto setId = Cli("decode 24 00 FF FF 01 FD 02 5A 2A 03 12 7B");
    EXPECT_EQ(setId.ExitCode, 0) << setId.Err;
    EXPECT_EQ(setId.Out, "start byte      24 (form A)\n"
                         "packet number   0\n"
                         "address word    FFFF (65535)\n"
                         "model bytes     none\n"
                         "command code    01 H/W Write\n"
                         "check byte      FD (verified)\n"
                         "length prefix   02 (2 payload bytes)\n"
                         "payload         5A 2A\n"
                         "                new ID 42\n"
                         "end byte        03\n"
                         "CRC             7B12 (verified)\n");
    std::string sealed = Cli("frame --command set-eln --model KESTREL-A --eln 1705 --encrypt").Out;
    sealed.pop_back();
    const auto eln = Cli("decode " + sealed + "--encrypt");
    EXPECT_NE(eln.Out.find("ELN text '1705'"), std::string::npos) << eln.Out;
}

TEST(CliDecode, SaysWhatIsWrong) {
    struct Row {
        const char* args;
        const char* message;
        bool fields;
    };
    const Row rows[] = {
        {"decode 24 00 FF FF 01 FD 02 5A 01 03 0C 8C",
         "kaldora-cli decode: the frame does not fit: CRC 8C0C carried, 8B0C computed\n", true},
        {"decode 24 00 FF",
         "kaldora-cli decode: the frame does not fit: a frame has at least 10 bytes, this one 3\n", false},
        {"decode 24 0", "kaldora-cli decode: '0' has an odd number of hexadecimal digits\n", false},
        {"decode 24 zz", "kaldora-cli decode: 'z' at position 4 is not a hexadecimal digit\n", false},
        {"decode", "kaldora-cli decode: no frame given (see 'kaldora-cli decode --help')\n", false},
        {"decode 24 --cipher",
         "kaldora-cli decode: unknown option '--cipher' (see 'kaldora-cli decode --help')\n", false},
    };
    for (const auto& row : rows) {
        const auto result = Cli(row.args);
        EXPECT_EQ(result.ExitCode, 2) << row.args;
        EXPECT_EQ(result.Err, row.message) << row.args;
        EXPECT_EQ(!result.Out.empty(), row.fields) << row.args;
    }
}

// The built program, for what only a real run shows: the streams and the exit status.
TEST(CliProgram, RunsFromTheCommandLine) {
    auto run = [](const std::string& args, std::string& out) {
        const std::string command = std::string(KALDORA_CLI_PATH) + " " + args + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        if (!pipe) return -1;
        std::array<char, 256> buffer{};
        out.clear();
        while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
            out.append(buffer.data(), n);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    EXPECT_EQ(run("frame --model KESTREL-A --id 1", out), 0);
    EXPECT_EQ(out, "24 00 FF FF 01 FD 02 5A 01 03 0C 8B \n");
    EXPECT_EQ(run("frame --model OSPREY-B --serial 2", out), 2);
    EXPECT_EQ(out,
              "kaldora-cli frame: --serial 2: an OSPREY-B serial number needs at least 3 characters, e.g. "
              "23A1705 (Range check error)\n");
}

} // namespace
