#pragma once
// The links of kaldora-cli and one command exchange over them.
//
// A serial link opens its port through the serial component (TThreadComm with
// the POSIX driver), so the exclusive open, the line settings and RTS/DTR are
// the window's; the component's line events are handed to the thread that waits
// in the link (a blocking queue takes the place of the window's message loop).
// A TCP link is a plain client socket. Every link belongs to the one thread that
// opened it; several links may run at once, one per thread. Nothing here writes
// to the standard streams.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/Comm.h"

// What the link options (--port, --baud, --parity, --tcp) give.
struct TLinkSettings {
    enum class TKind { None, Serial, Tcp };
    TKind Kind = TKind::None;

    // Serial: "COM<n>" in the window's numbering (COM1 = the first port that
    // ListSerialPorts gives; any case) or a device path beginning with "/".
    std::string Port;
    unsigned long Baud = 19200; // one of LinkBaudRates
    // The parity on the line as the window's parity list names it; the link
    // passes the component the value that list passes, so the line carries
    // what the name says.
    TParity LineParity = paNone;

    // TCP: host name or address, and the port 1..65535.
    std::string Host;
    unsigned TcpPort = 0;

    // "COM1" / "/dev/ttyUSB0" or "host:port", for messages.
    std::string Name() const;
};

// The rates the window's baud-rate button cycles through.
inline constexpr unsigned long LinkBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Takes the link options out of args (value as the next argument or after '='),
// leaving every other argument in rest, in order. Returns the error text, empty
// on success; it names the option and the value, e.g.
// "--baud 1200: the rates are 2400, 4800, 9600, 19200, 38400, 57600 and 115200".
// Settings with Kind None (no link option given) is not an error here.
std::string ParseLinkOptions(const std::vector<std::string>& args, TLinkSettings& settings,
                             std::vector<std::string>& rest);

// The text for --help of every command that takes a link.
extern const char* const LinkOptionsHelp;

class TLink {
public:
    virtual ~TLink() = default;

    // Opens the link. Returns empty on success, else the reason in words a
    // technician can act on, naming the port or host (no such port and the ports
    // present, in use by another program, permission denied with the dialout
    // hint, connection refused, host not found, ...).
    virtual std::string Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // "COM1 (/dev/ttyUSB0) at 19200 baud, parity none" or "127.0.0.1:4660".
    virtual std::string Describe() const = 0;

    // Sends the bytes; returns the count the link took (may be short), -1 on a
    // closed or failed link, with the reason in error.
    virtual int Send(const uint8_t* data, size_t count, std::string& error) = 0;

    // Waits until bytes arrive or deadline passes, without spinning; appends
    // what arrived to bytes. Returns TWait::Data when bytes were appended,
    // Deadline when none came by then, Lost when the link is gone (device
    // unplugged, peer closed; reason in LostReason()), Interrupted after
    // InterruptAllLinks.
    enum class TWait { Data, Deadline, Lost, Interrupted };
    virtual TWait Receive(std::vector<uint8_t>& bytes, std::chrono::steady_clock::time_point deadline) = 0;
    virtual std::string LostReason() const = 0;
};

// A closed link of the settings' kind (Kind must not be None).
std::unique_ptr<TLink> MakeLink(const TLinkSettings& settings);

// Ends every wait in every link of the process at once (Ctrl-C); later waits
// end at once too. Call it from an ordinary thread, not a signal handler.
void InterruptAllLinks();
bool LinksInterrupted();

// One command sent and its reply judged as the window judges it: the result
// ReplyJudgeDelayMs after the reply's first byte; "Error" when no byte came by
// ReplyTimeoutMs after the send.
struct TExchangeResult {
    std::vector<uint8_t> Frame;
    std::vector<uint8_t> Reply; // the bytes the judgement counted
    std::string FrameHex;       // "24 00 FF ..." (no trailing blank)
    std::string ReplyHex;
    // The line the window would log: "SetID_OK", "SetSerial_number_OK", the ELN
    // text, or "Error"; empty when the window logs nothing (an unaccepted length,
    // an ELN whose first byte is zero).
    std::string ResultLine;
    bool Accepted = false;   // a reply of an accepted length came
    bool LinkFailed = false; // the frame could not be sent, or the link was lost while waiting
    bool Interrupted = false;
    // What came back, in words, when not accepted: "no result: 14 bytes
    // received, a reply is 13, 15 or 20 bytes", "no reply within 3000 ms", the
    // send failure, or the link lost.
    std::string Detail;
    long ElapsedMs = 0; // from the send to the judgement
};

// Sends frame over an open link and judges the reply for replyKind
// (ReplyKindSetId, ReplyKindSetEln, ReplyKindReadEln). Bytes that arrive
// before the send are not counted. Blocks the calling thread for at most
// ReplyTimeoutMs + ReplyJudgeDelayMs.
TExchangeResult RunExchange(TLink& link, const std::vector<uint8_t>& frame, uint8_t replyKind);
