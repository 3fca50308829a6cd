#pragma once
// The device's reply: gathering its bytes, the hexadecimal lines the log shows
// for them, and the judgement of a gathered reply. The window and the command
// line tool judge by these same rules and timings.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The result check runs this long after the first byte of a reply...
inline constexpr unsigned ReplyJudgeDelayMs = 1000;
// ...and a command with no byte at all back by this time reports ReplyErrorLine.
inline constexpr unsigned ReplyTimeoutMs = 3000;

inline constexpr size_t ReplyBufferBytes = 5000;
inline constexpr const char* ReplyErrorLine = "Error";

// Which answer the next accepted reply stands for (set by each command sender).
inline constexpr uint8_t ReplyKindSetId = 0;
inline constexpr uint8_t ReplyKindSetEln = 1;
inline constexpr uint8_t ReplyKindReadEln = 2;

// Reply lengths that count as an answer: 13, 15 and 20 bytes. The bytes
// themselves are not examined.
bool IsAcceptedReplyLength(int32_t length);

// Where the ELN text of an ELN read reply sits in the gathered bytes.
inline constexpr size_t ReplyElnOffset = 10;
inline constexpr size_t ReplyElnBytes = 7;

struct TReplyVerdict {
    bool Accepted = false;          // the length is one of the accepted ones
    std::optional<std::string> Line; // the log line, when there is one to write
};

// Judges byteCount bytes received since the last check, for replyKind, with the
// gathered bytes in buffer (ReplyBufferBytes long). Accepted: "SetID_OK",
// "SetSerial_number_OK", or for an ELN read the 7 bytes at ReplyElnOffset up to
// the first zero byte (no line when the first is zero). Another kind, or a
// length not accepted: no line.
TReplyVerdict JudgeReply(uint8_t replyKind, int32_t byteCount, const uint8_t* buffer);

// When a reply is judged. The window's rule: ReplyJudgeDelayMs after its first byte. The
// quick rule (opt-in, for the production line): as soon as the bytes received form an
// accepted length and the line has then been quiet for the gap, since a device sends
// its reply in one go; bytes within the gap extend the reply. Where no accepted length
// has formed, the window's rule stands. The two disagree only when an accepted length is
// followed, after the gap, by more bytes within the second: the quick rule has judged
// the first bytes alone, the window would count them all.
enum class TReplyRule { Window, Quick };

struct TReplyProgress {
    size_t Bytes = 0;     // received since the send
    long FirstByteMs = 0; // from the send, when Bytes > 0
    long LastByteMs = 0;
};

struct TJudgeTime {
    long AtMs;       // from the send: judge then, unless more bytes come before
    TReplyRule Rule; // the rule that sets that moment
};

// With no byte yet: ReplyTimeoutMs (the "no reply" verdict). quietGapMs 0 is the
// window's rule alone.
TJudgeTime ReplyJudgeTime(const TReplyProgress& progress, long quietGapMs);

// The quick rule's default gap on a line of the baud rate (0: not a serial line): ten
// character times of 10 bits, and never under 20 ms.
long DefaultQuietGapMs(unsigned long baud);

// Appends n bytes of chunk to buffer (ReplyBufferBytes long) at count. Bytes
// that would run past the end push the oldest ones out, so the newest
// ReplyBufferBytes are kept in arrival order and count never exceeds the size.
void GatherReplyBytes(uint8_t* buffer, int32_t& count, const uint8_t* chunk, size_t n);

// The chunk as lines of hexadecimal text, " %02X" per byte; a byte 24 or 42
// begins a new line unless the current line is still empty. Each line counts
// its length plus 2 in the log's running length, so a chunk adds 3 * n + 2 * Count.
struct TReplyHexLines {
    size_t Count = 0;                // lines the chunk makes
    std::vector<std::string> Newest; // the last of them, at most the number asked for, in order
};
// Only the newest lines are formatted, since a stream shows no more than its last
// few; a line of more than shownBytes bytes is formatted as its first shownBytes
// and " ... (N bytes)", so a stream without line breaks costs no more to show.
TReplyHexLines ReplyHexLines(const uint8_t* chunk, size_t n, size_t newest = SIZE_MAX,
                             size_t shownBytes = SIZE_MAX);

