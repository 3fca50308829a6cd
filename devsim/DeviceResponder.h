#pragma once
// The simulated device: what it makes of a decoded command frame, the state it keeps, and
// the reply it sends, with the faults it can be told to commit. Pure: no I/O, no clock.
//
// Reply framing (this device's own; a receiver judges replies by their length only):
//   offset 0   start byte 24
//          1   packet number, echoed from the command
//          2   mark byte: 5A Set_ID, 5B ELN set, 3A ELN read, 06 any other command
//          3.. data, length - 6 bytes, zero where unused
//   length-3   end byte 03
//   length-2   CRC-16 (Crc16, start 0) over offsets 0 .. length-3, low byte first
// Lengths and data:
//   Set_ID    13 bytes: data 0 = the new ID, data 1-2 = the address word received
//   ELN set   15 bytes: data 0-6 = the ELN now stored
//   ELN read  20 bytes: data 0 = the ID held (00 when none was set yet), data 7-13 = the
//             stored ELN, so the ELN lies at reply offsets 10..16
//   other     13 bytes: data 0 = the command code (FF without one), a generic acknowledgement

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "protocol/FrameDecoder.h"
#include "protocol/Reply.h" // ReplyElnOffset: where an ELN read reply carries the ELN

// The commands the device acts on; everything else decodable is acknowledged as Other.
enum class TDeviceCommand { SetId, SetEln, ReadEln, Other };

// Set_ID: code 01 ("H/W Write") with a payload 5A, ID; or code 20 ("20h") with a payload
// of 00, data, a spare byte and the ID last. ELN set: a payload 5B and 7 ELN bytes.
// ELN read: the payload 3A alone.
TDeviceCommand ClassifyCommand(const TDecodedFrame& frame);

inline constexpr size_t ReplyStartOffset = 3; // the first data byte
inline constexpr size_t SetIdReplyLength = 13;
inline constexpr size_t SetElnReplyLength = 15;
inline constexpr size_t ReadElnReplyLength = 20;
inline constexpr size_t GenericReplyLength = 13;

inline constexpr uint8_t ReplyStartByte = 0x24;
// The mark byte at offset 2 (protocol/Reply.h's ReplyKind* are what a sender awaits, not bytes).
inline constexpr uint8_t ReplyMarkSetId = 0x5A;
inline constexpr uint8_t ReplyMarkSetEln = 0x5B;
inline constexpr uint8_t ReplyMarkReadEln = 0x3A;
inline constexpr uint8_t ReplyMarkOther = 0x06;

struct TDeviceState {
    std::string Model = "none";      // as last seen in a frame
    std::optional<uint8_t> Id;       // set by Set_ID
    std::array<uint8_t, 7> Eln = {}; // zero-padded ELN text
};

// The ELN bytes of a text: its first 7 bytes, padded with 00.
std::array<uint8_t, 7> ElnBytes(const std::string& text);
// The ELN as a text: the bytes before the first 00.
std::string ElnText(const std::array<uint8_t, 7>& eln);

// The model a frame shows: "KESTREL-A/OSPREY-B" for form A with address FF FF (both
// send it), "OSPREY-B" for form A with another address (its serial-derived one),
// "MARLIN-A" for form B with model bytes FF FF, "19" with 00 00, "none" otherwise.
std::string ModelSeen(const TDecodedFrame& frame);

// Applies the command to the state and returns the reply described above.
std::vector<uint8_t> BuildReply(const TDecodedFrame& frame, TDeviceState& state);

// The one-line readable account of a received frame, as the log shows it before " | ":
// e.g. "Set_ID model=KESTREL-A/OSPREY-B packet=0 address=FFFF id=5".
std::string DescribeFrame(const TDecodedFrame& frame, bool encrypted);

struct TFaultOptions {
    bool Silent = false;  // send nothing
    int ReplyLength = -1; // >= 0: pad with 00 or cut every reply to this length
    int DelayMs = 0;      // send the reply this long after the frame
    int SplitBytes = -1;  // >= 0: send this many bytes first, the rest SplitMs later
    int SplitMs = 0;
    int GarbageBytes = -1; // >= 0: this many random bytes instead of the reply
};

// One piece of a reply: its bytes go out AtMs after the frame arrived.
struct TReplyPart {
    int AtMs = 0;
    std::vector<uint8_t> Bytes;
};

// What the faults make of a reply: no parts when silent (or when nothing is left to send),
// else one part, or two when split within the reply. random supplies the garbage bytes.
std::vector<TReplyPart> ApplyFaults(std::vector<uint8_t> reply, const TFaultOptions& faults,
                                    std::mt19937& random);
