#pragma once
// The command-line tool: "frame" builds a command frame from options that stand for the
// window's command controls, "decode" splits a captured frame back into its fields; "set-id",
// "set-eln" and "read-eln" send a command over a serial port or TCP and judge the reply as
// the window does; "send-hex" and "send-text" are the raw sends; "ports" lists the serial
// ports. Everything is done in RunCli, which writes to no stream of its own, so it is tested
// directly; only the link commands do I/O, on their link.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Options.h"
#include "cli/CommandHelp.h"

#include "protocol/CommandInputRules.h"
#include "protocol/Frame.h"

// Exit codes.
inline constexpr int CliSuccess = 0;
inline constexpr int CliNoResult = 1;      // "Error" (no reply) or a reply of an unaccepted length
inline constexpr int CliFailure = 2;       // bad input, or a link that does not open or fails
inline constexpr int CliWriteFailed = 3;   // standard output (or a report) could not be written
inline constexpr int CliInterrupted = 130; // Ctrl-C; the link was closed first

// The device IDs the window sends: the frame carries the ID in one byte, and the window
// refuses what does not fit it (its hint "ID:0~63" is the usual range, not a limit).
// --id outside this range is refused.
inline constexpr int CliIdMin = NumberInputs[0].Min;
inline constexpr int CliIdMax = NumberInputs[0].Max;
static_assert(NumberInputs[0].Field == &TCommandInputs::Id);

struct TCliResult {
    int ExitCode = CliSuccess;
    std::string Out; // for standard output
    std::string Err; // for standard error
};

// The whole of standard input as text; waits for its end.
std::string ReadStandardInput();

// Streams for lines written as they happen (a long repeat shows each send at once), and
// the source of "decode -"'s input.
struct TCliStreams {
    std::function<void(const std::string&)> Out, Err;
    std::function<std::string()> In = ReadStandardInput;
};

// True when arg is the option name, alone (its value is the next argument) or as
// name=value (the value is put into inlineValue).
bool MatchesOption(const std::string& arg, const char* name, std::optional<std::string>& inlineValue);

// Runs one invocation; args are the arguments after the program name. Without streams the
// output is collected into the result, and there is no standard input.
TCliResult RunCli(const std::vector<std::string>& args, const TCliStreams* streams = nullptr);

// The rows of the options that stand for the command controls (--model, --id, ...).
const TOptionTable& FrameOptionTable();

// The command inputs of options parsed with FrameOptionTable among the tables: the model's
// handler first, then the other options.
TCommandInputs FrameInputsOf(const TParsedOptions& parsed);

// The command inputs that "frame" options give, starting from the stored layout: the
// model's handler runs first, the other options are applied after it. Returns the error
// text, naming the option and its value, empty on success. Numbers outside what the frame
// carries for them (NumberInputs) are refused; -h, --help and --version are left to the caller.
std::string ParseFrameOptions(const std::vector<std::string>& options, TCommandInputs& inputs);

// Strict hexadecimal text for decode: pairs of digits, blanks between bytes optional.
// Returns the error text, empty on success.
std::string ParseCaptureHex(const std::string& text, std::vector<uint8_t>& bytes);

// The help of kaldora-cli itself (Command empty), then of every command in the order of
// its command list.
std::vector<TCommandHelp> CliCommandHelps();
