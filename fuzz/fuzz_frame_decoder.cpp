// The frame decoder on arbitrary bytes, as captured and as enciphered. Each input is also
// decoded with its trailer repaired (end byte and CRC of the form its start byte names), so
// that the splitting behind the CRC check is reached, not only the CRC error.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "protocol/Cipher.h"
#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/FrameDecoder.h"

namespace {

// The bytes the fields of a decoded frame stand for; a frame that decodes must be exactly these.
std::vector<uint8_t> Reassemble(const TDecodedFrame& f, bool encrypted) {
    std::vector<uint8_t> bytes{f.StartByte, f.PacketNumber, static_cast<uint8_t>(f.AddressWord & 0xFF),
                               static_cast<uint8_t>(f.AddressWord >> 8)};
    bytes.insert(bytes.end(), f.ModelBytes.begin(), f.ModelBytes.end());
    if (f.CommandCode) bytes.push_back(*f.CommandCode);
    std::vector<uint8_t> block{f.BlockCheck};
    block.insert(block.end(), f.LengthPrefix.begin(), f.LengthPrefix.end());
    block.insert(block.end(), f.Payload.begin(), f.Payload.end());
    if (encrypted) {
        TCipherState state;
        CipherFrameSpan(state, block.data() + 2, static_cast<uint32_t>(block.size() - 2));
    }
    bytes.insert(bytes.end(), block.begin(), block.end());
    if (f.FormA) bytes.push_back(f.EndByte);
    bytes.push_back(static_cast<uint8_t>(f.CrcCarried & 0xFF));
    bytes.push_back(static_cast<uint8_t>(f.CrcCarried >> 8));
    if (!f.FormA) bytes.push_back(f.EndByte);
    return bytes;
}

void Check(const std::vector<uint8_t>& frame, bool encrypted) {
    const TDecodeResult result = DecodeCommandFrame(frame.data(), frame.size(), encrypted);
    if (!result.Frame) {
        FUZZ_CHECK(!result.Ok());
        return;
    }
    const TDecodedFrame& f = *result.Frame;
    // A frame that splits is either fine or fails its CRC only.
    FUZZ_CHECK(result.Ok() == f.CrcOk());
    FUZZ_CHECK(f.FormA == (f.StartByte == FormAStartByte));
    FUZZ_CHECK(f.FormA || f.StartByte == FormBStartByte);
    FUZZ_CHECK(f.EndByte == FrameEndByte);
    FUZZ_CHECK(f.ModelBytes.empty() || (!f.FormA && f.ModelBytes.size() == 2));
    FUZZ_CHECK(f.CommandCode.has_value() == (f.CommandItem >= 0));
    if (f.CommandCode)
        FUZZ_CHECK(f.CommandItem < CommandItemCount && CommandTable[f.CommandItem].Code == *f.CommandCode);
    FUZZ_CHECK(f.LengthPrefix.size() == 1 || f.LengthPrefix.size() == 3);
    FUZZ_CHECK((f.LengthPrefix.size() == 3) == (f.LengthPrefix[0] == 0x00));
    FUZZ_CHECK(f.PayloadLength == f.Payload.size() && f.PayloadSent.size() == f.Payload.size());
    FUZZ_CHECK(!f.Payload.empty()); // an empty payload is sent as 01 20
    if (!encrypted) FUZZ_CHECK(f.PayloadSent == f.Payload);
    FUZZ_CHECK(Reassemble(f, encrypted) == frame);
    const size_t crcAt = f.FormA ? frame.size() - 2 : frame.size() - 3;
    FUZZ_CHECK(f.CrcComputed == Crc16Range(0, frame.data(), crcAt));
}

// Sets the end byte and the CRC that the start byte's form puts at the end.
void RepairTrailer(std::vector<uint8_t>& frame) {
    if (frame.size() < 4) return;
    const bool formA = frame[0] == FormAStartByte;
    const size_t crcAt = formA ? frame.size() - 2 : frame.size() - 3;
    frame[formA ? crcAt - 1 : frame.size() - 1] = FrameEndByte;
    const uint16_t crc = Crc16Range(0, frame.data(), crcAt);
    frame[crcAt] = static_cast<uint8_t>(crc & 0xFF);
    frame[crcAt + 1] = static_cast<uint8_t>(crc >> 8);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> frame(data, data + size);
    Check(frame, false);
    Check(frame, true);
    RepairTrailer(frame);
    Check(frame, false);
    Check(frame, true);
    return 0;
}
