#include "protocol/Reply.h"

#include <algorithm>
#include <cstring>

namespace {

bool StartsHexLine(uint8_t byte) { return byte == 0x24 || byte == 0x42; }

} // namespace

bool IsAcceptedReplyLength(int32_t length) { return length == 13 || length == 15 || length == 20; }

TReplyVerdict JudgeReply(uint8_t replyKind, int32_t byteCount, const uint8_t* buffer) {
    TReplyVerdict verdict;
    verdict.Accepted = IsAcceptedReplyLength(byteCount);
    if (!verdict.Accepted) return verdict;
    switch (replyKind) {
    case ReplyKindSetId:
        verdict.Line = "SetID_OK";
        break;
    case ReplyKindSetEln:
        verdict.Line = "SetSerial_number_OK";
        break;
    case ReplyKindReadEln: {
        const char* eln = reinterpret_cast<const char*>(buffer + ReplyElnOffset);
        const size_t length = strnlen(eln, ReplyElnBytes);
        if (length > 0) verdict.Line = std::string(eln, length);
        break;
    }
    default:
        break;
    }
    return verdict;
}

void GatherReplyBytes(uint8_t* buffer, int32_t& count, const uint8_t* chunk, size_t n) {
    if (n >= ReplyBufferBytes) {
        std::memcpy(buffer, chunk + (n - ReplyBufferBytes), ReplyBufferBytes);
        count = static_cast<int32_t>(ReplyBufferBytes);
        return;
    }
    const size_t kept = std::min(static_cast<size_t>(std::max<int32_t>(count, 0)), ReplyBufferBytes - n);
    if (kept < static_cast<size_t>(count)) std::memmove(buffer, buffer + (count - kept), kept);
    std::memcpy(buffer + kept, chunk, n);
    count = static_cast<int32_t>(kept + n);
}

std::vector<std::string> ReplyHexLines(const uint8_t* chunk, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::vector<std::string> lines;
    size_t start = 0;
    // A line ends before each byte 24 or 42 that is not its first, and at the end.
    for (size_t end = 1; end <= n; ++end) {
        if (end < n && !StartsHexLine(chunk[end])) continue;
        std::string line(3 * (end - start), ' ');
        for (size_t k = start; k < end; ++k) {
            line[3 * (k - start) + 1] = digits[chunk[k] >> 4];
            line[3 * (k - start) + 2] = digits[chunk[k] & 0x0F];
        }
        lines.push_back(std::move(line));
        start = end;
    }
    return lines;
}
