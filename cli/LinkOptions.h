#pragma once
// The link options of kaldora-cli (--port, --baud, --parity, --tcp) and what they give.

#include <string>
#include <vector>

#include "comm/Comm.h"

struct TLinkSettings {
    enum class TKind { None, Serial, Tcp };
    TKind Kind = TKind::None;

    // Serial: "COM<n>" in the window's numbering (COM1 = the first port that
    // ListSerialPorts gives; any case) or a device path.
    std::string Port;
    unsigned long Baud = 19200; // one of LinkBaudRates
    // The parity on the line as the window's parity list names it; the link passes the
    // component the value that list passes, so the line carries what the name says.
    TParity LineParity = paNone;

    // TCP: host name or address, and the port 1..65535.
    std::string Host;
    unsigned TcpPort = 0;

    // "COM1" / "/dev/ttyUSB0" or "host:port", for messages.
    std::string Name() const;
};

// The rates the window's baud-rate button cycles through.
inline constexpr unsigned long LinkBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};

// "COM<n>" with n >= 1, any case: n; otherwise 0.
int ComNumber(const std::string& name);

// "none", "odd", ...
const char* ParityName(TParity parity);
// The value the window's parity list hands the component for the parity the line is to
// carry: the component swaps odd and even, the list swaps them back.
TParity ComponentParity(TParity lineParity);

// Takes the link options out of args (value as the next argument or after '='),
// leaving every other argument in rest, in order. Returns the error text, empty on
// success; it names the option and the value, e.g. "--baud 1200: the rates are 2400,
// 4800, 9600, 19200, 38400, 57600 and 115200". No link option given (Kind None) is not
// an error here.
std::string ParseLinkOptions(const std::vector<std::string>& args, TLinkSettings& settings,
                             std::vector<std::string>& rest);

// The text for --help of every command that takes a link.
extern const char* const LinkOptionsHelp;
