#include "devsim/DevsimOptions.h"

#include "base/Convert.h"
#include "protocol/Frame.h"

namespace {

constexpr int MaxMs = 3600000; // an hour
constexpr int MaxBytes = 65535;
constexpr int MaxChatter = 1 << 20; // what the simulator queues for a client that reads nothing
constexpr int MaxDevices = 10000;

constexpr const char* Program = "kaldora-devsim";

std::string Usage(const std::string& text) {
    return std::string(Program) + ": " + text + " (see 'kaldora-devsim --help')";
}

// "--name VALUE: why", the value quoted as the option table quotes it.
std::string Refused(const std::string& name, const std::string& value, const std::string& why) {
    const bool quoted = value.empty() || value.find_first_of(" \t") != std::string::npos;
    return "--" + name + " " + (quoted ? "'" + value + "'" : value) + ": " + why;
}

std::string ReadTcp(const std::string& value, TDevsimOptions& options) {
    if (value == "off") {
        options.Tcp = false;
        return "";
    }
    const size_t colon = value.rfind(':');
    std::string host = colon == std::string::npos ? "" : value.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) return Refused("tcp", value, "give HOST:PORT, for example 127.0.0.1:4660, or off");
    const std::optional<int32_t> port = TryStrToInt(value.substr(colon + 1));
    if (!port || *port < 0 || *port > 65535) return Refused("tcp", value, "give a port 0..65535");
    options.Tcp = true;
    options.TcpHost = host;
    options.TcpPort = *port;
    return "";
}

std::string ReadSplit(const std::string& value, TFaultOptions& faults) {
    const size_t at = value.find('@');
    const int32_t bytes = at == std::string::npos ? -1 : TryStrToInt(value.substr(0, at)).value_or(-1);
    const int32_t ms = at == std::string::npos ? -1 : TryStrToInt(value.substr(at + 1)).value_or(-1);
    if (bytes < 0 || bytes > MaxBytes || ms < 0 || ms > MaxMs)
        return Refused("split", value,
                       "give N@MS, N bytes 0..65535 first and the rest MS 0..3600000 milliseconds later");
    faults.SplitBytes = bytes;
    faults.SplitMs = ms;
    return "";
}

// The k-th generated ELN, k from 1: 24B0001 .. 24B9999, then 24C0000, so that each keeps
// the 7 characters an ELN holds.
std::string GeneratedEln(int k) {
    std::string digits = std::to_string(10000 + k % 10000).substr(1);
    return std::string("24") + static_cast<char>('B' + k / 10000) + digits;
}

// Blanks are refused with the control bytes: the log separates its fields by blanks.
bool IsElnText(const std::string& text) {
    if (text.empty() || text.size() > ElnTextBytes) return false;
    for (const char c : text)
        if (c <= 0x20 || c > 0x7E) return false;
    return true;
}

std::string ReadDevices(const std::string& value, std::vector<std::string>& devices) {
    const std::string why = "give ELNs separated by commas, each 1..7 printable ASCII characters "
                            "without blanks, or a count 1..10000";
    devices.clear();
    if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
        const std::optional<int32_t> count = TryStrToInt(value);
        if (!count || *count < 1 || *count > MaxDevices) return Refused("devices", value, why);
        for (int k = 1; k <= *count; ++k)
            devices.push_back(GeneratedEln(k));
        return "";
    }
    for (size_t from = 0;;) {
        const size_t comma = value.find(',', from);
        const std::string eln =
            value.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (!IsElnText(eln)) return Refused("devices", value, why);
        devices.push_back(eln);
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    if (devices.size() > MaxDevices) return Refused("devices", value, why);
    return "";
}

std::string ReadPath(const TOptionValue& v, std::string& path) {
    if (v.Text.empty()) return Refused(v.Name, v.Text, "give a path");
    path = v.Text;
    return "";
}

TOptionTable MakeDevsimOptionTable() {
    TOptionTable table;
    // Links
    table.push_back(TextOption("tcp", "HOST:PORT",
                               "listen on HOST:PORT (default 127.0.0.1:4660); port 0 picks a free port, "
                               "shown in the \"tcp:\" line; several clients may connect, one after "
                               "another or at once; off: no TCP"));
    table.push_back(FlagOption("no-tcp", "no TCP, as --tcp off"));
    table.push_back(FlagOption("pty", "serve a pseudo-terminal too; its device is shown in the \"pty:\" "
                                      "line (open it as the serial port)"));
    table.push_back(
        TextOption("link", "PATH", "with --pty: a symbolic link PATH to that device, removed on exit"));
    table.push_back(TextOption("port-file", "PATH", "write the TCP port listened on to PATH"));
    table.push_back(IntegerOption("line-rate", "BAUD", 300, 4000000,
                                  "a line of BAUD ({}), 10 bits a byte: what is sent goes out at that pace, "
                                  "and a frame is answered no sooner than it would have arrived whole "
                                  "after its first byte"));
    // Device
    table.push_back(
        TextOption("eln", "TEXT", "the ELN held at start (at most 7 characters; default 23A1705)"));
    table.push_back(TextOption("devices", "LIST",
                               "devices that take turns on the line: ELNs separated by commas (1..7 "
                               "printable ASCII characters each; the same ELN again is that device put "
                               "back), or a count 1..10000 of devices 24B0001, 24B0002, ...; each is present "
                               "after an absent spell; after the last none is"));
    table.push_back(IntegerOption("present", "MS", 1, MaxMs,
                                  "with --devices: how long each is present ({}; default 3000)"));
    table.push_back(
        IntegerOption("absent", "MS", 0, MaxMs,
                      "with --devices: the spell before each, when nothing answers ({}; default 1000)"));
    table.push_back(FlagOption("replug",
                               "with --devices and --pty: the pty and the --link exist only while a "
                               "device is present, as a USB adapter that is pulled and put back; each "
                               "arrival makes a new pty"));
    // Faults
    table.push_back(FlagOption("silent", "never answer"));
    table.push_back(
        IntegerOption("reply-length", "N", 0, MaxBytes, "pad with 00 or cut every answer to N bytes"));
    table.push_back(IntegerOption("delay", "MS", 0, MaxMs, "answer MS milliseconds after the frame"));
    table.push_back(TextOption("split", "N@MS", "send the first N bytes of an answer, the rest MS later"));
    table.push_back(IntegerOption("garbage", "N", 0, MaxBytes, "send N random bytes instead of each answer"));
    table.push_back(
        IntegerOption("seed", "N", 0, 2147483647, "seed of the random bytes ({}; default: random)"));
    table.push_back(FlagOption("close-after-read", "take each frame unanswered and close the TCP client"));
    table.push_back(FlagOption("flood",
                               "after a frame, noise without pause to its client until it goes away; "
                               "one such client at a time, the others are answered"));
    table.push_back(IntegerOption("chatter", "N", 1, MaxChatter,
                                  "N noise bytes ({}) on connect, and to the pty at start"));
    table.push_back(FlagOption("version", "print the program's name and version"));
    return table;
}

std::string Apply(const TOptionValue& v, TDevsimOptions& o) {
    const std::string& n = v.Name;
    if (n == "tcp") return ReadTcp(v.Text, o);
    if (n == "no-tcp") o.Tcp = false;
    if (n == "pty") o.Pty = true;
    if (n == "link") return ReadPath(v, o.LinkPath);
    if (n == "port-file") return ReadPath(v, o.PortFile);
    if (n == "line-rate") o.LineRate = v.Number;
    if (n == "devices") return ReadDevices(v.Text, o.Devices);
    if (n == "present") o.PresentMs = v.Number;
    if (n == "absent") o.AbsentMs = v.Number;
    if (n == "replug") o.Replug = true;
    if (n == "eln") {
        if (v.Text.size() > ElnTextBytes) return Refused(n, v.Text, "give at most 7 characters");
        o.Eln = v.Text;
    }
    if (n == "silent") o.Faults.Silent = true;
    if (n == "reply-length") o.Faults.ReplyLength = v.Number;
    if (n == "delay") o.Faults.DelayMs = v.Number;
    if (n == "split") return ReadSplit(v.Text, o.Faults);
    if (n == "garbage") o.Faults.GarbageBytes = v.Number;
    if (n == "seed") o.Seed = static_cast<uint32_t>(v.Number);
    if (n == "close-after-read") o.CloseAfterRead = true;
    if (n == "flood") o.Flood = true;
    if (n == "chatter") o.ChatterBytes = v.Number;
    return "";
}

// What no single row can refuse: options that need or exclude each other.
std::string CheckTogether(const TParsedOptions& parsed, const TDevsimOptions& o) {
    if (!o.Tcp && !o.Pty) return "nothing to serve: TCP is off and --pty is not given";
    if (o.CloseAfterRead && o.Flood) return "--close-after-read and --flood exclude each other";
    if (!o.LinkPath.empty() && !o.Pty) return "--link '" + o.LinkPath + "' needs --pty";
    if (o.Devices.empty()) {
        for (const char* name : {"present", "absent", "replug"})
            if (parsed.Has(name)) return "--" + std::string(name) + " needs --devices";
    } else if (parsed.Has("eln")) {
        return "--eln and --devices exclude each other: each device holds its own ELN";
    }
    if (o.Replug && !o.Pty) return "--replug needs --pty";
    return "";
}

} // namespace

const TOptionTable& DevsimOptionTable() {
    static const TOptionTable table = MakeDevsimOptionTable();
    return table;
}

const char* DevsimHelpIntro() {
    return R"(Usage: kaldora-devsim [options]

A simulated device for Kaldora: it takes command frames over TCP and, with --pty,
over a pseudo-terminal, keeps a device state (model seen, ID, ELN) and answers
each frame whose checks hold:
  Set_ID (H/W Write 5A id, or 20h)   13 bytes
  ELN set (5B and 7 ELN bytes)       15 bytes
  ELN read (3A)                      20 bytes, the stored ELN at bytes 10..16
  any other command                  13 bytes, a generic acknowledgement
A frame whose CRC fails gets no answer. The payload cipher may be on or off.

Options:
)";
}

const char* DevsimHelpOutro() {
    // Delimited: the text itself holds )".
    return R"help(
Standard output, one line each, flushed at once:
  tcp: listening on HOST:PORT
  pty: /dev/pts/N                  (with --replug: "pty: none until a device
  link: PATH -> /dev/pts/N          arrives" at start; "pty: /dev/pts/N closed"
                                    and "link: PATH removed" as one leaves)
  conn tcp#1 from HOST:PORT        disc tcp#1
  rx tcp#1 Set_ID model=... packet=0 address=FFFF id=5 | 24 00 FF ...
  rx tcp#1 bad frame: CRC ... (no answer) | 24 00 ...
  rx tcp#1 skipped 3 bytes that start no frame | 41 42 43
  tx tcp#1 13 bytes | 24 00 5A ...
  device: ELN 24B0001 arrived at 2026-01-31T08:00:00.250+01:00
  device: ELN 24B0001 took ID 7 at 2026-01-31T08:00:00.912+01:00
  device: ELN 24B0001 left at 2026-01-31T08:00:03.250+01:00
A frame and an answer are shown whole after " | "; noise (skipped bytes, garbage,
chatter) is cut after 64 bytes. A frame's line matches
  ^rx (tcp#[0-9]+|pty) (Set_ID|ELN_set|ELN_read|command) .* \| ([0-9A-F]{2}( [0-9A-F]{2})*)$
and a Set_ID line carries the ID sent, in decimal, as " id=N". An ELN is quoted,
with any byte outside ASCII 20..7E, '"' and '\' shown as \xHH. With --devices,
a frame while no device is present is logged with "(no answer: no device)", and a
device's "took ID" line follows each Set_ID it takes. With --replug, the pty and
link lines of an arrival come before its "arrived" line, those of a departure
before its "left" line. Warnings and errors go to standard error.

Options take their value as the next argument or after '='; '--' ends them.
Exit codes: 0 ended by Ctrl-C or SIGTERM; 1 a run-time failure (pty, link);
2 a bad option; 3 the TCP address cannot be listened on (without --pty).
)help";
}

std::string ParseDevsimOptions(const std::vector<std::string>& args, TDevsimOptions& options) {
    const TParsedOptions parsed = ParseOptions(args, {DevsimOptionTable()});
    options.Help = parsed.Help;
    options.Version = parsed.Version;
    if (!parsed.Error.empty()) return Usage(parsed.Error);
    if (!parsed.Positionals.empty()) return Usage("unexpected argument '" + parsed.Positionals[0] + "'");
    // In the order given, so that --no-tcp and --tcp HOST:PORT take effect as they stand.
    for (const TOptionValue& v : parsed.Values)
        if (std::string error = Apply(v, options); !error.empty()) return Usage(error);
    if (options.Help || options.Version) return "";
    if (std::string error = CheckTogether(parsed, options); !error.empty()) return Usage(error);
    return "";
}

std::string DevsimHelpText() {
    return DevsimHelpIntro() + OptionsHelpText({DevsimOptionTable()}) + DevsimHelpOutro();
}
