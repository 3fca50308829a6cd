#pragma once
// The command-line frame tool: "frame" builds a command frame from options that stand for
// the window's command controls, "decode" splits a captured frame back into its fields.
// Everything is done in RunCli, which does no I/O of its own, so it is tested directly.

#include <string>
#include <vector>

#include "protocol/Frame.h"

inline constexpr int CliSuccess = 0;
inline constexpr int CliFailure = 2;

struct TCliResult {
    int ExitCode = CliSuccess;
    std::string Out; // for standard output
    std::string Err; // for standard error
};

// Runs one invocation; args are the arguments after the program name.
TCliResult RunCli(const std::vector<std::string>& args);

// The command inputs that "frame" options give, starting from the stored layout: the
// model's handler runs first, the other options are applied after it. Returns the error
// text, empty on success. Numbers are limited to their control's range.
std::string ParseFrameOptions(const std::vector<std::string>& options, TCommandInputs& inputs);

// Strict hexadecimal text for decode: pairs of digits, blanks between bytes optional.
// Returns the error text, empty on success.
std::string ParseCaptureHex(const std::string& text, std::vector<uint8_t>& bytes);
