// The judgement of a reply, the bounded gathering of its bytes and its log lines.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>

#include "protocol/Reply.h"

namespace {

std::array<uint8_t, ReplyBufferBytes> BufferWith(const std::string& at10) {
    std::array<uint8_t, ReplyBufferBytes> buffer{};
    std::memcpy(buffer.data() + 10, at10.data(), at10.size());
    return buffer;
}

} // namespace

TEST(ReplyTest, JudgesByLengthAndKind) {
    const auto eln = BufferWith("23A1705");
    const auto shortEln = BufferWith(std::string("17\0X", 4));
    const auto noEln = BufferWith("");
    struct Row {
        const char* Name;
        uint8_t Kind;
        int32_t Count;
        const uint8_t* Buffer;
        bool Accepted;
        std::optional<std::string> Line;
    } rows[] = {
        {"set id 13", ReplyKindSetId, 13, eln.data(), true, "SetID_OK"},
        {"set id 15", ReplyKindSetId, 15, eln.data(), true, "SetID_OK"},
        {"set eln 20", ReplyKindSetEln, 20, eln.data(), true, "SetSerial_number_OK"},
        {"read eln", ReplyKindReadEln, 20, eln.data(), true, "23A1705"},
        {"read eln up to a zero", ReplyKindReadEln, 13, shortEln.data(), true, "17"},
        {"read eln starting with zero", ReplyKindReadEln, 20, noEln.data(), true, std::nullopt},
        {"unknown kind", 7, 13, eln.data(), true, std::nullopt},
        {"14 bytes", ReplyKindSetId, 14, eln.data(), false, std::nullopt},
        {"26 bytes (two replies)", ReplyKindSetId, 26, eln.data(), false, std::nullopt},
        {"nothing", ReplyKindSetId, 0, eln.data(), false, std::nullopt},
        {"negative", ReplyKindSetId, -1, eln.data(), false, std::nullopt},
    };
    for (const Row& r : rows) {
        const TReplyVerdict v = JudgeReply(r.Kind, r.Count, r.Buffer);
        EXPECT_EQ(v.Accepted, r.Accepted) << r.Name;
        EXPECT_EQ(v.Line, r.Line) << r.Name;
    }
}

TEST(ReplyTest, GatheringKeepsTheNewestBytesWithinTheBuffer) {
    std::array<uint8_t, ReplyBufferBytes + 8> buffer{}; // guard bytes behind the buffer
    int32_t count = 0;
    std::vector<uint8_t> stream(3 * ReplyBufferBytes);
    std::iota(stream.begin(), stream.end(), 0);
    // Chunks of odd sizes, then one larger than the whole buffer.
    size_t at = 0;
    for (size_t size : {size_t{13}, size_t{4999}, size_t{1}, size_t{1024}, ReplyBufferBytes + 3}) {
        GatherReplyBytes(buffer.data(), count, stream.data() + at, size);
        at += size;
        ASSERT_LE(count, static_cast<int32_t>(ReplyBufferBytes));
        const size_t expected = std::min(at, ReplyBufferBytes);
        ASSERT_EQ(count, static_cast<int32_t>(expected)) << "after " << at;
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + count, stream.begin() + (at - expected)))
            << "after " << at;
    }
    for (size_t k = ReplyBufferBytes; k < buffer.size(); ++k) EXPECT_EQ(buffer[k], 0) << k;
}

TEST(ReplyTest, HexLinesBreakBeforeDollarAndB) {
    struct Row {
        std::vector<uint8_t> Chunk;
        std::vector<std::string> Lines;
    } rows[] = {
        {{0x24, 0x01, 0x02, 0x42, 0x03}, {" 24 01 02", " 42 03"}},
        {{0x42}, {" 42"}},
        {{0x24, 0x24}, {" 24", " 24"}},
        {{0x0A, 0xFF}, {" 0A FF"}},
        {{0x10, 0x42, 0x11, 0x24, 0x24, 0x12, 0x42}, {" 10", " 42 11", " 24", " 24 12", " 42"}},
        {{}, {}},
    };
    for (const Row& r : rows) {
        const TReplyHexLines all = ReplyHexLines(r.Chunk.data(), r.Chunk.size());
        EXPECT_EQ(all.Newest, r.Lines);
        EXPECT_EQ(all.Count, r.Lines.size());
        // Asking for fewer gives the same count and the tail of the same lines.
        for (size_t newest = 0; newest <= r.Lines.size() + 1; ++newest) {
            const TReplyHexLines tail = ReplyHexLines(r.Chunk.data(), r.Chunk.size(), newest);
            EXPECT_EQ(tail.Count, r.Lines.size());
            const size_t kept = std::min(newest, r.Lines.size());
            EXPECT_EQ(tail.Newest, std::vector<std::string>(r.Lines.end() - kept, r.Lines.end())) << newest;
        }
    }
    // Lines longer than shown are cut after their first bytes and say how long they were.
    const std::vector<uint8_t> chunk{0x01, 0x02, 0x03, 0x42, 0x04, 0x24, 0x05, 0x06};
    EXPECT_EQ(ReplyHexLines(chunk.data(), chunk.size(), SIZE_MAX, 2).Newest,
              (std::vector<std::string>{" 01 02 ... (3 bytes)", " 42 04", " 24 05 ... (3 bytes)"}));
    EXPECT_EQ(ReplyHexLines(chunk.data(), chunk.size(), 1, 0).Newest, (std::vector<std::string>{" ... (3 bytes)"}));
}

namespace {

// Walks arrivals (ms from the send, bytes) through the judge times: the moment and rule of
// the verdict, and how many bytes it counts.
struct TVerdictAt {
    long AtMs;
    TReplyRule Rule;
    size_t Bytes;
};
TVerdictAt Walk(const std::vector<std::pair<long, size_t>>& arrivals, long gapMs) {
    TReplyProgress progress;
    size_t next = 0;
    for (;;) {
        const TJudgeTime judge = ReplyJudgeTime(progress, gapMs);
        if (next == arrivals.size() || arrivals[next].first > judge.AtMs) return {judge.AtMs, judge.Rule, progress.Bytes};
        if (progress.Bytes == 0) progress.FirstByteMs = arrivals[next].first;
        progress.Bytes += arrivals[next].second;
        progress.LastByteMs = arrivals[next].first;
        ++next;
    }
}

} // namespace

TEST(ReplyJudgeTime, TheQuickRuleDecidesOnAQuietAcceptedLengthElseTheWindowsRuleStands) {
    std::vector<std::pair<long, size_t>> trickle;
    for (long t = 5; t < 2000; t += 15)
        trickle.emplace_back(t, 1);
    struct Case {
        const char* name;
        std::vector<std::pair<long, size_t>> arrivals;
        long gapMs;
        TVerdictAt expected;
    };
    const Case cases[] = {
        {"one chunk", {{1, 13}}, 20, {21, TReplyRule::Quick, 13}},
        {"a reply split a few ms apart is judged whole", {{1, 8}, {6, 5}}, 20, {26, TReplyRule::Quick, 13}},
        {"8 bytes are no accepted length: the window's second", {{1, 8}}, 20, {1001, TReplyRule::Window, 8}},
        {"14 bytes", {{2, 14}}, 20, {1002, TReplyRule::Window, 14}},
        {"13 then one more after the gap: judged as 13, where the window counts 14", {{1, 13}, {40, 1}}, 20,
         {21, TReplyRule::Quick, 13}},
        {"13 then two within the gap make 15", {{1, 13}, {10, 2}}, 20, {30, TReplyRule::Quick, 15}},
        {"silence", {}, 20, {3000, TReplyRule::Window, 0}},
        {"a trickle never goes quiet", trickle, 20, {1005, TReplyRule::Window, 67}},
        {"without the quick rule", {{1, 13}}, 0, {1001, TReplyRule::Window, 13}},
        {"a gap longer than the second leaves the window's time", {{1, 13}}, 1500, {1001, TReplyRule::Window, 13}},
    };
    for (const auto& c : cases) {
        const TVerdictAt v = Walk(c.arrivals, c.gapMs);
        EXPECT_EQ(v.AtMs, c.expected.AtMs) << c.name;
        EXPECT_EQ(v.Rule, c.expected.Rule) << c.name;
        EXPECT_EQ(v.Bytes, c.expected.Bytes) << c.name;
    }
    EXPECT_EQ(DefaultQuietGapMs(0), 20);
    EXPECT_EQ(DefaultQuietGapMs(115200), 20);
    EXPECT_EQ(DefaultQuietGapMs(2400), 42);
    EXPECT_EQ(DefaultQuietGapMs(4800), 21);
}
