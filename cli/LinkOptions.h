#pragma once
// The link options of kaldora-cli (--port, --baud, --parity, --tcp): their rows in the
// option table, and the links they give.

#include <string>
#include <vector>

#include "base/Options.h"
#include "comm/Comm.h"

struct TLinkSettings {
    enum class TKind { None, Serial, Tcp };
    TKind Kind = TKind::None;

    // Serial: "COM<n>" in the window's numbering (COM1 = the first port that
    // ListSerialPorts gives; any case) or an absolute device path.
    std::string Port;
    unsigned long Baud = 19200; // one of BaudCycle's rates
    // The parity on the line as the window's parity list names it; the link passes the
    // component the value that list passes, so the line carries what the name says.
    TParity LineParity = paNone;

    // TCP: host name or address, and the port 1..65535.
    std::string Host;
    unsigned TcpPort = 0;

    // "COM1" / "/dev/ttyUSB0" or "host:port", for messages.
    std::string Name() const;
};

// The rows of --port, --baud, --parity and --tcp. --port and --tcp are repeatable, for
// the batch's fixtures; a command of one link refuses a second (LinkSettingsOf).
const TOptionTable& LinkOptionTable();

// "COM<n>" with n >= 1, any case: n; otherwise 0.
int ComNumber(const std::string& name);

// "none", "odd", ...
const char* ParityName(TParity parity);

// Every link the parsed options name, in the order given, each --port with the --baud and
// --parity given. Returns the error text naming the option and the value, empty on
// success (also when no link was given).
std::string LinkSettingsOf(const TParsedOptions& parsed, std::vector<TLinkSettings>& links);
// The one link of a command that talks to one device: a second is refused.
std::string LinkSettingsOf(const TParsedOptions& parsed, TLinkSettings& settings);

// The link options taken out of args, the rest left in order: for tests and callers that
// read the other options themselves.
std::string ParseLinkOptions(const std::vector<std::string>& args, TLinkSettings& settings,
                             std::vector<std::string>& rest);
