#include "devsim/DevsimOptions.h"

#include "base/Convert.h"
#include "protocol/Frame.h"

namespace {

constexpr int MaxMs = 3600000; // an hour
constexpr int MaxBytes = 65535;
constexpr int MaxChatter = 1 << 20; // what the simulator queues for a client that reads nothing

std::string Usage(const std::string& text) {
    return "kaldora-devsim: " + text + " (see 'kaldora-devsim --help')";
}

// A decimal integer in min..max, or the error naming the option and the value.
std::string ReadNumber(const std::string& option, const std::string& value, int min, int max,
                       const char* what, int& out) {
    const std::optional<int32_t> number = TryStrToInt(value);
    if (!number || *number < min || *number > max)
        return Usage(option + " '" + value + "': " + what + " must be a whole number from " +
                     std::to_string(min) + " to " + std::to_string(max));
    out = *number;
    return "";
}

std::string ReadTcp(const std::string& value, TDevsimOptions& options) {
    if (value == "off") {
        options.Tcp = false;
        return "";
    }
    const size_t colon = value.rfind(':');
    std::string host = colon == std::string::npos ? "" : value.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty())
        return Usage("--tcp '" + value + "': give HOST:PORT, for example 127.0.0.1:4660, or off");
    const std::optional<int32_t> port = TryStrToInt(value.substr(colon + 1));
    if (!port || *port < 0 || *port > 65535)
        return Usage("--tcp '" + value + "': the port must be a whole number from 0 to 65535");
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
        return Usage("--split '" + value +
                     "': give N@MS, N bytes (0 to 65535) first and the rest MS (0 to 3600000) "
                     "milliseconds later");
    faults.SplitBytes = bytes;
    faults.SplitMs = ms;
    return "";
}

} // namespace

std::string ParseDevsimOptions(const std::vector<std::string>& args, TDevsimOptions& options) {
    for (size_t k = 0; k < args.size(); ++k) {
        std::string option = args[k];
        std::optional<std::string> inlineValue;
        if (const size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = option.substr(eq + 1);
            option = option.substr(0, eq);
        }
        auto flag = [&](bool& target) {
            if (inlineValue) return Usage("option '" + option + "' takes no value");
            target = true;
            return std::string();
        };
        std::string value;
        auto needValue = [&]() -> std::string {
            if (inlineValue) {
                value = *inlineValue;
                return "";
            }
            if (k + 1 >= args.size()) return Usage("option '" + option + "' needs a value");
            value = args[++k];
            return "";
        };
        std::string error;
        if (option == "--help" || option == "-h") {
            error = flag(options.Help);
        } else if (option == "--pty") {
            error = flag(options.Pty);
        } else if (option == "--silent") {
            error = flag(options.Faults.Silent);
        } else if (option == "--close-after-read") {
            error = flag(options.CloseAfterRead);
        } else if (option == "--flood") {
            error = flag(options.Flood);
        } else if (option == "--chatter") {
            if ((error = needValue()).empty())
                error = ReadNumber(option, value, 1, MaxChatter, "the byte count", options.ChatterBytes);
        } else if (option == "--no-tcp") {
            bool off = false;
            error = flag(off);
            options.Tcp = false;
        } else if (option == "--tcp") {
            if ((error = needValue()).empty()) error = ReadTcp(value, options);
        } else if (option == "--link" || option == "--port-file") {
            if ((error = needValue()).empty()) {
                if (value.empty()) error = Usage(option + " needs a path, not an empty text");
                (option == "--link" ? options.LinkPath : options.PortFile) = value;
            }
        } else if (option == "--eln") {
            if ((error = needValue()).empty()) {
                if (value.size() > ElnTextBytes)
                    error = Usage("--eln '" + value + "': an ELN has at most 7 characters");
                options.Eln = value;
            }
        } else if (option == "--reply-length") {
            if ((error = needValue()).empty())
                error = ReadNumber(option, value, 0, MaxBytes, "the length", options.Faults.ReplyLength);
        } else if (option == "--delay") {
            if ((error = needValue()).empty())
                error =
                    ReadNumber(option, value, 0, MaxMs, "the delay in milliseconds", options.Faults.DelayMs);
        } else if (option == "--garbage") {
            if ((error = needValue()).empty())
                error = ReadNumber(option, value, 0, MaxBytes, "the byte count", options.Faults.GarbageBytes);
        } else if (option == "--split") {
            if ((error = needValue()).empty()) error = ReadSplit(value, options.Faults);
        } else if (option == "--seed") {
            int seed = 0;
            if ((error = needValue()).empty() &&
                (error = ReadNumber(option, value, 0, 2147483647, "the seed", seed)).empty())
                options.Seed = static_cast<uint32_t>(seed);
        } else {
            error = Usage("unknown option '" + option + "'");
        }
        if (!error.empty()) return error;
    }
    if (!options.Help && !options.Tcp && !options.Pty)
        return Usage("nothing to serve: TCP is off and --pty is not given");
    if (options.CloseAfterRead && options.Flood)
        return Usage("--close-after-read and --flood exclude each other");
    if (!options.LinkPath.empty() && !options.Pty)
        return Usage("--link '" + options.LinkPath + "' needs --pty");
    return "";
}

std::string DevsimHelpText() {
    return R"(Usage: kaldora-devsim [options]

A simulated device for Kaldora: it takes command frames over TCP and, with --pty,
over a pseudo-terminal, keeps a device state (model seen, ID, ELN) and answers
each frame whose checks hold:
  Set_ID (H/W Write 5A id, or 20h)   13 bytes
  ELN set (5B and 7 ELN bytes)       15 bytes
  ELN read (3A)                      20 bytes, the stored ELN at bytes 10..16
  any other command                  13 bytes, a generic acknowledgement
A frame whose CRC fails gets no answer. The payload cipher may be on or off.

Links:
  --tcp HOST:PORT    listen on HOST:PORT (default 127.0.0.1:4660); port 0 picks
                     a free port, shown in the "tcp:" line; several clients may
                     connect, one after another or at once
  --tcp off, --no-tcp  no TCP
  --pty              serve a pseudo-terminal too; its device is shown in the
                     "pty:" line (open it as the serial port)
  --link PATH        with --pty: a symbolic link PATH to that device, removed
                     on exit
  --port-file PATH   write the TCP port listened on to PATH

Device:
  --eln TEXT         the ELN held at start (at most 7 characters; default 23A1705)

Faults:
  --silent           never answer
  --reply-length N   pad with 00 or cut every answer to N bytes
  --delay MS         answer MS milliseconds after the frame
  --split N@MS       send the first N bytes of an answer, the rest MS later
  --garbage N        send N random bytes instead of each answer
  --seed N           seed of the random bytes (default: random)
  --close-after-read take each frame unanswered and close the TCP client
  --flood            after a frame, noise without pause to its client until it
                     goes away; one such client at a time, the others are answered
  --chatter N        N noise bytes (1..1048576) on connect, and to the pty at start

  --help             this text

Standard output, one line each, flushed at once:
  tcp: listening on HOST:PORT
  pty: /dev/pts/N
  conn tcp#1 from HOST:PORT        disc tcp#1
  rx tcp#1 Set_ID model=... packet=0 address=FFFF id=5 | 24 00 FF ...
  rx tcp#1 bad frame: CRC ... (no answer) | 24 00 ...
  rx tcp#1 skipped 3 bytes that start no frame | 41 42 43
  tx tcp#1 13 bytes | 24 00 5A ...
A frame and an answer are shown whole after " | "; noise (skipped bytes, garbage,
chatter) is cut after 64 bytes. A frame's line matches
  ^rx (tcp#[0-9]+|pty) (Set_ID|ELN_set|ELN_read|command) .* \| ([0-9A-F]{2}( [0-9A-F]{2})*)$
and a Set_ID line carries the ID sent, in decimal, as " id=N". An ELN is quoted,
with any byte outside ASCII 20..7E, '"' and '\' shown as \xHH.
Warnings and errors go to standard error.

Exit codes: 0 ended by Ctrl-C or SIGTERM; 1 a run-time failure (pty, link);
2 a bad option; 3 the TCP address cannot be listened on (without --pty).
)";
}
