#include "devsim/FrameReassembler.h"

#include <algorithm>

#include "devsim/DeviceResponder.h"
#include "protocol/Cipher.h"
#include "protocol/Frame.h"

namespace {

constexpr size_t TrailerBytes = 3; // form A: end, CRC; form B: CRC, end
constexpr size_t ChunkLimit = 4096; // a large chunk is taken in pieces of this size
constexpr size_t SkippedReportLimit = 4096; // skipped bytes held for one report at most

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

TFrameReassembler::TAttempt TFrameReassembler::TryAt(size_t offset) const {
    const uint8_t* b = FBuffer.data() + offset;
    const size_t avail = FBuffer.size() - offset;
    const bool formA = b[0] == FormAStartByte;
    bool incomplete = false;
    std::vector<size_t> lengths;

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
            if (check == static_cast<uint8_t>(~b[block + 1])) lengths.push_back(block + 2 + b[block + 1] + TrailerBytes);
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
                TCipherState state;
                CipherFrameSpan(state, n, 2);
            }
            const size_t count = n[0] | size_t{n[1]} << 8;
            if (count > 0 && check == static_cast<uint8_t>(~(n[0] ^ n[1])))
                lengths.push_back(block + 4 + count + TrailerBytes);
        }
    }
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());

    TAttempt fallback;
    for (size_t length : lengths) {
        if (length > FCapacity) break;
        if (length > avail) {
            incomplete = true;
            break;
        }
        TAttempt attempt;
        attempt.Length = length;
        attempt.Result = DecodeEither(b, length, attempt.Encrypted);
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

void TFrameReassembler::Drop(size_t count, std::vector<uint8_t>& skipped) {
    skipped.insert(skipped.end(), FBuffer.begin(), FBuffer.begin() + static_cast<long>(count));
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<long>(count));
}

void TFrameReassembler::Process(std::vector<TReassemblyEvent>& events) {
    std::vector<uint8_t>& skipped = FSkipped;
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
        event.Bytes.assign(FBuffer.begin(), FBuffer.begin() + static_cast<long>(attempt.Length));
        FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<long>(attempt.Length));
        events.push_back(std::move(event));
    };

    while (!FBuffer.empty()) {
        const auto start = std::find_if(FBuffer.begin(), FBuffer.end(), IsStartByte);
        Drop(static_cast<size_t>(start - FBuffer.begin()), skipped);
        if (FBuffer.empty()) break;

        TAttempt head = TryAt(0);
        if (head.Status == TAttempt::TStatus::Frame || head.Status == TAttempt::TStatus::BadCrc) {
            emit(std::move(head));
            continue;
        }
        if (head.Status == TAttempt::TStatus::NoFrame) {
            Drop(1, skipped);
            continue;
        }
        // The head waits for more bytes; but when a later start byte begins a whole frame
        // whose CRC holds, the head was no frame (or a bad one ending before it), and
        // waiting would hold the good frame back.
        size_t later = 0;
        for (size_t k = 1; k < FBuffer.size() && later == 0; ++k)
            if (IsStartByte(FBuffer[k]) && TryAt(k).Status == TAttempt::TStatus::Frame) later = k;
        if (later == 0) break;
        if (head.HeldBadCrc && head.Length <= later) {
            head.Status = TAttempt::TStatus::BadCrc;
            const size_t length = head.Length;
            emit(std::move(head));
            Drop(later - length, skipped);
        } else {
            Drop(later, skipped);
        }
    }
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
            std::vector<uint8_t> dropped;
            Drop(FBuffer.size() - FCapacity, dropped);
            TReassemblyEvent event;
            event.Kind = TReassemblyEvent::TKind::Skipped;
            event.Text = "dropped the oldest " + Plural(dropped.size(), "byte") + " of a full buffer";
            event.Bytes = std::move(dropped);
            events.push_back(std::move(event));
        }
    }
    return events;
}
