#include "cli/CliCommands.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "base/Convert.h"
#include "base/Exception.h"
#include "cli/Exchange.h"
#include "cli/Json.h"
#include "comm/SerialPorts.h"
#include "protocol/HexText.h"
#include "protocol/Reply.h"


namespace {

} // namespace

const char* const QuickRuleHelp =
    "judge the reply as soon as 13, 15 or 20 bytes have come and the line has then been quiet "
    "for the gap, instead of 1000 ms after its first byte; without such a length the window's "
    "timings stand. It disagrees with the window only when more bytes follow an accepted length "
    "after the gap and within the second: --fast has judged the first ones alone (the JSON "
    "result's judged_by says which rule judged)";

namespace {

// The options of the commands that talk to a device, beside the link and frame rows.
const TOptionTable& LinkCommandOptions() {
    static const TOptionTable table = {
        IntegerOption("settle", "MS", 0, 60000,
                      "after no reply, listen MS more ms and call a late answer a late reply ({} ms, "
                      "default 0)"),
        FlagOption("fast", QuickRuleHelp),
        IntegerOption("quiet-gap", "MS", 1, 1000,
                      "the quiet gap of --fast ({} ms; default the longer of 20 ms and ten character "
                      "times at the baud rate)"),
        FlagOption("json", "one JSON object on one line: command, frame, reply, result, accepted, outcome, "
                           "discarded, exit_code, elapsed_ms, error"),
    };
    return table;
}

const TOptionTable& SendOptions() {
    static const TOptionTable table = {
        IntegerOption("listen", "MS", 1, 3600000,
                      "after each send, wait MS ms and print the bytes that came back ({} ms)"),
        IntegerOption("repeat", "MS", 1, 3600000, "send again every MS ms ({}); needs --count"),
        IntegerOption("count", "K", 1, 1000000, "send K times in all ({}); the first send is at once"),
        FlagOption("json", "one JSON object per send on its own line"),
    };
    return table;
}

const TOptionTable& PortsOptions() {
    static const TOptionTable table = {FlagOption("json", "one JSON object per port on its own line")};
    return table;
}

std::string CommandHelp(const std::string& command) {
    std::string what;
    if (command == "set-id")
        what = "Sends a Set_ID command (the window's \"Set_ID\" button) and prints the line the window\n"
               "would log: SetID_OK, or Error when nothing came back.\n";
    else if (command == "set-eln")
        what = "Sends an ELN set command (the window's \"Set_ELN\") with the text of --eln and prints\n"
               "the line the window would log: SetSerial_number_OK, or Error.\n";
    else
        what = "Sends an ELN read command (the window's \"Read_ELN\") and prints the ELN the device\n"
               "returns (the 7 reply bytes at 10..16), or Error.\n";
    return "Usage: kaldora-cli " + command + " (--port COMn|PATH [--baud R] [--parity P] | --tcp HOST:PORT)\n" +
           "       [frame options] [--settle MS] [--json]\n\n" + what +
           "\nBytes waiting on the link before the frame are dropped first (and counted on standard\n"
           "error). The reply is judged as the window judges it: 1000 ms after its first byte, by\n"
           "its length alone (13, 15 or 20 bytes); \"Error\" when no byte came within 3000 ms.\n\n"
           "The link is one --port (with --baud, --parity) or one --tcp:\n" +
           OptionsHelpText({LinkOptionTable(), LinkCommandOptions()}) +
           "\nFrame options: those of 'kaldora-cli frame' (--model, --id 0..255, --serial, --eln,\n"
           "--packet, --address, --item, --data, --encrypt, ...); see 'kaldora-cli frame --help'.\n" +
           "\nExit status: 0 an accepted reply; 1 Error, a late reply or a reply of another length\n"
           "(what came back is said on standard error); 2 a bad option, a link that does not open,\n"
           "or a link that failed (before the frame left: not sent; after: the device may have\n"
           "taken it), with the reason; 3 standard output could not be written; 130 interrupted\n"
           "(Ctrl-C, SIGTERM or SIGHUP; the port is closed first).\n";
}

std::string SendHelp(const std::string& command) {
    const bool text = command == "send-text";
    return "Usage: kaldora-cli " + command + (text ? " TEXT" : " HEX") +
           " (--port COMn|PATH [--baud R] [--parity P] | --tcp HOST:PORT)\n"
           "       [--listen MS] [--repeat MS --count K] [--json]\n\n" +
           (text ? std::string("Sends TEXT and one carriage return (0D), as the window's TXT button. The\n"
                               "argument's bytes go out as given; the window converts its text to Big5\n"
                               "first, which differs only for characters outside ASCII. Unlike the\n"
                               "window's TXT, this works over --tcp too.\n")
                 : std::string("Sends bytes given as hexadecimal text, as the window's BIN button: pairs\n"
                               "of digits, blanks between bytes optional (\"24 00 FF\" or \"2400FF\").\n"
                               "Unlike the window, a character that is not a digit is refused.\n")) +
           "Prints the number of bytes sent.\n\nThe link is one --port (with --baud, --parity) or one --tcp:\n" +
           OptionsHelpText({LinkOptionTable(), SendOptions()}) +
           "\nExit status: 0 sent (with --listen: and some byte came back); 1 with --listen when\n"
           "nothing came back at all; 2 a bad option or value, or a link that does not open\n"
           "or fails; 3 standard output could not be written; 130 interrupted (Ctrl-C).\n";
}

std::string PortsHelp() {
    return "Usage: kaldora-cli ports [--json]\n\n"
           "Lists the serial ports present with the number each has in the window (COM1 is the\n"
           "first), the device path, the kernel driver and, for USB adapters, vendor:product id,\n"
           "manufacturer, product and serial number. --port takes either the COM name or the path.\n\n" +
           OptionsHelpText({PortsOptions()}) + "\nExit status: 0.\n";
}

std::string Shown(const std::string& value) {
    if (value.empty() || value.find(' ') != std::string::npos) return "'" + value + "'";
    return value;
}

void Report(TCliOutput& out, TCliResult& result, bool json, const std::string& command, int exitCode,
            const std::string& error) {
    result.ExitCode = exitCode;
    if (json) {
        TJsonResult r;
        r.Command = command;
        r.ExitCode = exitCode;
        r.Error = error;
        out.Out(JsonResultLine(r) + "\n");
    } else {
        out.Err("kaldora-cli " + command + ": " + error + "\n");
    }
}

std::string WithHelpHint(const std::string& command, const std::string& error) {
    return error + " (see 'kaldora-cli " + command + " --help')";
}

// Waits until the time, discarding what arrives meanwhile (the next send drains it
// anyway).
TLinkWait WaitUntil(TLink& link, TClock::time_point until) {
    std::vector<uint8_t> dropped;
    for (;;) {
        const TLinkWait wait = link.Receive(dropped, until);
        dropped.clear();
        if (wait != TLinkWait::Data) return wait;
    }
}

int LinkCommandExitCode(TExchangeOutcome outcome) {
    switch (outcome) {
    case TExchangeOutcome::Accepted:
    case TExchangeOutcome::Sent:
        return CliSuccess;
    case TExchangeOutcome::Interrupted:
        return CliInterrupted;
    case TExchangeOutcome::NotSent:
    case TExchangeOutcome::LostAfterSend:
        return CliFailure;
    default:
        return CliNoResult;
    }
}

} // namespace

void TCliOutput::Out(const std::string& text) {
    if (FStreams && FStreams->Out)
        FStreams->Out(text);
    else
        FResult.Out += text;
}

void TCliOutput::Err(const std::string& text) {
    if (FStreams && FStreams->Err)
        FStreams->Err(text);
    else
        FResult.Err += text;
}

std::string JsonResultLine(const TJsonResult& r) {
    TJsonObject o;
    auto text = [&o](const char* key, const std::optional<std::string>& value) {
        if (value)
            o.Add(key, *value);
        else
            o.AddRaw(key, "null");
    };
    o.Add("command", r.Command);
    text("frame", r.Frame);
    text("reply", r.Reply);
    text("result", r.Result);
    if (r.Accepted)
        o.Add("accepted", *r.Accepted);
    else
        o.AddRaw("accepted", "null");
    if (r.Outcome) o.Add("outcome", *r.Outcome);
    if (r.Discarded) o.Add("discarded", static_cast<long long>(*r.Discarded));
    if (r.JudgedBy) o.Add("judged_by", *r.JudgedBy);
    o.Add("exit_code", r.ExitCode);
    if (r.ElapsedMs)
        o.Add("elapsed_ms", static_cast<long long>(*r.ElapsedMs));
    else
        o.AddRaw("elapsed_ms", "null");
    text("error", r.Error);
    return o.Text();
}

std::string FrameBuildErrorText(const TCommandInputs& in, const std::string& message) {
    const bool rangeCheck = message == RangeCheckErrorText;
    if (in.Kind == TCommandKind::SetId && in.Model == TModel::OspreyB) {
        if (rangeCheck)
            return "--serial " + Shown(in.SerialText) +
                   ": an OSPREY-B serial number needs at least 3 characters, e.g. 23A1705 (" + message + ")";
        return "--serial " + Shown(in.SerialText) +
               ": year, month (1-9, A-C) and number do not form a decimal number (" + message + ")";
    }
    if ((in.Kind == TCommandKind::SetEln || in.Kind == TCommandKind::AutoEln) && rangeCheck &&
        in.ElnText.size() < 3)
        return "--eln " + Shown(in.ElnText) + ": an ELN needs at least 3 characters, e.g. 23A1705 (" +
               message + ")";
    if (rangeCheck) return "--data: the payload is longer than 65535 bytes (" + message + ")";
    return message;
}

void RunLinkCommand(const std::string& command, TCommandKind kind, std::vector<std::string> args,
                    TCliOutput& out, TCliResult& result) {
    const TParsedOptions parsed = ParseOptions(args, {LinkOptionTable(), FrameOptionTable(), LinkCommandOptions()});
    if (parsed.Help) return out.Out(CommandHelp(command));
    const bool json = parsed.Has("json");
    TLinkSettings settings;
    std::string error = parsed.Error;
    if (error.empty()) error = LinkSettingsOf(parsed, settings);
    if (error.empty() && parsed.Has("command"))
        error = "--command: the command is '" + command + "' itself; leave --command out";
    if (error.empty() && !parsed.Positionals.empty()) error = "unexpected argument '" + parsed.Positionals[0] + "'";
    if (!error.empty()) return Report(out, result, json, command, CliFailure, WithHelpHint(command, error));
    TCommandInputs inputs = FrameInputsOf(parsed);
    const std::optional<int> settle = parsed.IntegerIf("settle");
    inputs.Kind = kind;

    std::vector<uint8_t> frame;
    try {
        TCipherState cipherState{};
        frame = BuildCommandFrame(inputs, cipherState);
    } catch (const Exception& e) {
        return Report(out, result, json, command, CliFailure, FrameBuildErrorText(inputs, e.Message()));
    }
    if (settings.Kind == TLinkSettings::TKind::None)
        return Report(out, result, json, command, CliFailure,
                      WithHelpHint(command, "no link given: add --port COMn|PATH or --tcp HOST:PORT"));

    const std::unique_ptr<TLink> link = MakeLink(settings);
    const std::string reason = link->Open();
    if (!reason.empty()) return Report(out, result, json, command, CliFailure, reason);
    TExchangeRule rule;
    rule.ReplyKind = ReplyKindOf(kind);
    // One command is the link's last: nothing follows that a late answer could be taken
    // for, so the verdict comes at the window's time unless --settle asks to listen on.
    rule.SettleMs = static_cast<unsigned>(settle.value_or(0));
    if (parsed.Has("fast")) rule.QuietGapMs = QuietGapFor(settings, parsed.Integer("quiet-gap", 0));
    const TExchangeResult x = RunExchange(*link, frame, rule);
    link->Close();
    result.ExitCode = LinkCommandExitCode(x.Outcome);

    std::string detail = OutcomeDetail(x);
    if (x.Outcome == TExchangeOutcome::NoReply) detail += " from " + link->Describe();
    if (json) {
        TJsonResult r;
        r.Command = command;
        r.Frame = HexText(x.Frame);
        r.Reply = ReplyText(x);
        r.Result = x.ResultLine;
        r.Accepted = x.Outcome == TExchangeOutcome::Accepted;
        r.Outcome = OutcomeName(x.Outcome);
        r.Discarded = static_cast<long>(x.Discarded);
        if (x.ReplyBytes > 0) r.JudgedBy = x.JudgedBy == TReplyRule::Quick ? "fast" : "window";
        r.ExitCode = result.ExitCode;
        r.ElapsedMs = x.ElapsedMs;
        if (!detail.empty() && x.Outcome != TExchangeOutcome::Accepted) r.Error = detail;
        out.Out(JsonResultLine(r) + "\n");
        return;
    }
    if (!x.ResultLine.empty()) out.Out(x.ResultLine + "\n");
    if (x.Discarded > 0)
        out.Err("kaldora-cli " + command + ": dropped " + std::to_string(x.Discarded) +
                " bytes that were waiting on " + link->Describe() + " before the frame\n");
    if (!detail.empty()) out.Err("kaldora-cli " + command + ": " + detail + "\n");
}

void RunSend(const std::string& command, std::vector<std::string> args, TCliOutput& out, TCliResult& result) {
    const TParsedOptions parsed = ParseOptions(args, {LinkOptionTable(), SendOptions()});
    if (parsed.Help) return out.Out(SendHelp(command));
    const bool json = parsed.Has("json");
    TLinkSettings settings;
    std::string error = parsed.Error;
    if (error.empty()) error = LinkSettingsOf(parsed, settings);
    const std::optional<int> listen = parsed.IntegerIf("listen"), repeat = parsed.IntegerIf("repeat"),
                             count = parsed.IntegerIf("count");
    if (error.empty() && repeat && !count)
        error = "--repeat " + std::to_string(*repeat) + ": give --count K too";
    if (error.empty() && count && *count > 1 && !repeat)
        error = "--count " + std::to_string(*count) + ": give --repeat MS too";
    const std::vector<std::string>& texts = parsed.Positionals;
    if (error.empty() && texts.size() != 1)
        error = texts.empty() ? std::string(command == "send-text" ? "no TEXT given" : "no HEX given")
                              : "give the " + std::string(command == "send-text" ? "text" : "bytes") +
                                    " as one argument (quote it), not " + std::to_string(texts.size());
    std::vector<uint8_t> bytes;
    if (error.empty()) {
        if (command == "send-text") {
            bytes.assign(texts[0].begin(), texts[0].end());
            bytes.push_back(0x0D);
        } else {
            const std::string hexError = ParseCaptureHex(texts[0], bytes);
            if (!hexError.empty()) error = Shown(texts[0]) + ": " + hexError;
        }
    }
    if (error.empty() && settings.Kind == TLinkSettings::TKind::None)
        error = "no link given: add --port COMn|PATH or --tcp HOST:PORT";
    if (!error.empty()) return Report(out, result, json, command, CliFailure, WithHelpHint(command, error));

    const std::unique_ptr<TLink> link = MakeLink(settings);
    const std::string reason = link->Open();
    if (!reason.empty()) return Report(out, result, json, command, CliFailure, reason);

    TExchangeRule rule;
    rule.Judge = false;
    rule.ListenMs = static_cast<unsigned>(listen.value_or(0));
    const int sends = count.value_or(1);
    const auto start = TClock::now();
    bool anyReply = false;
    result.ExitCode = CliSuccess;
    for (int k = 0; k < sends; ++k) {
        if (k > 0 && WaitUntil(*link, start + std::chrono::milliseconds(static_cast<long long>(*repeat) * k)) ==
                         TLinkWait::Interrupted) {
            result.ExitCode = CliInterrupted;
            break;
        }
        const TExchangeResult x = RunExchange(*link, bytes, rule);
        const bool interrupted = x.Outcome == TExchangeOutcome::Interrupted;
        if (x.Outcome == TExchangeOutcome::NotSent || x.Outcome == TExchangeOutcome::LostAfterSend ||
            (interrupted && x.Sent < bytes.size())) {
            Report(out, result, json, command, interrupted ? CliInterrupted : CliFailure, OutcomeDetail(x));
            break;
        }
        anyReply = anyReply || x.ReplyBytes > 0;
        const std::string sentLine = "sent " + std::to_string(x.Sent) + (x.Sent == 1 ? " byte" : " bytes");
        if (json) {
            TJsonResult r;
            r.Command = command;
            r.Frame = HexText(bytes);
            if (listen) r.Reply = ReplyText(x);
            r.Result = sentLine;
            r.Outcome = OutcomeName(x.Outcome);
            r.Discarded = static_cast<long>(x.Discarded);
            r.ExitCode = interrupted ? CliInterrupted : CliSuccess;
            r.ElapsedMs = x.ElapsedMs;
            out.Out(JsonResultLine(r) + "\n");
        } else {
            out.Out(sentLine + "\n");
            if (listen && !interrupted)
                out.Out(x.ReplyBytes == 0 ? "received nothing in " + std::to_string(*listen) + " ms\n"
                                          : "received " + std::to_string(x.ReplyBytes) + " bytes: " + ReplyText(x) + "\n");
        }
        if (interrupted) {
            result.ExitCode = CliInterrupted;
            break;
        }
        if (x.LinkLost) {
            Report(out, result, json, command, CliFailure, x.LinkReason);
            break;
        }
    }
    link->Close();
    if (result.ExitCode == CliSuccess && listen && !anyReply) result.ExitCode = CliNoResult;
}

void RunPorts(std::vector<std::string> args, TCliOutput& out, TCliResult& result) {
    const TParsedOptions parsed = ParseOptions(args, {PortsOptions()});
    if (parsed.Help) return out.Out(PortsHelp());
    const bool json = parsed.Has("json");
    std::string error = parsed.Error;
    if (error.empty() && !parsed.Positionals.empty()) error = "unknown argument '" + parsed.Positionals[0] + "'";
    if (!error.empty()) return Report(out, result, json, "ports", CliFailure, WithHelpHint("ports", error));
    const std::vector<TSerialPortInfo> ports = ListSerialPortInfo();
    if (ports.empty()) {
        if (json) {
            TJsonResult r;
            r.Command = "ports";
            r.Result = "no serial ports";
            out.Out(JsonResultLine(r) + "\n");
        } else {
            out.Out("no serial ports found (USB adapters appear as /dev/ttyUSB* or /dev/ttyACM* when plugged "
                    "in)\n");
        }
        return;
    }
    for (size_t k = 0; k < ports.size(); ++k) {
        const TSerialPortInfo& p = ports[k];
        const std::string com = "COM" + std::to_string(k + 1);
        const std::string usbId = p.Usb ? p.VendorId + ":" + p.ProductId : "";
        if (json) {
            TJsonObject o;
            o.Add("command", "ports").AddRaw("frame", "null").AddRaw("reply", "null");
            o.Add("result", com + " " + p.Path).AddRaw("accepted", "null").Add("exit_code", 0);
            o.AddRaw("elapsed_ms", "null").AddRaw("error", "null");
            o.Add("com", com).Add("path", p.Path).Add("driver", p.Driver).Add("usb", p.Usb);
            o.Add("usb_id", usbId).Add("manufacturer", p.Manufacturer).Add("product", p.Product);
            o.Add("serial_number", p.SerialNumber);
            out.Out(o.Text() + "\n");
            continue;
        }
        std::string line = com + "  " + p.Path;
        if (!p.Driver.empty()) line += "  driver " + p.Driver;
        if (p.Usb) {
            line += "  USB " + usbId;
            const std::string names =
                p.Manufacturer + (p.Manufacturer.empty() || p.Product.empty() ? "" : " ") + p.Product;
            if (!names.empty()) line += "  " + names;
            if (!p.SerialNumber.empty()) line += "  serial " + p.SerialNumber;
        }
        out.Out(line + "\n");
    }
}

TCommandHelp LinkCommandHelp(const std::string& command) {
    if (command == "ports") return {command, PortsHelp(), {&PortsOptions()}};
    if (command == "send-hex" || command == "send-text")
        return {command, SendHelp(command), {&LinkOptionTable(), &SendOptions()}};
    return {command, CommandHelp(command), {&LinkOptionTable(), &LinkCommandOptions()}};
}
