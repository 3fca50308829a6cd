// The command-line tool on arbitrary arguments: the input is split at line breaks into at
// most MaxArgs arguments. Besides not failing, a frame that "frame" prints must read back
// through "decode" with the same cipher setting.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/KaldoraCli.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/FrameDecoder.h"
#include "protocol/HexText.h"

namespace {

constexpr size_t MaxArgs = 32;

std::vector<std::string> SplitArgs(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    if (size == 0) return args;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t p = 0;
    while (args.size() < MaxArgs) {
        const size_t end = text.find('\n', p);
        args.push_back(text.substr(p, end == std::string::npos ? std::string::npos : end - p));
        if (end == std::string::npos) break;
        p = end + 1;
    }
    return args;
}

bool HasArg(const std::vector<std::string>& args, const char* arg) {
    for (size_t k = 1; k < args.size(); ++k)
        if (args[k] == arg) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> args = SplitArgs(data, size);
    const TCliResult result = RunCli(args);
    FUZZ_CHECK(result.ExitCode == CliSuccess || result.ExitCode == CliFailure);
    // A failure says why: a line on standard error, or with --json the result object
    // with its error on standard output.
    if (result.ExitCode == CliFailure) {
        if (result.Err.empty()) {
            const std::string& out = result.Out;
            FUZZ_CHECK(HasArg(args, "--json") || (!args.empty() && args[0] == "--json"));
            FUZZ_CHECK(out.size() > 2 && out.front() == '{' && out.substr(out.size() - 2) == "}\n");
            FUZZ_CHECK(out.find("\"exit_code\":2") != std::string::npos);
            FUZZ_CHECK(out.find("\"error\":\"") != std::string::npos);
        } else {
            FUZZ_CHECK(result.Err.back() == '\n');
        }
    }

    const bool frameBuilt =
        !args.empty() && args[0] == "frame" && result.ExitCode == CliSuccess && !HasArg(args, "--help");
    // With --json the frame comes as the "frame" member of the result object.
    if (frameBuilt && HasArg(args, "--json")) {
        FUZZ_CHECK(result.Err.empty());
        FUZZ_CHECK(!result.Out.empty() && result.Out.front() == '{' &&
                   result.Out.find("\"frame\":\"") != std::string::npos);
    } else if (frameBuilt) {
        FUZZ_CHECK(result.Err.empty());
        FUZZ_CHECK(result.Out.size() >= 4 && result.Out.back() == '\n' && (result.Out.size() - 1) % 3 == 0);
        TCommandInputs inputs;
        const std::vector<std::string> options(args.begin() + 1, args.end());
        FUZZ_CHECK(ParseFrameOptions(options, inputs).empty());
        const std::vector<uint8_t> frame = ParseHexText(result.Out);
        FUZZ_CHECK(FormatFrameHex(frame.data(), frame.size()) + "\n" == result.Out);
        FUZZ_CHECK(DecodeCommandFrame(frame.data(), frame.size(), inputs.Encrypt).Ok());

        std::vector<std::string> decode{"decode", result.Out};
        if (inputs.Encrypt) decode.push_back("--encrypt");
        const TCliResult decoded = RunCli(decode);
        if (decoded.ExitCode != CliSuccess) std::fprintf(stderr, "%s", decoded.Err.c_str());
        FUZZ_CHECK(decoded.ExitCode == CliSuccess);
    }
    return 0;
}
