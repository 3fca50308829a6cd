#include "protocol/FrameDecoder.h"

#include <cstdio>

#include "protocol/Cipher.h"
#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/HexText.h"

namespace {


// How far one way of reading the optional parts got; a higher stage fits better.
// Model bytes or a code that are not ours rank just below a fit, so that a frame whose
// lengths and check hold is reported by what is actually foreign in it.
enum class TSplitStage { Impossible, BadLength, BadCheck, ForeignParts, Fits };

struct TSplit {
    TSplitStage Stage = TSplitStage::Impossible;
    bool Plausible = false; // model bytes and code, if any, are ones the builder sends
    std::string Error;
    TDecodedFrame Frame;
};

// Reads the part of the frame between the address word (offset 4) and blockEnd with
// modelBytes model bytes and codeBytes command code bytes before the payload block.
TSplit TrySplit(const uint8_t* frame, size_t blockEnd, bool formA, size_t modelBytes, size_t codeBytes,
                bool encrypted) {
    TSplit split;
    const size_t block = 4 + modelBytes + codeBytes;
    std::string foreign;
    if (modelBytes > 0) {
        if (formA) {
            split.Error = "a form A frame carries no model bytes";
            return split;
        }
        if (!((frame[4] == 0x00 && frame[5] == 0x00) || (frame[4] == 0xFF && frame[5] == 0xFF)))
            foreign = "model bytes " + HexByteText(frame[4]) + " " + HexByteText(frame[5]) + " are neither 00 00 nor FF FF";
        split.Frame.ModelBytes.assign(frame + 4, frame + 6);
    }
    if (codeBytes > 0) {
        const uint8_t code = frame[4 + modelBytes];
        split.Frame.CommandItem = CommandItemOfCode(code);
        if (split.Frame.CommandItem < 0 && foreign.empty())
            foreign = "command code " + HexByteText(code) + " is none of the nine commands";
        split.Frame.CommandCode = code;
    }
    split.Plausible = foreign.empty();
    if (block + 3 > blockEnd) {
        split.Error = "the payload block is shorter than a check byte, a prefix and one payload byte";
        split.Stage = TSplitStage::BadLength;
        return split;
    }

    std::vector<uint8_t> plain(frame + block, frame + blockEnd);
    if (encrypted) {
        TCipherState state;
        CipherFrameSpan(state, plain.data() + 2, static_cast<uint32_t>(plain.size() - 2));
    }
    size_t prefix = 1;
    size_t n = plain[1];
    if (plain[1] == 0x00) {
        if (plain.size() < 4) {
            split.Error = "the three-byte length prefix is cut off";
            split.Stage = TSplitStage::BadLength;
            return split;
        }
        prefix = 3;
        n = plain[2] | size_t{plain[3]} << 8;
        if (n == 0) {
            // The builder never writes this: an empty payload goes out as 01 20.
            split.Error = "the three-byte length prefix gives no payload bytes";
            split.Stage = TSplitStage::BadLength;
            return split;
        }
    }
    const size_t carried = plain.size() - 1 - prefix;
    if (n != carried) {
        split.Error = "the length prefix gives " + std::to_string(n) + " payload bytes, the frame carries " +
                      std::to_string(carried);
        split.Stage = TSplitStage::BadLength;
        return split;
    }
    const uint8_t prefixXor = prefix == 3 ? static_cast<uint8_t>(plain[1] ^ plain[2] ^ plain[3]) : plain[1];
    const uint8_t expected = static_cast<uint8_t>(~prefixXor);
    split.Frame.BlockCheck = plain[0];
    if (plain[0] != expected) {
        split.Error = "check byte " + HexByteText(plain[0]) + " does not match the length prefix (expected " +
                      HexByteText(expected) + ")";
        split.Stage = TSplitStage::BadCheck;
        return split;
    }
    split.Frame.LengthPrefix.assign(plain.begin() + 1, plain.begin() + 1 + static_cast<long>(prefix));
    split.Frame.PayloadLength = n;
    split.Frame.Payload.assign(plain.begin() + 1 + static_cast<long>(prefix), plain.end());
    split.Frame.PayloadSent.assign(frame + block + 1 + prefix, frame + blockEnd);
    if (!foreign.empty()) {
        split.Error = foreign;
        split.Stage = TSplitStage::ForeignParts;
        return split;
    }
    split.Stage = TSplitStage::Fits;
    return split;
}

} // namespace

bool TDecodedFrame::EmptyPayloadMarker() const {
    return LengthPrefix.size() == 1 && LengthPrefix[0] == 0x01 && Payload.size() == 1 &&
           Payload[0] == EmptyPayloadByte;
}

TDecodeResult DecodeCommandFrame(const uint8_t* frame, size_t length, bool encrypted) {
    TDecodeResult result;
    // start, packet, address (2), check, prefix, one payload byte, end, CRC (2)
    constexpr size_t ShortestFrame = 10;
    if (length < ShortestFrame) {
        result.Error = "a frame has at least " + std::to_string(ShortestFrame) + " bytes, this one " +
                       std::to_string(length);
        return result;
    }
    const bool formA = frame[0] == FormAStartByte;
    if (!formA && frame[0] != FormBStartByte) {
        result.Error = "start byte " + HexByteText(frame[0]) + " is neither 24 (form A) nor 19 (form B)";
        return result;
    }
    const size_t crcAt = formA ? length - 2 : length - 3;
    const size_t endAt = formA ? length - 3 : length - 1;
    if (frame[endAt] != FrameEndByte) {
        result.Error =
            formA ? "form A frame: the byte before the CRC is " + HexByteText(frame[endAt]) + ", not the end byte 03"
                  : "form B frame: the last byte is " + HexByteText(frame[endAt]) + ", not the end byte 03";
        return result;
    }
    const size_t blockEnd = formA ? endAt : crcAt;

    // Candidates in order of preference: {model bytes, code bytes}.
    static constexpr size_t Layouts[4][2] = {{2, 1}, {0, 1}, {2, 0}, {0, 0}};
    TSplit best;
    bool haveBest = false;
    for (const auto& layout : Layouts) {
        if (4 + layout[0] + layout[1] > blockEnd) continue;
        TSplit split = TrySplit(frame, blockEnd, formA, layout[0], layout[1], encrypted);
        if (!haveBest || split.Stage > best.Stage ||
            (split.Stage == best.Stage && split.Plausible && !best.Plausible)) {
            best = std::move(split);
            haveBest = true;
        }
        if (best.Stage == TSplitStage::Fits) break;
    }
    if (!haveBest || best.Stage != TSplitStage::Fits) {
        result.Error = haveBest ? best.Error : "no payload block after the address word";
        return result;
    }

    TDecodedFrame& f = best.Frame;
    f.FormA = formA;
    f.StartByte = frame[0];
    f.PacketNumber = frame[1];
    f.AddressWord = static_cast<uint16_t>(frame[2] | frame[3] << 8);
    f.EndByte = frame[endAt];
    f.CrcCarried = static_cast<uint16_t>(frame[crcAt] | frame[crcAt + 1] << 8);
    f.CrcComputed = Crc16Range(0, frame, crcAt);
    if (!f.CrcOk())
        result.Error = "CRC " + HexWordText(f.CrcCarried) + " carried, " + HexWordText(f.CrcComputed) + " computed";
    result.Frame = std::move(f);
    return result;
}
