#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
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

TEST(CliHelp, HelpCommandPrintsWhatTheCommandsOwnHelpPrints) {
    for (const char* command : {"frame", "decode", "set-id", "send-hex", "ports"}) {
        const auto own = Cli(std::string(command) + " --help");
        EXPECT_EQ(own.ExitCode, 0) << command;
        EXPECT_FALSE(own.Out.empty()) << command;
        const auto viaHelp = Cli(std::string("help ") + command);
        EXPECT_EQ(viaHelp.ExitCode, 0) << command;
        EXPECT_EQ(viaHelp.Out, own.Out) << command;
        EXPECT_EQ(Cli(std::string(command) + " -h").Out, own.Out) << command;
    }
    EXPECT_EQ(Cli("help").Out, Cli("--help").Out);
    EXPECT_EQ(Cli("-h").Out, Cli("--help").Out);
    EXPECT_NE(Cli("--help").Out.find("--version"), std::string::npos);
    // Help wins over a refused option beside it.
    EXPECT_EQ(Cli("frame --id 999 --help").Out, Cli("frame --help").Out);
}

TEST(CliHelp, VersionAndTopLevelRefusals) {
    struct Row {
        const char* args;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Row rows[] = {
        {"--version", 0, "kaldora-cli 1.0.0\n", ""},
        {"frame --model KESTREL-A --version", 0, "kaldora-cli 1.0.0\n", ""},
        {"set-id --port /nonexistent --version", 0, "kaldora-cli 1.0.0\n", ""},
        {"--bogus", 2, "", "kaldora-cli: unknown option '--bogus' (see 'kaldora-cli --help')\n"},
        {"help frames", 2, "", "kaldora-cli: unknown command 'frames' (see 'kaldora-cli --help')\n"},
        {"frame --id 1 --id 2", 2, "",
         "kaldora-cli frame: --id given twice (see 'kaldora-cli frame --help')\n"},
        {"frame -- --id", 2, "",
         "kaldora-cli frame: unexpected argument '--id' (see 'kaldora-cli frame --help')\n"},
        {"frame --model kestrel-a", 0, "24 00 FF FF 01 FD 02 5A 01 03 0C 8B \n", ""},
    };
    for (const auto& row : rows) {
        const auto result = Cli(row.args);
        EXPECT_EQ(result.ExitCode, row.exitCode) << row.args;
        EXPECT_EQ(result.Out, row.out) << row.args;
        EXPECT_EQ(result.Err, row.err) << row.args;
    }
}

// The help, the check and the refusal of every number field come from one row.
TEST(CliHelp, NumberRangesInTheHelpAreTheRangesChecked) {
    const std::string help = Cli("frame --help").Out;
    for (const TNumberInput& input : NumberInputs) {
        const std::string option = std::string("--") + input.Name;
        const std::string range = std::to_string(input.Min) + ".." + std::to_string(input.Max);
        const size_t row = help.find("  " + option + " N");
        ASSERT_NE(row, std::string::npos) << option;
        EXPECT_NE(help.substr(row, help.find("\n  --", row + 1) - row).find(range), std::string::npos)
            << option;
        for (int inside : {input.Min, input.Max})
            EXPECT_EQ(Cli("frame " + option + "=" + std::to_string(inside)).ExitCode, 0) << option << inside;
        for (int outside : {input.Min - 1, input.Max + 1}) {
            const auto refused = Cli("frame " + option + "=" + std::to_string(outside));
            EXPECT_EQ(refused.ExitCode, 2) << option;
            EXPECT_NE(refused.Err.find(std::to_string(input.Min)), std::string::npos) << refused.Err;
            EXPECT_NE(refused.Err.find(std::to_string(input.Max)), std::string::npos) << refused.Err;
        }
    }
}

TEST(CommandInputRules, ModelNames) {
    EXPECT_EQ(ModelNamesText(), "KESTREL-A, MARLIN-A or OSPREY-B");
    EXPECT_EQ(ModelOfName(" osprey-b\t"), TModel::OspreyB);
    EXPECT_EQ(ModelOfName("Marlin-A"), TModel::MarlinA);
    EXPECT_EQ(ModelOfName("KESTREL-A"), TModel::KestrelA);
    for (const char* refused : {"", "19", "KESTREL", "KESTREL-AA", "OSPREY B"})
        EXPECT_EQ(ModelOfName(refused), std::nullopt) << refused;
    EXPECT_EQ(RefusedInputText("id", "256", RefusalReason(NumberInputOf(&TCommandInputs::Id))),
              "id 256: a device ID is 0..255 (one byte in the frame, as the window sends it)");
    EXPECT_EQ(RefusedInputText("model", "HERON 2", UnknownModelReason()),
              "model 'HERON 2': unknown model; give KESTREL-A, MARLIN-A or OSPREY-B");
}

TEST(CliDecode, DoubleDashEndsTheOptions) {
    const std::string frame = " 24 00 FF FF 01 FD 02 5A 2A 03 12 7B";
    EXPECT_EQ(Cli("decode --" + frame).Out, Cli("decode" + frame).Out);
    // Options before "--" still count.
    EXPECT_NE(Cli("decode --encrypt --" + frame).Out.find("(deciphered)"), std::string::npos);
}

std::string FrameHex(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"frame"};
    all.insert(all.end(), args.begin(), args.end());
    const auto built = RunCli(all);
    EXPECT_EQ(built.ExitCode, 0) << built.Err;
    return built.Out.substr(0, built.Out.size() > 1 ? built.Out.size() - 2 : 0); // no trailing blank
}

TCliResult DecodeInput(const std::string& input, std::vector<std::string> options = {}) {
    TCliStreams streams;
    streams.In = [input] { return input; };
    options.insert(options.begin(), {"decode", "-"});
    return RunCli(options, &streams);
}

TEST(CliDecode, StandardInputIsSplitIntoItsFrames) {
    const std::string setId = FrameHex({"--model", "KESTREL-A", "--id", "42"});             // 12 bytes
    const std::string readEln = FrameHex({"--command", "read-eln", "--model", "MARLIN-A"}); // 13 bytes
    // 300 data bytes: a three-byte length prefix, which the cipher covers in part.
    std::string data;
    for (int k = 0; k < 300; ++k)
        data += "5A ";
    const std::string wide = FrameHex({"--item", "7", "--data", data, "--encrypt"});
    const std::string wideCount = std::to_string((wide.size() + 1) / 3);
    std::string damaged = setId;
    damaged.back() = 'C';

    struct Row {
        const char* name;
        std::string input;
        std::vector<std::string> options;
        int exitCode;
        std::vector<std::string> outParts; // in this order
        std::string err;
    };
    const Row rows[] = {
        {"back to back on one line",
         setId + " " + readEln + "\n",
         {},
         0,
         {"frame 1 at offset 0: verified\nstart byte      24",
          "frame 2 at offset 12: verified\nstart byte      19", "2 frames, 2 verified\n"},
         ""},
        {"one a line, packed, CRLF",
         setId + "\r\n" + readEln + "\r\n\r\n",
         {},
         0,
         {"frame 1 at offset 0", "frame 2 at offset 12", "2 frames, 2 verified\n"},
         ""},
        {"enciphered with a long payload",
         wide + "\n" + wide,
         {"--encrypt"},
         0,
         {"frame 1 at offset 0: verified", "length prefix   00 2D 01 (301 payload bytes)",
          "frame 2 at offset " + wideCount + ": verified", "2 frames, 2 verified\n"},
         ""},
        {"bytes between and after frames",
         "AA BB " + setId + " CC\n" + readEln + " 24 00",
         {},
         2,
         {"offset 0: 2 bytes form no frame: AA BB\n", "frame 1 at offset 2: verified",
          "offset 14: 1 byte forms no frame: CC\n", "frame 2 at offset 15: verified",
          "offset 28: 2 bytes form no frame: 24 00\n", "2 frames, 2 verified; 5 bytes form no frame\n"},
         "kaldora-cli decode: 2 frames, 2 verified; 5 bytes form no frame\n"},
        {"a damaged frame does not stop the next",
         damaged + "\n" + setId,
         {},
         2,
         {"frame 1 at offset 0: does not fit: CRC 7C12 carried, 7B12 computed",
          "frame 2 at offset 12: verified", "2 frames, 1 verified\n"},
         "kaldora-cli decode: 2 frames, 1 verified\n"},
        {"no frame at all",
         "00 01 02",
         {},
         2,
         {"offset 0: 3 bytes form no frame: 00 01 02\n", "0 frames"},
         "kaldora-cli decode: 0 frames, 0 verified; 3 bytes form no frame\n"},
        {"not hexadecimal",
         setId + "\n# comment\n",
         {},
         2,
         {},
         "kaldora-cli decode: standard input line 2: '#' at position 1 is not a hexadecimal digit\n"},
        {"empty", "\n\n", {}, 2, {}, "kaldora-cli decode: no frame on standard input\n"},
        {"HEX beside '-'",
         setId,
         {"24"},
         2,
         {},
         "kaldora-cli decode: '-' reads the frames from standard input: give no HEX beside it\n"},
    };
    for (const auto& row : rows) {
        const auto result = DecodeInput(row.input, row.options);
        EXPECT_EQ(result.ExitCode, row.exitCode) << row.name << ": " << result.Err;
        EXPECT_EQ(result.Err, row.err) << row.name;
        size_t at = 0;
        for (const auto& part : row.outParts) {
            const size_t found = result.Out.find(part, at);
            EXPECT_NE(found, std::string::npos) << row.name << ": " << part << " in\n" << result.Out;
            if (found != std::string::npos) at = found + part.size();
        }
        if (row.outParts.empty()) {
            EXPECT_EQ(result.Out, "") << row.name;
        }
    }
    EXPECT_EQ(RunCli({"decode", "-"}).Err, "kaldora-cli decode: no standard input to read\n");
}

TEST(CliDecode, StandardInputAsJsonGivesOneObjectAPiece) {
    const std::string setId = FrameHex({"--model", "KESTREL-A"});
    const auto result = DecodeInput("FF " + setId, {"--json"});
    EXPECT_EQ(result.ExitCode, 2);
    const size_t firstEnd = result.Out.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    const std::string first = result.Out.substr(0, firstEnd);
    const std::string second = result.Out.substr(firstEnd + 1);
    EXPECT_NE(first.find("\"result\":\"no frame\""), std::string::npos) << first;
    EXPECT_NE(first.find("\"offset\":0"), std::string::npos) << first;
    EXPECT_NE(second.find("\"result\":\"frame verified\""), std::string::npos) << second;
    EXPECT_NE(second.find("\"offset\":1}"), std::string::npos) << second;
    EXPECT_EQ(std::count(result.Out.begin(), result.Out.end(), '\n'), 2);
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
    // Standard input reaches "decode -" in the real program.
    EXPECT_EQ(run("--version", out), 0);
    EXPECT_EQ(out, "kaldora-cli 1.0.0\n");
    EXPECT_EQ(run("frame --model KESTREL-A --id 1 | " KALDORA_CLI_PATH " decode -", out), 0);
    EXPECT_NE(out.find("frame 1 at offset 0: verified\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("1 frame, 1 verified\n")) << out;
}

} // namespace
