#include "cli/KaldoraCli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "base/Convert.h"
#include "base/Exception.h"
#include "cli/CliCommands.h"
#include "cli/Json.h"
#include "protocol/FrameDecoder.h"
#include "protocol/HexText.h"

namespace {

constexpr const char* FrameHelp =
    R"(Usage: kaldora-cli frame [options]

Builds one command frame and prints its hexadecimal text, as the window shows it:
two digits and a blank per byte. Every option stands for one control of the window;
without it the control keeps its stored value. Numbers beyond a control's range are
limited to that range, as the control does; values are then sent as their low 8 bits
(16 bits for the address word).

  --command KIND     set-id (default), set-eln, read-eln, or auto-eln (the ELN set
                     sent on a key release in the AutoELN field)
  --model MODEL      KESTREL-A, MARLIN-A or OSPREY-B; applied first, as a click on the
                     model button: command item 2 (KESTREL-A, OSPREY-B) or 8 (MARLIN-A),
                     the data text emptied or set to 44 zero bytes, the ELN text "0".
                     Without it no model is checked.
  --id N             new device ID, 0..255 as the window sends it (default 1); a value
                     outside is refused
  --serial TEXT      ELN text of OSPREY-B's Set_ID, e.g. 23A1705 (default "0")
  --eln TEXT         ELN text of set-eln; also needs 3 characters for auto-eln
                     (default "23A1705")
  --auto-text TEXT   text of the AutoELN field, sent by auto-eln (default empty)
  --packet N         packet number, 0..255 (default 0)
  --address N        address word, 0..65535 (default 65)
  --item N           command item, -1 (none) to 8; overrides the model's choice.
                     0 Status Request, 1 H/W Read, 2 H/W Write, 3 Info Read,
                     4 Device Reset, 5 File R/W, 6 Device R/W, 7 H/W R/W, 8 20h
  --data TEXT        hexadecimal data text such as "00 1A FF"; overrides the model's
                     (default "00")
  --rw-table N       R/W table, 0..255 (default 0)
  --table-index N    table index, 0..3 (default 0)
  --func1 N          function 1, 0..255 (default 0)
  --func2 N          function 2, 0..255 (default 0)
  --stat N           status, 0..255 (default 0)
  --encrypt          encipher the payload
  --json             print one JSON object: command, frame, reply, result,
                     accepted, exit_code, elapsed_ms, error
  --help             show this text

Texts are sent byte for byte as given; the window converts its texts to Big5 first,
which differs only for characters outside ASCII. Options take their value as the next
argument or after '='. Exit status: 0 when the
frame was built, 2 on an error (its message goes to standard error).
)";

constexpr const char* DecodeHelp =
    R"(Usage: kaldora-cli decode HEX... [--encrypt]

Splits a captured command frame into its fields: start byte and form, packet number,
address word, model bytes, command code and name, check byte (verified), length prefix,
payload and CRC (verified), end byte. HEX is the frame as hexadecimal text, bytes
separated by blanks or not ("24 00 FF FF ..." or "2400FFFF..."); several arguments are
read as one text.

  --encrypt          the payload was enciphered: decipher it
  --json             print one JSON object (command, frame, result, accepted,
                     exit_code, error, ...) with the fields under "fields"
  --help             show this text

Exit status: 0 when the frame fits and its checks hold, 2 otherwise, with what is
wrong on standard error.
)";

constexpr const char* MainHelp = R"(Usage: kaldora-cli COMMAND [options] [--json]

  frame      build a command frame and print its hexadecimal text
  decode     split a captured frame into its fields and verify it
  set-id     send a Set_ID command over a link and judge the reply as the window does
  set-eln    send an ELN set command and judge the reply
  read-eln   send an ELN read command and print the ELN returned
  send-hex   send bytes given as hexadecimal text (the window's BIN)
  send-text  send a text and a carriage return (the window's TXT)
  ports      list the serial ports with their COM numbers
  batch      give many devices their IDs from a CSV file, over one or more links

'kaldora-cli COMMAND --help' lists a command's options. A link is --port COMn|PATH
(with --baud, --parity) or --tcp HOST:PORT. --json prints one JSON object per result.
Exit status: 0 ok, 1 no reply or an unaccepted reply, 2 bad input or a link that
does not open, 130 interrupted.
)";

struct TNumberOption {
    const char* Name;
    int TCommandInputs::*Field;
    int Min, Max;
};

// The ranges of the spin edits the options stand for.
constexpr TNumberOption NumberOptions[] = {
    {"--id", &TCommandInputs::Id, CliIdMin, CliIdMax},    {"--packet", &TCommandInputs::PacketNumber, 0, 255},
    {"--address", &TCommandInputs::Address, 0, 65535},    {"--rw-table", &TCommandInputs::RwTable, 0, 255},
    {"--table-index", &TCommandInputs::TableIndex, 0, 3}, {"--func1", &TCommandInputs::Func1, 0, 255},
    {"--func2", &TCommandInputs::Func2, 0, 255},          {"--stat", &TCommandInputs::Stat, 0, 255},
};

struct TTextOption {
    const char* Name;
    std::string TCommandInputs::*Field;
};

constexpr TTextOption TextOptions[] = {
    {"--serial", &TCommandInputs::SerialText},
    {"--eln", &TCommandInputs::ElnText},
    {"--auto-text", &TCommandInputs::AutoText},
    {"--data", &TCommandInputs::DataText},
};

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text = FormatFrameHex(bytes.data(), bytes.size());
    if (!text.empty()) text.pop_back();
    return text;
}

std::string Quoted(const std::vector<uint8_t>& bytes) {
    std::string text = "'";
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F)
            text += static_cast<char>(b);
        else
            text += "\\x" + HexByteText(b);
    }
    return text + "'";
}

std::string Shown(const std::string& value) {
    if (value.empty() || value.find(' ') != std::string::npos) return "'" + value + "'";
    return value;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// What the payload means, for the commands whose payload the builder fills in itself.
std::string PayloadMeaning(const TDecodedFrame& f) {
    const auto& p = f.Payload;
    if (f.EmptyPayloadMarker() && f.CommandItem < 0) return "empty payload (sent as 01 20)";
    if (f.CommandItem == 1 && p.size() == 1 && p[0] == ElnReadByte) return "ELN read request";
    if (f.CommandItem == CommandItemHwWrite && p.size() == 2 && p[0] == IdWriteMark)
        return "new ID " + std::to_string(p[1]);
    if (p.size() == 1 + ElnTextBytes && p[0] == ElnWriteMark) {
        std::vector<uint8_t> text(p.begin() + 1, p.end());
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        return "ELN text " + Quoted(text);
    }
    if (f.CommandItem == CommandItem20h && p.size() >= 3)
        return std::to_string(p.size() - 3) + " data bytes, ID " + std::to_string(p.back());
    return "";
}

std::string DescribeFrame(const TDecodedFrame& f, bool encrypted) {
    std::string out;
    auto line = [&out](const std::string& field, const std::string& value) {
        out += field;
        out.append(field.size() < 16 ? 16 - field.size() : 1, ' ');
        out += value + "\n";
    };
    line("start byte", HexByteText(f.StartByte) + (f.FormA ? " (form A)" : " (form B)"));
    line("packet number", std::to_string(f.PacketNumber));
    line("address word", HexWordText(f.AddressWord) + " (" + std::to_string(f.AddressWord) + ")");
    line("model bytes", f.ModelBytes.empty() ? "none" : HexBytes(f.ModelBytes));
    if (f.CommandCode)
        line("command code", HexByteText(*f.CommandCode) + " " + CommandTable[f.CommandItem].Name);
    else
        line("command code", "none");
    line("check byte", HexByteText(f.BlockCheck) + " (verified)");
    line("length prefix", HexBytes(f.LengthPrefix) + " (" + std::to_string(f.PayloadLength) +
                              (f.PayloadLength == 1 ? " payload byte)" : " payload bytes)"));
    if (encrypted) {
        line("payload sent", HexBytes(f.PayloadSent));
        line("payload", HexBytes(f.Payload) + " (deciphered)");
    } else {
        line("payload", HexBytes(f.Payload));
    }
    const std::string meaning = PayloadMeaning(f);
    if (!meaning.empty()) line("", meaning);
    if (f.FormA) line("end byte", HexByteText(f.EndByte));
    line("CRC", HexWordText(f.CrcCarried) +
                    (f.CrcOk() ? " (verified)" : " (computed " + HexWordText(f.CrcComputed) + ")"));
    if (!f.FormA) line("end byte", HexByteText(f.EndByte));
    return out;
}

TCliResult Fail(std::string message) {
    return {CliFailure, "", std::move(message) + "\n"};
}

TCliResult JsonFailure(const std::string& command, const std::string& error) {
    TJsonResult r;
    r.Command = command;
    r.ExitCode = CliFailure;
    r.Error = error;
    return {CliFailure, JsonResultLine(r) + "\n", ""};
}

TCliResult RunFrame(std::vector<std::string> options) {
    if (std::find(options.begin(), options.end(), "--help") != options.end())
        return {CliSuccess, FrameHelp, ""};
    const bool json = TakeJsonOption(options);
    TCommandInputs inputs;
    const std::string error = ParseFrameOptions(options, inputs);
    if (!error.empty()) {
        const std::string text = error + " (see 'kaldora-cli frame --help')";
        return json ? JsonFailure("frame", text) : Fail("kaldora-cli frame: " + text);
    }
    try {
        TCipherState cipherState{};
        const std::vector<uint8_t> frame = BuildCommandFrame(inputs, cipherState);
        if (!json) return {CliSuccess, FormatFrameHex(frame.data(), frame.size()) + "\n", ""};
        TJsonResult r;
        r.Command = "frame";
        r.Frame = HexBytes(frame);
        return {CliSuccess, JsonResultLine(r) + "\n", ""};
    } catch (const Exception& e) {
        const std::string text = FrameBuildErrorText(inputs, e.Message());
        return json ? JsonFailure("frame", text) : Fail("kaldora-cli frame: " + text);
    }
}

std::string DecodedFieldsJson(const TDecodedFrame& f) {
    TJsonObject o;
    o.Add("start_byte", HexByteText(f.StartByte)).Add("form", f.FormA ? "A" : "B");
    o.Add("packet_number", f.PacketNumber).Add("address_word", static_cast<int>(f.AddressWord));
    o.Add("model_bytes", HexBytes(f.ModelBytes));
    if (f.CommandCode) {
        o.Add("command_code", HexByteText(*f.CommandCode))
            .Add("command_name", CommandTable[f.CommandItem].Name);
    } else {
        o.AddRaw("command_code", "null").AddRaw("command_name", "null");
    }
    o.Add("check_byte", HexByteText(f.BlockCheck)).Add("payload", HexBytes(f.Payload));
    o.Add("payload_meaning", PayloadMeaning(f))
        .Add("crc", HexWordText(f.CrcCarried))
        .Add("crc_ok", f.CrcOk());
    return o.Text();
}

TCliResult RunDecode(std::vector<std::string> args) {
    const bool json = TakeJsonOption(args);
    bool encrypted = false;
    std::string text;
    auto failure = [json](const std::string& error) {
        return json ? JsonFailure("decode", error) : Fail("kaldora-cli decode: " + error);
    };
    for (const auto& arg : args) {
        if (arg == "--help") return {CliSuccess, DecodeHelp, ""};
        if (arg == "--encrypt") {
            encrypted = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            return failure("unknown option '" + arg + "' (see 'kaldora-cli decode --help')");
        } else {
            text += arg + " ";
        }
    }
    std::vector<uint8_t> bytes;
    std::string error = ParseCaptureHex(text, bytes);
    if (!error.empty()) return failure(error);
    if (bytes.empty()) return failure("no frame given (see 'kaldora-cli decode --help')");

    const TDecodeResult result = DecodeCommandFrame(bytes.data(), bytes.size(), encrypted);
    TCliResult out;
    if (!result.Ok()) out.ExitCode = CliFailure;
    if (json) {
        TJsonObject o;
        o.Add("command", "decode").Add("frame", HexBytes(bytes)).AddRaw("reply", "null");
        o.Add("result", result.Ok() ? "frame verified" : "the frame does not fit");
        o.AddRaw("accepted", "null").Add("exit_code", out.ExitCode).AddRaw("elapsed_ms", "null");
        if (result.Ok())
            o.AddRaw("error", "null");
        else
            o.Add("error", "the frame does not fit: " + result.Error);
        o.AddRaw("fields", result.Frame ? DecodedFieldsJson(*result.Frame) : "null");
        out.Out = o.Text() + "\n";
        return out;
    }
    if (result.Frame) out.Out = DescribeFrame(*result.Frame, encrypted);
    if (!result.Ok()) out.Err = "kaldora-cli decode: the frame does not fit: " + result.Error + "\n";
    return out;
}

} // namespace

bool MatchesOption(const std::string& arg, const char* name, std::optional<std::string>& inlineValue) {
    const std::string_view n(name);
    if (arg == n) return true;
    if (arg.size() > n.size() && arg.compare(0, n.size(), n) == 0 && arg[n.size()] == '=') {
        inlineValue = arg.substr(n.size() + 1);
        return true;
    }
    return false;
}


std::string ParseFrameOptions(const std::vector<std::string>& options, TCommandInputs& inputs) {
    // Values in the order given; the model's handler is applied before all of them.
    std::vector<std::pair<const TNumberOption*, int>> numbers;
    std::vector<std::pair<const TTextOption*, std::string>> texts;
    std::optional<int> item;
    std::optional<TModel> model;
    TCommandKind kind = TCommandKind::SetId;
    bool encrypt = false;

    for (size_t k = 0; k < options.size(); ++k) {
        const std::string& arg = options[k];
        std::optional<std::string> inlineValue;
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (k + 1 < options.size()) return options[++k];
            return std::nullopt;
        };
        auto missing = [&arg] { return "option '" + arg + "' needs a value"; };

        if (arg == "--encrypt") {
            encrypt = true;
            continue;
        }
        bool known = false;
        for (const auto& option : NumberOptions) {
            if (!MatchesOption(arg, option.Name, inlineValue)) continue;
            const auto text = value();
            if (!text) return missing();
            const auto number = TryStrToInt(*text);
            if (!number) return option.Name + (" " + Shown(*text) + ": " + InvalidIntegerMessage(*text));
            // What goes out is the number given, or nothing: no value is cut to fit.
            if (*number < option.Min || *number > option.Max) {
                const std::string range = std::to_string(option.Min) + ".." + std::to_string(option.Max);
                if (option.Field == &TCommandInputs::Id)
                    return "--id " + *text + ": a device ID is " + range + " (one byte in the frame, as the window sends it)";
                return option.Name + (" " + *text + ": the frame carries " + range);
            }
            numbers.emplace_back(&option, *number);
            known = true;
            break;
        }
        if (known) continue;
        for (const auto& option : TextOptions) {
            if (!MatchesOption(arg, option.Name, inlineValue)) continue;
            const auto text = value();
            if (!text) return missing();
            texts.emplace_back(&option, *text);
            known = true;
            break;
        }
        if (known) continue;
        if (MatchesOption(arg, "--item", inlineValue)) {
            const auto text = value();
            if (!text) return missing();
            const auto number = TryStrToInt(*text);
            if (!number) return "--item " + Shown(*text) + ": " + InvalidIntegerMessage(*text);
            if (*number < CommandItemNone || *number >= CommandItemCount)
                return "--item " + *text + ": a command item is -1 (none) to 8";
            item = *number;
        } else if (MatchesOption(arg, "--model", inlineValue)) {
            const auto text = value();
            if (!text) return missing();
            const std::string name = Upper(*text);
            if (name == "KESTREL-A")
                model = TModel::KestrelA;
            else if (name == "MARLIN-A")
                model = TModel::MarlinA;
            else if (name == "OSPREY-B")
                model = TModel::OspreyB;
            else
                return "--model " + Shown(*text) + ": unknown model; give KESTREL-A, MARLIN-A or OSPREY-B";
        } else if (MatchesOption(arg, "--command", inlineValue)) {
            const auto text = value();
            if (!text) return missing();
            if (*text == "set-id")
                kind = TCommandKind::SetId;
            else if (*text == "set-eln")
                kind = TCommandKind::SetEln;
            else if (*text == "read-eln")
                kind = TCommandKind::ReadEln;
            else if (*text == "auto-eln")
                kind = TCommandKind::AutoEln;
            else
                return "--command " + Shown(*text) +
                       ": unknown command; give set-id, set-eln, read-eln or auto-eln";
        } else {
            return "unknown option '" + arg + "'";
        }
    }

    TCommandInputs result;
    if (model) ApplyModelSelection(result, *model);
    result.Kind = kind;
    result.Encrypt = encrypt;
    for (const auto& [option, number] : numbers)
        result.*(option->Field) = number;
    for (const auto& [option, text] : texts)
        result.*(option->Field) = text;
    if (item) result.CommandItem = *item;
    inputs = std::move(result);
    return "";
}

std::string ParseCaptureHex(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::string digits;
    auto flush = [&]() -> std::string {
        if (digits.size() % 2 != 0) return "'" + digits + "' has an odd number of hexadecimal digits";
        for (size_t k = 0; k < digits.size(); k += 2)
            bytes.push_back(
                static_cast<uint8_t>(16 * HexDigitValue(digits[k]) + HexDigitValue(digits[k + 1])));
        digits.clear();
        return "";
    };
    for (size_t k = 0; k <= text.size(); ++k) {
        const char c = k < text.size() ? text[k] : ' ';
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            const std::string error = flush();
            if (!error.empty()) return error;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else {
            return "'" + std::string(1, c) + "' at position " + std::to_string(k + 1) +
                   " is not a hexadecimal digit";
        }
    }
    return "";
}

TCliResult RunCli(const std::vector<std::string>& args, const TCliStreams* streams) {
    if (args.empty()) return {CliFailure, "", MainHelp};
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") return {CliSuccess, MainHelp, ""};
    if (command == "frame") return RunFrame(rest);
    if (command == "decode") return RunDecode(rest);
    TCliResult result;
    TCliOutput out(result, streams);
    if (command == "set-id")
        RunLinkCommand(command, TCommandKind::SetId, rest, out, result);
    else if (command == "set-eln")
        RunLinkCommand(command, TCommandKind::SetEln, rest, out, result);
    else if (command == "read-eln")
        RunLinkCommand(command, TCommandKind::ReadEln, rest, out, result);
    else if (command == "send-hex" || command == "send-text")
        RunSend(command, rest, out, result);
    else if (command == "ports")
        RunPorts(rest, out, result);
    else
        return Fail("kaldora-cli: unknown command '" + command + "' (see 'kaldora-cli --help')");
    return result;
}
