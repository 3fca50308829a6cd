#include "cli/KaldoraCli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>

#include "base/Convert.h"
#include "base/Exception.h"
#include "cli/BatchCommand.h"
#include "cli/StationCommand.h"
#include "cli/CliCommands.h"
#include "cli/Json.h"
#include "protocol/Cipher.h"
#include "protocol/FrameDecoder.h"
#include "protocol/HexText.h"

namespace {

constexpr const char* FrameIntro =
    R"(Usage: kaldora-cli frame [options]

Builds one command frame and prints its hexadecimal text, as the window shows it:
two digits and a blank per byte. Every option stands for one control of the window;
without it the control keeps its stored value. A number the frame cannot carry as
given is refused; values are sent as their low 8 bits (16 bits for the address word).

)";

constexpr const char* FrameTail = R"(
Texts are sent byte for byte as given; the window converts its texts to Big5 first,
which differs only for characters outside ASCII. Exit status: 0 when the frame was
built, 2 on an error (its message goes to standard error).
)";

constexpr const char* DecodeIntro =
    R"(Usage: kaldora-cli decode HEX... [--encrypt]
       kaldora-cli decode - [--encrypt]

Splits a captured command frame into its fields: start byte and form, packet number,
address word, model bytes, command code and name, check byte (verified), length prefix,
payload and CRC (verified), end byte. HEX is the frame as hexadecimal text, bytes
separated by blanks or not ("24 00 FF FF ..." or "2400FFFF..."); several arguments are
read as one text. With "-" the hexadecimal text of a captured stream is read from
standard input, one frame a line or all of it as one stream: it is split into its
frames, each decoded in turn, and bytes that form no frame are listed by their offset.

)";

constexpr const char* DecodeTail = R"(
Exit status: 0 when every frame fits and its checks hold, 2 otherwise, with what is
wrong on standard error.
)";

constexpr const char* MainIntro = R"(Usage: kaldora-cli COMMAND [options] [--json]

  frame      build a command frame and print its hexadecimal text
  decode     split a captured frame into its fields and verify it
  set-id     send a Set_ID command over a link and judge the reply as the window does
  set-eln    send an ELN set command and judge the reply
  read-eln   send an ELN read command and print the ELN returned
  send-hex   send bytes given as hexadecimal text (the window's BIN)
  send-text  send a text and a carriage return (the window's TXT)
  ports      list the serial ports with their COM numbers
  batch      give many devices their IDs from a CSV file, over one or more links
  station    give each device put on a fixture the next free ID of a lot, by its ELN
  journal    'journal export FILE': a batch's or a station's journal as CSV
  help       'kaldora-cli help COMMAND' lists a command's options

)";

constexpr const char* MainTail = R"(
A link is --port COMn|PATH (with --baud, --parity) or --tcp HOST:PORT. --json prints
one JSON object per result. Options take their value as the next argument or after
'='; '--' ends the options. Exit status: 0 ok, 1 no reply or an unaccepted reply,
2 bad input or a link that does not open, 3 standard output could not be written,
130 interrupted.
)";

constexpr const char* ProgramName = "kaldora-cli";

const TOptionTable MainOptions = {FlagOption("version", "print the program's name and version")};

const TOptionTable FrameJsonOption = {
    FlagOption("json", "print one JSON object: command, frame, reply, result, accepted, exit_code, "
                       "elapsed_ms, error")};

const TOptionTable DecodeOptions = {
    FlagOption("encrypt", "the payload was enciphered: decipher it"),
    FlagOption("json", "print one JSON object a frame (command, frame, result, accepted, exit_code, "
                       "error, ...) with the fields under \"fields\""),
};

struct TTextInput {
    const char* Name;
    std::string TCommandInputs::*Field;
    const char* Help;
};

constexpr TTextInput TextInputs[] = {
    {"serial", &TCommandInputs::SerialText, "ELN text of OSPREY-B's Set_ID, e.g. 23A1705 (default \"0\")"},
    {"eln", &TCommandInputs::ElnText,
     "ELN text of set-eln; also needs 3 characters for auto-eln (default \"23A1705\")"},
    {"auto-text", &TCommandInputs::AutoText, "text of the AutoELN field, sent by auto-eln (default empty)"},
    {"data", &TCommandInputs::DataText,
     "hexadecimal data text such as \"00 1A FF\"; overrides the model's (default \"00\")"},
};

constexpr std::pair<const char*, TCommandKind> CommandKinds[] = {{"set-id", TCommandKind::SetId},
                                                                 {"set-eln", TCommandKind::SetEln},
                                                                 {"read-eln", TCommandKind::ReadEln},
                                                                 {"auto-eln", TCommandKind::AutoEln}};

TOptionTable MakeFrameOptionTable() {
    TOptionTable table;
    std::vector<std::string> kinds;
    for (const auto& [name, kind] : CommandKinds)
        kinds.emplace_back(name);
    table.push_back(ChoiceOption("command", "KIND", kinds,
                                 "{} (default set-id); auto-eln is the ELN set sent on a key release in "
                                 "the AutoELN field"));
    table.back().Refusal = "unknown command; give {}";
    table.push_back(ChoiceOption("model", "MODEL", ModelNames(),
                                 "{}; applied first, as a click on the model button: command item 2 "
                                 "(KESTREL-A, OSPREY-B) or 8 (MARLIN-A), the data text emptied or set to "
                                 "44 zero bytes, the ELN text \"0\". Without it no model is checked."));
    table.back().Refusal = UnknownModelReason();
    const TCommandInputs stored;
    for (const TNumberInput& input : NumberInputs) {
        std::string help =
            std::string(input.Label) + ", {} (default " + std::to_string(stored.*input.Field) + ")";
        if (input.Field == &TCommandInputs::CommandItem) {
            help += "; -1 is none; overrides the model's choice:";
            for (int k = 0; k < CommandItemCount; ++k)
                help += (k == 0 ? "\n" : ", ") + std::to_string(k) + " " + CommandTable[k].Name;
        }
        table.push_back(IntegerOption(input.Name, "N", input.Min, input.Max, help));
        table.back().Refusal = input.Why;
    }
    for (const TTextInput& input : TextInputs)
        table.push_back(TextOption(input.Name, "TEXT", input.Help));
    table.push_back(FlagOption("encrypt", "encipher the payload"));
    return table;
}

} // namespace

TCommandInputs FrameInputsOf(const TParsedOptions& parsed) {
    TCommandInputs inputs;
    if (const auto model = ModelOfName(parsed.Text("model"))) ApplyModelSelection(inputs, *model);
    for (const auto& [name, kind] : CommandKinds)
        if (parsed.Text("command", "set-id") == name) inputs.Kind = kind;
    inputs.Encrypt = parsed.Has("encrypt");
    for (const TNumberInput& input : NumberInputs)
        if (const auto number = parsed.IntegerIf(input.Name)) inputs.*input.Field = *number;
    for (const TTextInput& input : TextInputs)
        if (parsed.Has(input.Name)) inputs.*input.Field = parsed.Text(input.Name);
    return inputs;
}

namespace {

std::string FrameHelp() {
    return FrameIntro + OptionsHelpText({FrameOptionTable(), FrameJsonOption}) + FrameTail;
}

std::string DecodeHelp() {
    return DecodeIntro + OptionsHelpText({DecodeOptions}) + DecodeTail;
}

std::string MainHelp() {
    return MainIntro + OptionsHelpText({MainOptions}) + MainTail;
}

// Whether option stands among the arguments before any "--".
bool GivesOption(const std::vector<std::string>& args, const char* option) {
    const auto end = std::find(args.begin(), args.end(), "--");
    return std::find(args.begin(), end, option) != end;
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
    line("model bytes", f.ModelBytes.empty() ? "none" : HexText(f.ModelBytes));
    if (f.CommandCode)
        line("command code", HexByteText(*f.CommandCode) + " " + CommandTable[f.CommandItem].Name);
    else
        line("command code", "none");
    line("check byte", HexByteText(f.BlockCheck) + " (verified)");
    line("length prefix", HexText(f.LengthPrefix) + " (" + std::to_string(f.PayloadLength) +
                              (f.PayloadLength == 1 ? " payload byte)" : " payload bytes)"));
    if (encrypted) {
        line("payload sent", HexText(f.PayloadSent));
        line("payload", HexText(f.Payload) + " (deciphered)");
    } else {
        line("payload", HexText(f.Payload));
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

TCliResult RunFrame(const std::vector<std::string>& args) {
    const TParsedOptions parsed = ParseOptions(args, {FrameOptionTable(), FrameJsonOption});
    if (parsed.Help) return {CliSuccess, FrameHelp(), ""};
    const bool json = parsed.Has("json");
    std::string error = parsed.Error;
    if (error.empty() && !parsed.Positionals.empty())
        error = "unexpected argument '" + parsed.Positionals[0] + "'";
    if (!error.empty()) {
        const std::string text = error + " (see 'kaldora-cli frame --help')";
        return json ? JsonFailure("frame", text) : Fail("kaldora-cli frame: " + text);
    }
    const TCommandInputs inputs = FrameInputsOf(parsed);
    try {
        TCipherState cipherState{};
        const std::vector<uint8_t> frame = BuildCommandFrame(inputs, cipherState);
        if (!json) return {CliSuccess, FormatFrameHex(frame.data(), frame.size()) + "\n", ""};
        TJsonResult r;
        r.Command = "frame";
        r.Frame = HexText(frame);
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
    o.Add("model_bytes", HexText(f.ModelBytes));
    if (f.CommandCode) {
        o.Add("command_code", HexByteText(*f.CommandCode))
            .Add("command_name", CommandTable[f.CommandItem].Name);
    } else {
        o.AddRaw("command_code", "null").AddRaw("command_name", "null");
    }
    o.Add("check_byte", HexByteText(f.BlockCheck)).Add("payload", HexText(f.Payload));
    o.Add("payload_meaning", PayloadMeaning(f))
        .Add("crc", HexWordText(f.CrcCarried))
        .Add("crc_ok", f.CrcOk());
    return o.Text();
}

// One decoded frame as the JSON object of decode; offset only for a frame of a stream.
std::string DecodeJson(const std::vector<uint8_t>& bytes, const TDecodeResult& result, int exitCode,
                       std::optional<size_t> offset) {
    TJsonObject o;
    o.Add("command", "decode").Add("frame", HexText(bytes)).AddRaw("reply", "null");
    o.Add("result", result.Ok() ? "frame verified" : "the frame does not fit");
    o.AddRaw("accepted", "null").Add("exit_code", exitCode).AddRaw("elapsed_ms", "null");
    if (result.Ok())
        o.AddRaw("error", "null");
    else
        o.Add("error", "the frame does not fit: " + result.Error);
    o.AddRaw("fields", result.Frame ? DecodedFieldsJson(*result.Frame) : "null");
    if (offset) o.Add("offset", static_cast<long long>(*offset));
    return o.Text();
}

// A part of a captured stream: one frame, or bytes that form none.
struct TStreamPiece {
    size_t Offset = 0;
    std::vector<uint8_t> Bytes;
    std::optional<TDecodeResult> Decoded; // empty for bytes that form no frame
};

// The lengths a frame beginning at from may have: its length prefix read under each layout
// of the optional parts (model bytes, command code). The decoder then says which one holds.
std::vector<size_t> CandidateLengths(const std::vector<uint8_t>& s, size_t from, bool encrypted) {
    std::vector<size_t> lengths;
    const bool formA = s[from] == FormAStartByte;
    if (!formA && s[from] != FormBStartByte) return lengths;
    static constexpr size_t Layouts[4][2] = {{2, 1}, {0, 1}, {2, 0}, {0, 0}};
    for (const auto& [model, code] : Layouts) {
        if (formA && model > 0) continue;
        const size_t block = from + 4 + model + code;
        if (block + 2 > s.size()) continue;
        size_t prefix = 1;
        size_t n = s[block + 1];
        if (n == 0) {
            if (block + 4 > s.size()) continue;
            uint8_t word[2] = {s[block + 2], s[block + 3]};
            // The cipher begins at the block's offset 2, so its first bytes cover these two.
            if (encrypted) {
                TCipherState state;
                CipherFrameSpan(state, word, 2);
            }
            prefix = 3;
            n = word[0] | size_t{word[1]} << 8;
        }
        const size_t length = 4 + model + code + 1 + prefix + n + 3;
        if (from + length <= s.size() && std::find(lengths.begin(), lengths.end(), length) == lengths.end())
            lengths.push_back(length);
    }
    return lengths;
}

// Splits a captured stream into its frames, back to back or with other bytes between them.
// A frame that splits but fails its CRC is kept as a frame: a damaged byte inside it should
// not make its bytes look like the start of something else.
std::vector<TStreamPiece> SplitStream(const std::vector<uint8_t>& s, bool encrypted) {
    std::vector<TStreamPiece> pieces;
    size_t at = 0;
    while (at < s.size()) {
        std::optional<TDecodeResult> best;
        size_t bestLength = 0;
        for (size_t length : CandidateLengths(s, at, encrypted)) {
            TDecodeResult r = DecodeCommandFrame(s.data() + at, length, encrypted);
            if (!r.Frame || (best && !r.Ok())) continue;
            best = std::move(r);
            bestLength = length;
            if (best->Ok()) break;
        }
        if (best) {
            pieces.push_back({at, {s.begin() + at, s.begin() + at + bestLength}, std::move(best)});
            at += bestLength;
            continue;
        }
        if (pieces.empty() || pieces.back().Decoded) pieces.push_back({at, {}, std::nullopt});
        pieces.back().Bytes.push_back(s[at++]);
    }
    return pieces;
}

TCliResult DecodeFailure(bool json, const std::string& error) {
    return json ? JsonFailure("decode", error) : Fail("kaldora-cli decode: " + error);
}

TCliResult RunDecodeStream(const std::string& input, bool encrypted, bool json) {
    std::vector<uint8_t> bytes;
    size_t lineStart = 0;
    for (int line = 1; lineStart <= input.size(); ++line) {
        const size_t lineEnd = std::min(input.find('\n', lineStart), input.size());
        std::vector<uint8_t> lineBytes;
        const std::string error = ParseCaptureHex(input.substr(lineStart, lineEnd - lineStart), lineBytes);
        if (!error.empty())
            return DecodeFailure(json, "standard input line " + std::to_string(line) + ": " + error);
        bytes.insert(bytes.end(), lineBytes.begin(), lineBytes.end());
        lineStart = lineEnd + 1;
    }
    if (bytes.empty()) return DecodeFailure(json, "no frame on standard input");

    TCliResult out;
    int frames = 0, verified = 0;
    size_t unframed = 0;
    for (const TStreamPiece& piece : SplitStream(bytes, encrypted)) {
        const std::string where = "offset " + std::to_string(piece.Offset);
        if (!piece.Decoded) {
            unframed += piece.Bytes.size();
            const std::string what = std::to_string(piece.Bytes.size()) +
                                     (piece.Bytes.size() == 1 ? " byte forms" : " bytes form") + " no frame";
            if (json) {
                TJsonObject o;
                o.Add("command", "decode").Add("frame", HexText(piece.Bytes)).AddRaw("reply", "null");
                o.Add("result", "no frame").AddRaw("accepted", "null").Add("exit_code", CliFailure);
                o.AddRaw("elapsed_ms", "null").Add("error", what + " at " + where).AddRaw("fields", "null");
                out.Out += o.Add("offset", static_cast<long long>(piece.Offset)).Text() + "\n";
            } else {
                out.Out += where + ": " + what + ": " + HexText(piece.Bytes) + "\n\n";
            }
            continue;
        }
        const TDecodeResult& r = *piece.Decoded;
        ++frames;
        if (r.Ok()) ++verified;
        if (json) {
            out.Out += DecodeJson(piece.Bytes, r, r.Ok() ? CliSuccess : CliFailure, piece.Offset) + "\n";
            continue;
        }
        out.Out += "frame " + std::to_string(frames) + " at " + where + ": " +
                   (r.Ok() ? "verified" : "does not fit: " + r.Error) + "\n" +
                   DescribeFrame(*r.Frame, encrypted) + "\n";
    }
    std::string summary = std::to_string(frames) + (frames == 1 ? " frame, " : " frames, ") +
                          std::to_string(verified) + " verified";
    if (unframed > 0)
        summary +=
            "; " + std::to_string(unframed) + (unframed == 1 ? " byte forms" : " bytes form") + " no frame";
    if (!json) out.Out += summary + "\n";
    if (verified < frames || unframed > 0 || frames == 0) {
        out.ExitCode = CliFailure;
        if (!json) out.Err = "kaldora-cli decode: " + summary + "\n";
    }
    return out;
}

TCliResult RunDecode(const std::vector<std::string>& args, const TCliStreams* streams) {
    const TParsedOptions parsed = ParseOptions(args, {DecodeOptions});
    if (parsed.Help) return {CliSuccess, DecodeHelp(), ""};
    const bool json = parsed.Has("json");
    const bool encrypted = parsed.Has("encrypt");
    if (!parsed.Error.empty())
        return DecodeFailure(json, parsed.Error + " (see 'kaldora-cli decode --help')");
    const auto& hex = parsed.Positionals;
    if (std::find(hex.begin(), hex.end(), "-") != hex.end()) {
        if (hex.size() > 1)
            return DecodeFailure(json, "'-' reads the frames from standard input: give no HEX beside it");
        if (!streams || !streams->In) return DecodeFailure(json, "no standard input to read");
        return RunDecodeStream(streams->In(), encrypted, json);
    }
    std::string text;
    for (const auto& arg : hex)
        text += arg + " ";
    std::vector<uint8_t> bytes;
    std::string error = ParseCaptureHex(text, bytes);
    if (!error.empty()) return DecodeFailure(json, error);
    if (bytes.empty()) return DecodeFailure(json, "no frame given (see 'kaldora-cli decode --help')");

    const TDecodeResult result = DecodeCommandFrame(bytes.data(), bytes.size(), encrypted);
    TCliResult out;
    if (!result.Ok()) out.ExitCode = CliFailure;
    if (json) {
        out.Out = DecodeJson(bytes, result, out.ExitCode, std::nullopt) + "\n";
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

const TOptionTable& FrameOptionTable() {
    static const TOptionTable table = MakeFrameOptionTable();
    return table;
}

std::string ParseFrameOptions(const std::vector<std::string>& options, TCommandInputs& inputs) {
    const TParsedOptions parsed = ParseOptions(options, {FrameOptionTable()});
    if (!parsed.Error.empty()) return parsed.Error;
    if (!parsed.Positionals.empty()) return "unexpected argument '" + parsed.Positionals[0] + "'";
    inputs = FrameInputsOf(parsed);
    return "";
}

std::string ReadStandardInput() {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
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
    if (args.empty()) return {CliFailure, "", MainHelp()};
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "help") {
        if (rest.empty() || rest[0] == "help") return {CliSuccess, MainHelp(), ""};
        return RunCli({rest[0], "--help"}, streams);
    }
    if (command.size() > 1 && command[0] == '-') {
        const TParsedOptions parsed = ParseOptions(args, {MainOptions});
        if (parsed.Help) return {CliSuccess, MainHelp(), ""};
        if (parsed.Version) return {CliSuccess, VersionText(ProgramName) + "\n", ""};
        if (!parsed.Error.empty())
            return Fail("kaldora-cli: " + parsed.Error + " (see 'kaldora-cli --help')");
        return Fail("kaldora-cli: no command given (see 'kaldora-cli --help')");
    }
    // -h and --version mean the same to every command, whoever reads its other options.
    if (GivesOption(rest, "--version")) return {CliSuccess, VersionText(ProgramName) + "\n", ""};
    if (GivesOption(rest, "-h")) return RunCli({command, "--help"}, streams);
    if (command == "frame") return RunFrame(rest);
    if (command == "decode") return RunDecode(rest, streams);
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

std::vector<TCommandHelp> CliCommandHelps() {
    std::vector<TCommandHelp> helps = {{"", MainHelp(), {&MainOptions}},
                                       {"frame", FrameHelp(), {&FrameOptionTable(), &FrameJsonOption}},
                                       {"decode", DecodeHelp(), {&DecodeOptions}}};
    for (const char* command : {"set-id", "set-eln", "read-eln", "send-hex", "send-text", "ports"})
        helps.push_back(LinkCommandHelp(command));
    helps.push_back(BatchCommandHelp());
    helps.push_back(StationCommandHelp());
    helps.push_back(JournalCommandHelp());
    return helps;
}
