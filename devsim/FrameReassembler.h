#pragma once
// Cuts command frames out of a byte stream that arrives in chunks of any size: a frame may
// be split over several chunks, several frames may share one, and bytes that start no
// frame are skipped. Pure: bytes in, events out; one reassembler per connection.
//
// A frame's length is not carried in one place: it follows from where the length prefix
// sits (after 0 or 2 model bytes and 0 or 1 command code) and from the prefix itself, which
// the check byte before it confirms. Each way of reading that fits gives a candidate
// length; the decoder (DecodeCommandFrame) judges the candidates, shortest first, once
// their bytes are in. The payload cipher may be on: a frame is read plain first, and
// enciphered when that reading fails or shows no command the device knows.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/FrameDecoder.h"

// The longest frame the builder makes: 65535 payload bytes behind a three-byte prefix,
// model bytes and a code, plus start, packet, address, check, end and CRC.
inline constexpr size_t LongestFrame = 65535 + 3 + 1 + 1 + 2 + 2 + 1 + 1 + 1 + 2;

struct TReassemblyEvent {
    enum class TKind {
        Frame,   // a whole frame whose checks hold: Frame, Encrypted, Bytes
        BadCrc,  // a whole frame whose CRC fails: Frame (as split), Bytes, Text
        Skipped, // bytes that start no frame were dropped: Bytes (all of them), Text
    };
    TKind Kind = TKind::Frame;
    TDecodedFrame Frame;
    bool Encrypted = false;
    std::vector<uint8_t> Bytes;
    std::string Text;
};

class TFrameReassembler {
public:
    // capacity bounds the bytes held while a frame is incomplete; a frame longer than
    // that is never taken, so the buffer never grows beyond it.
    explicit TFrameReassembler(size_t capacity = LongestFrame);

    // Takes the next chunk; returns what it completed, in stream order. A run of skipped
    // bytes gives one Skipped event, placed before the frame that ends it; a run that
    // ends with the chunk and holds nothing back is reported with that chunk.
    std::vector<TReassemblyEvent> Feed(const uint8_t* data, size_t length);

    // Bytes held for a frame still incomplete.
    size_t Pending() const { return FBuffer.size(); }

private:
    struct TAttempt;
    // How the bytes from offset read; candidates ending at or before judgedEnd are passed
    // over as already judged.
    TAttempt TryAt(size_t offset, size_t judgedEnd) const;
    void Process(std::vector<TReassemblyEvent>& events);

    size_t FCapacity;
    std::vector<uint8_t> FBuffer;
    std::vector<uint8_t> FSkipped; // a run of skipped bytes not reported yet
    size_t FJudgedEnd = 0;         // no frame after the head ends before this offset
};
