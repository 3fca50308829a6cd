#include "devsim/FrameReassembler.h"

#include <algorithm>
#include <array>

#include "devsim/DeviceResponder.h"
#include "protocol/Cipher.h"
#include "protocol/Frame.h"

namespace {

constexpr size_t TrailerBytes = 3;          // form A: end, CRC; form B: CRC, end
constexpr size_t ChunkLimit = 4096;         // a large chunk is taken in pieces of this size
constexpr size_t SkippedReportLimit = 4096; // skipped bytes held for one report at most

// The cipher starts afresh for every frame, so the two prefix bytes it covers always meet
// the same two keystream bytes.
const std::array<uint8_t, 2> PrefixKeystream = [] {
    std::array<uint8_t, 2> bytes{};
    TCipherState state;
    CipherFrameSpan(state, bytes.data(), 2);
    return bytes;
}();

bool IsStartByte(uint8_t b) {
    return b == FormAStartByte || b == FormBStartByte;
}

// Decodes plain and, where that is not conclusive, enciphered; prefers a reading that
// fits with its CRC and shows a command the device knows.
TDecodeResult DecodeEither(const uint8_t* bytes, size_t length, bool& encrypted) {
    encrypted = false;
    TDecodeResult plain = DecodeCommandFrame(bytes, length, false);
    if (plain.Ok() && ClassifyCommand(*plain.Frame) != TDeviceCommand::Other) return plain;
    TDecodeResult ciphered = DecodeCommandFrame(bytes, length, true);
    if (ciphered.Ok() && (!plain.Ok() || ClassifyCommand(*ciphered.Frame) != TDeviceCommand::Other)) {
        encrypted = true;
        return ciphered;
    }
    if (plain.Frame || !ciphered.Frame) return plain;
    encrypted = true;
    return ciphered;
}

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

} // namespace

struct TFrameReassembler::TAttempt {
    enum class TStatus { NoFrame, Wait, Frame, BadCrc } Status = TStatus::NoFrame;
    size_t Length = 0;
    TDecodeResult Result;
    bool Encrypted = false;
    bool HeldBadCrc = false; // Wait only: a shorter reading fits but fails its CRC (Length, Result)
};

TFrameReassembler::TFrameReassembler(size_t capacity) : FCapacity(capacity) {}

TFrameReassembler::TAttempt TFrameReassembler::TryAt(size_t offset, size_t judgedEnd) const {
    const uint8_t* b = FBuffer.data() + offset;
    const size_t avail = FBuffer.size() - offset;
    const bool formA = b[0] == FormAStartByte;
    bool incomplete = false;
    std::array<size_t, 8> found{};
    size_t count = 0;

    static constexpr size_t Layouts[4][2] = {{2, 1}, {0, 1}, {2, 0}, {0, 0}};
    for (const auto& layout : Layouts) {
        if (formA && layout[0] > 0) continue; // form A carries no model bytes
        const size_t block = 4 + layout[0] + layout[1];
        if (avail < block + 2) {
            incomplete = true;
            continue;
        }
        const uint8_t check = b[block];
        if (b[block + 1] != 0) {
            if (check == static_cast<uint8_t>(~b[block + 1]))
                found[count++] = block + 2 + b[block + 1] + TrailerBytes;
            continue;
        }
        if (avail < block + 4) {
            incomplete = true;
            continue;
        }
        // The check byte and the prefix's first byte are never enciphered; its other two are
        // when the cipher is on, so both readings give a candidate.
        for (bool encrypted : {false, true}) {
            uint8_t n[2] = {b[block + 2], b[block + 3]};
            if (encrypted) {
                n[0] ^= PrefixKeystream[0];
                n[1] ^= PrefixKeystream[1];
            }
            const size_t n16 = n[0] | size_t{n[1]} << 8;
            if (n16 > 0 && check == static_cast<uint8_t>(~(n[0] ^ n[1])))
                found[count++] = block + 4 + n16 + TrailerBytes;
        }
    }
    for (size_t k = 1; k < count; ++k) // a handful of lengths: insertion sort
        for (size_t j = k; j > 0 && found[j - 1] > found[j]; --j)
            std::swap(found[j - 1], found[j]);
    const auto end = std::unique(found.begin(), found.begin() + static_cast<long>(count));

    TAttempt fallback;
    for (auto length = found.begin(); length != end; ++length) {
        if (*length > FCapacity) break;
        if (*length > avail) {
            incomplete = true;
            break;
        }
        if (offset + *length <= judgedEnd) continue; // judged before, and it held no frame
        TAttempt attempt;
        attempt.Length = *length;
        attempt.Result = DecodeEither(b, *length, attempt.Encrypted);
        if (attempt.Result.Ok()) {
            attempt.Status = TAttempt::TStatus::Frame;
            return attempt;
        }
        if (attempt.Result.Frame && fallback.Status == TAttempt::TStatus::NoFrame) {
            attempt.Status = TAttempt::TStatus::BadCrc;
            fallback = std::move(attempt);
        }
    }
    if (incomplete) {
        // A longer reading may still hold; the caller may take the fallback when it must.
        fallback.HeldBadCrc = fallback.Status == TAttempt::TStatus::BadCrc;
        fallback.Status = TAttempt::TStatus::Wait;
        return fallback;
    }
    return fallback;
}

void TFrameReassembler::Process(std::vector<TReassemblyEvent>& events) {
    std::vector<uint8_t>& skipped = FSkipped;
    size_t head = 0; // bytes before it are consumed; erased once at the end
    auto drop = [&](size_t count) {
        skipped.insert(skipped.end(), FBuffer.begin() + static_cast<long>(head),
                       FBuffer.begin() + static_cast<long>(head + count));
        head += count;
    };
    auto flushSkipped = [&] {
        if (skipped.empty()) return;
        TReassemblyEvent event;
        event.Kind = TReassemblyEvent::TKind::Skipped;
        event.Text = "skipped " + Plural(skipped.size(), "byte") + " that start no frame";
        event.Bytes = std::move(skipped);
        skipped.clear();
        events.push_back(std::move(event));
    };
    auto emit = [&](TAttempt attempt) {
        flushSkipped();
        TReassemblyEvent event;
        const bool bad = attempt.Status == TAttempt::TStatus::BadCrc;
        event.Kind = bad ? TReassemblyEvent::TKind::BadCrc : TReassemblyEvent::TKind::Frame;
        event.Frame = std::move(*attempt.Result.Frame);
        event.Encrypted = !bad && attempt.Encrypted;
        if (bad) event.Text = "bad frame: " + attempt.Result.Error;
        event.Bytes.assign(FBuffer.begin() + static_cast<long>(head),
                           FBuffer.begin() + static_cast<long>(head + attempt.Length));
        head += attempt.Length;
        events.push_back(std::move(event));
    };

    while (head < FBuffer.size()) {
        const auto start =
            std::find_if(FBuffer.begin() + static_cast<long>(head), FBuffer.end(), IsStartByte);
        drop(static_cast<size_t>(start - FBuffer.begin()) - head);
        if (head == FBuffer.size()) break;

        TAttempt attempt = TryAt(head, 0);
        if (attempt.Status == TAttempt::TStatus::Frame || attempt.Status == TAttempt::TStatus::BadCrc) {
            emit(std::move(attempt));
            continue;
        }
        if (attempt.Status == TAttempt::TStatus::NoFrame) {
            drop(1);
            continue;
        }
        // The head waits for more bytes; but when a later start byte begins a whole frame
        // whose CRC holds, the head was no frame (or a bad one ending before it), and
        // waiting would hold the good frame back. Frames that ended before FJudgedEnd
        // were looked for by an earlier call.
        size_t later = 0;
        for (size_t k = head + 1; k < FBuffer.size() && later == 0; ++k)
            if (IsStartByte(FBuffer[k]) && TryAt(k, FJudgedEnd).Status == TAttempt::TStatus::Frame) later = k;
        if (later == 0) {
            FJudgedEnd = FBuffer.size();
            break;
        }
        if (attempt.HeldBadCrc && head + attempt.Length <= later) {
            attempt.Status = TAttempt::TStatus::BadCrc;
            emit(std::move(attempt));
        }
        drop(later - head);
    }
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<long>(head));
    FJudgedEnd = FJudgedEnd > head ? FJudgedEnd - head : 0;
    // While bytes are still held, the run of skipped bytes may go on in the next chunk.
    if (FBuffer.empty() || skipped.size() >= SkippedReportLimit) flushSkipped();
}

std::vector<TReassemblyEvent> TFrameReassembler::Feed(const uint8_t* data, size_t length) {
    std::vector<TReassemblyEvent> events;
    while (length > 0) {
        const size_t piece = std::min(length, ChunkLimit);
        FBuffer.insert(FBuffer.end(), data, data + piece);
        data += piece;
        length -= piece;
        Process(events);
        // Process keeps at most one incomplete candidate, which fits the capacity; this
        // only guards the bound should that ever change.
        if (FBuffer.size() > FCapacity) {
            const auto cut = FBuffer.begin() + static_cast<long>(FBuffer.size() - FCapacity);
            std::vector<uint8_t> dropped(FBuffer.begin(), cut);
            FBuffer.erase(FBuffer.begin(), cut);
            FJudgedEnd = 0;
            TReassemblyEvent event;
            event.Kind = TReassemblyEvent::TKind::Skipped;
            event.Text = "dropped the oldest " + Plural(dropped.size(), "byte") + " of a full buffer";
            event.Bytes = std::move(dropped);
            events.push_back(std::move(event));
        }
    }
    return events;
}
