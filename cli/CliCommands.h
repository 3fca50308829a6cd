#pragma once
// The commands of kaldora-cli that use a link (set-id, set-eln, read-eln,
// send-hex, send-text) and the port list; RunCli dispatches to them.

#include <optional>
#include <string>
#include <vector>

#include "cli/KaldoraCli.h"

// Where a command's lines go: collected into the result, or written at once
// through the streams when there are any (a long repeat shows its lines as
// they happen).
class TCliOutput {
public:
    TCliOutput(TCliResult& result, const TCliStreams* streams) : FResult(result), FStreams(streams) {}
    void Out(const std::string& text);
    void Err(const std::string& text);

private:
    TCliResult& FResult;
    const TCliStreams* FStreams;
};

// The one-line JSON object of a result; absent fields are null.
struct TJsonResult {
    std::string Command;
    std::optional<std::string> Frame, Reply, Result;
    std::optional<bool> Accepted;
    std::optional<std::string> Outcome; // the exchange's outcome, for commands that talk to a device
    std::optional<long> Discarded;      // bytes dropped before the send
    std::optional<std::string> JudgedBy; // "window" or "fast": the rule that judged the reply
    int ExitCode = CliSuccess;
    std::optional<long> ElapsedMs;
    std::optional<std::string> Error;
};
std::string JsonResultLine(const TJsonResult& r);

// The help text of --fast, shared by the commands and batch.
extern const char* const QuickRuleHelp;

void RunLinkCommand(const std::string& command, TCommandKind kind, std::vector<std::string> args,
                    TCliOutput& out, TCliResult& result);
void RunSend(const std::string& command, std::vector<std::string> args, TCliOutput& out, TCliResult& result);
void RunPorts(std::vector<std::string> args, TCliOutput& out, TCliResult& result);

// The help of one of the commands above, with its tables.
TCommandHelp LinkCommandHelp(const std::string& command);

// The error text of a frame that could not be built, naming the option and the
// value behind it, with the window's message in brackets.
std::string FrameBuildErrorText(const TCommandInputs& inputs, const std::string& message);
