#pragma once
// One command sent on one link and its reply taken, with one outcome. Every command of
// kaldora-cli that talks to a device, and every batch row, is one exchange:
//  1. Bytes already waiting are discarded (the port's input queue is purged; what still
//     arrives is read and counted) until the line has been quiet for DrainQuietMs (on a
//     link's first exchange always, later only once bytes were found). A
//     link that keeps sending past DrainMaxBytes or DrainMaxMs is not sent to.
//  2. The frame is handed to the link. A frame of which any byte left may have reached
//     the device: from here on the outcome says so, and it is never "not sent".
//  3. The reply is judged as the window judges it (the result ReplyJudgeDelayMs after
//     its first byte; nothing by ReplyTimeoutMs is "no reply"), or by the quick rule
//     when asked (ReplyJudgeTime). After no reply the link
//     listens SettleMs more: bytes then make the outcome "late reply", so that they are
//     never taken for the answer to a later frame.
// Of a reply, the first ReplyKeptBytes are kept and the rest only counted: no peer makes
// the memory grow. Every wait ends on InterruptAllLinks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/Link.h"
#include "protocol/Reply.h"

enum class TExchangeOutcome {
    Accepted,      // a reply of an accepted length
    WrongLength,   // bytes came, but not 13, 15 or 20 of them
    NoReply,       // nothing within ReplyTimeoutMs, nor in the settle period after it
    LateReply,     // nothing within ReplyTimeoutMs, then bytes: the device may have taken it
    NotSent,       // no byte left this machine; the row may go to another link
    LostAfterSend, // the link failed once bytes had left: the device may have taken it
    Interrupted,   // a signal ended the exchange (Sent tells whether bytes had left)
    Sent,          // a raw send went out whole (with a listen period: and bytes came back)
};

// "accepted", "wrong length", "no reply", "late reply", "not sent", "lost after send",
// "interrupted", "sent".
const char* OutcomeName(TExchangeOutcome outcome);

struct TExchangeRule {
    uint8_t ReplyKind = 0; // ReplyKindSetId, ReplyKindSetEln or ReplyKindReadEln
    bool Judge = true;     // false: a raw send, whose reply is only collected
    unsigned ListenMs = 0; // raw send: how long to collect what comes back
    unsigned SettleMs = DefaultSettleMs;
    // The quick rule's quiet gap (ReplyJudgeTime); 0: the window's rule alone.
    unsigned QuietGapMs = 0;
    // How long without a byte is "no reply". A presence probe waits less than the window,
    // so that a fixture notices a device within a second.
    unsigned NoReplyMs = ReplyTimeoutMs;
    static constexpr unsigned DefaultSettleMs = 1000;
};

inline constexpr size_t ReplyKeptBytes = 64;
inline constexpr size_t DrainMaxBytes = 64 * 1024;
inline constexpr unsigned DrainMaxMs = 500;
inline constexpr unsigned DrainQuietMs = 20;
inline constexpr unsigned SendTimeoutMs = 5000;

struct TExchangeResult {
    TExchangeOutcome Outcome = TExchangeOutcome::NotSent;
    std::vector<uint8_t> Frame;
    size_t Sent = 0;            // bytes of the frame handed to the link
    std::vector<uint8_t> Reply; // the first ReplyKeptBytes bytes that came back
    size_t ReplyBytes = 0;      // every byte that came back after the send
    // The line the window would log: "SetID_OK", "SetSerial_number_OK", the ELN text,
    // "Error" (no reply, late reply); empty when the window logs nothing.
    std::string ResultLine;
    long ElapsedMs = 0;    // from the send to the end
    long FirstByteMs = -1; // from the send to the first byte back; -1 when none came
    size_t Discarded = 0;  // bytes that were waiting before the send, dropped
    // NotSent, LostAfterSend, Interrupted: the link's words. Also set when the link was
    // lost after an answer came: the exchange stands, the link is not used again.
    std::string LinkReason;
    bool LinkLost = false;
    TReplyRule JudgedBy = TReplyRule::Window; // the rule that set the verdict's moment
};

// The outcome in words for a technician, empty for an accepted reply with its line:
// "no result: 14 bytes received, a reply is 13, 15 or 20 bytes", "no reply within
// 3000 ms", "late reply: the device answered 3502 ms after the frame and may have taken
// the ID (13 bytes)", "not sent: ...", "lost after send: ...; the frame may have left",
// ...
std::string OutcomeDetail(const TExchangeResult& result);

// The reply bytes as hexadecimal text, "0D 00 ..." without a trailing blank; when more
// came than were kept, " ... (N bytes)" follows.
std::string ReplyText(const TExchangeResult& result);

// The quick rule's gap for a link: quietGapMs when given (above 0), else the default for
// the link's line (DefaultQuietGapMs of its baud rate; a TCP link has none).
unsigned QuietGapFor(const TLinkSettings& link, int quietGapMs);

// Runs one exchange on an open link. Blocks the calling thread for at most about
// DrainMaxMs + SendTimeoutMs + ReplyTimeoutMs + SettleMs + ReplyJudgeDelayMs.
TExchangeResult RunExchange(TLink& link, const std::vector<uint8_t>& frame, const TExchangeRule& rule);
