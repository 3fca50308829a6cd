#include "protocol/Reply.h"

#include <algorithm>
#include <climits>
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

TJudgeTime ReplyJudgeTime(const TReplyProgress& p, long quietGapMs) {
    if (p.Bytes == 0) return {static_cast<long>(ReplyTimeoutMs), TReplyRule::Window};
    const long window = p.FirstByteMs + static_cast<long>(ReplyJudgeDelayMs);
    if (quietGapMs <= 0 || !IsAcceptedReplyLength(static_cast<int32_t>(std::min<size_t>(p.Bytes, INT32_MAX))))
        return {window, TReplyRule::Window};
    const long quick = p.LastByteMs + quietGapMs;
    return quick < window ? TJudgeTime{quick, TReplyRule::Quick} : TJudgeTime{window, TReplyRule::Window};
}

long DefaultQuietGapMs(unsigned long baud) {
    constexpr long MinimumMs = 20;
    if (baud == 0) return MinimumMs;
    const long characters = static_cast<long>((10 * 10 * 1000 + baud - 1) / baud);
    return std::max(MinimumMs, characters);
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

TReplyHexLines ReplyHexLines(const uint8_t* chunk, size_t n, size_t newest, size_t shownBytes) {
    static const char digits[] = "0123456789ABCDEF";
    TReplyHexLines result;
    if (n == 0) return result;
    // A line ends before each byte 24 or 42 that is not its first: every such byte
    // after the chunk's first. The newest lines are found from the end; the part
    // before them is only counted.
    std::vector<size_t> starts;
    size_t k = n;
    while (k-- > 0 && starts.size() < newest)
        if (k == 0 || StartsHexLine(chunk[k])) starts.push_back(k);
    const size_t before = starts.empty() ? n : starts.back();
    result.Count = starts.size();
    if (before > 0) result.Count += 1 + static_cast<size_t>(std::count_if(chunk + 1, chunk + before, StartsHexLine));
    size_t end = n;
    result.Newest.resize(starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t start = starts[i];
        std::string& line = result.Newest[starts.size() - 1 - i];
        const size_t shown = std::min(end - start, shownBytes);
        line.assign(3 * shown, ' ');
        for (size_t j = 0; j < shown; ++j) {
            line[3 * j + 1] = digits[chunk[start + j] >> 4];
            line[3 * j + 2] = digits[chunk[start + j] & 0x0F];
        }
        if (shown < end - start) line += " ... (" + std::to_string(end - start) + " bytes)";
        end = start;
    }
    return result;
}
