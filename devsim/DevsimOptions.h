#pragma once
// The command line of kaldora-devsim: its rows in the one option table, parsed into a plain
// struct. No I/O.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Options.h"
#include "devsim/DeviceResponder.h"

inline constexpr int DevsimSuccess = 0;
inline constexpr int DevsimFailure = 1;      // a run-time failure: pty, link, poll
inline constexpr int DevsimUsageError = 2;   // a bad option or value
inline constexpr int DevsimCannotListen = 3; // the TCP address cannot be listened on and no pty

struct TDevsimOptions {
    bool Tcp = true;
    std::string TcpHost = "127.0.0.1"; // the window's default host and port
    int TcpPort = 4660;                // 0: an ephemeral port
    bool Pty = false;
    std::string LinkPath; // a symbolic link to the pty's slave, removed on exit
    std::string PortFile; // gets the TCP port listened on, as decimal text and a newline
    std::string Eln = "23A1705";
    std::optional<uint32_t> Seed; // of the garbage bytes; random when not given
    TFaultOptions Faults;
    // Faults of the link rather than of the answer, acted on by the poll loop:
    bool CloseAfterRead = false; // take a frame, then close the TCP client unanswered
    bool Flood = false;          // after a client's first frame, noise without pause instead
    int ChatterBytes = 0;        // noise sent to each TCP client on connect and to the pty at start
    // > 0: the line's rate in baud, 10 bits a byte. Sent bytes are paced at it, and a frame
    // counts as received once it would have arrived whole at it.
    int LineRate = 0;
    // Non-empty: the devices that take turns on the line, by ELN, in order; the same ELN
    // twice is one device put back. Each is present PresentMs after an absent AbsentMs.
    std::vector<std::string> Devices;
    int PresentMs = 3000;
    int AbsentMs = 1000;
    bool Replug = false; // with Devices: the pty exists only while a device is present
    bool Help = false;
    bool Version = false;
};

// The rows of every option, in the order the help shows them; -h and --help are the
// parser's own and not among them.
const TOptionTable& DevsimOptionTable();
// What the help shows before the rows (usage and what the device answers) and after
// them (the log lines and the exit codes).
const char* DevsimHelpIntro();
const char* DevsimHelpOutro();

// Fills options from args (the arguments after the program name). Returns the error text,
// "kaldora-devsim: " and the refusal, which names the option and the value, or empty on
// success. Help and Version are set even beside an error.
std::string ParseDevsimOptions(const std::vector<std::string>& args, TDevsimOptions& options);

// The --help text: the intro, the rows, the outro.
std::string DevsimHelpText();
