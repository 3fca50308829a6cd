#pragma once
// Command frames: the command table, the device models and the builder that turns the
// values of the command controls into the finished frame bytes.
//
// Frame layout, multi-byte integers low byte first:
//   start (24 form A, 19 form B) | packet number | address word (2) | model bytes (0 or 2)
//   | command code (0 or 1) | check byte | length prefix (1 or 3) | payload (n)
//   | form A: 03 crcLo crcHi      form B: crcLo crcHi 03
// The check byte, prefix and payload form the payload block; with the cipher on, the block
// is enciphered from its offset 2 to its end. The CRC covers every byte before it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Cipher.h"

// ---- Command table (rgCommand items) ----

struct TCommandEntry {
    const char* Name;
    uint8_t Code;
};

inline constexpr int CommandItemCount = 9;
inline constexpr int CommandItemNone = -1;   // no item selected: no code byte, empty payload
inline constexpr int CommandItemHwWrite = 2; // chosen by the KESTREL-A and OSPREY-B buttons
inline constexpr int CommandItem20h = 8;     // chosen by the MARLIN-A button

inline constexpr std::array<TCommandEntry, CommandItemCount> CommandTable = {{
    {"Status Request", 0x10},
    {"H/W Read", 0x00},
    {"H/W Write", 0x01},
    {"Info Read", 0x12},
    {"Device Reset", 0x11},
    {"File R/W", 0x14},
    {"Device R/W", 0x15},
    {"H/W R/W", 0x02},
    {"20h", 0x20},
}};

// The item whose code is code, or CommandItemNone when no item has it.
int CommandItemOfCode(uint8_t code);

// ---- Frame bytes ----

inline constexpr uint8_t FormAStartByte = 0x24;
inline constexpr uint8_t FormBStartByte = 0x19;
inline constexpr uint8_t FrameEndByte = 0x03;
inline constexpr uint8_t EmptyPayloadByte = 0x20; // an empty payload goes out as prefix 01, byte 20
inline constexpr uint8_t IdWriteMark = 0x5A;      // 'Z' before the new ID
inline constexpr uint8_t ElnWriteMark = 0x5B;     // '[' before the ELN text
inline constexpr uint8_t ElnReadByte = 0x3A;      // ':' the whole payload of an ELN read
inline constexpr size_t ElnTextBytes = 7;         // ELN text bytes sent, padded with 00
inline constexpr uint16_t ModelAddressWord = 0xFFFF;

// ---- Models ----

// The three device models, and two that the window keeps hidden and disabled:
// Model19 (caption "19": form B with model bytes 00 00) and KestrelASpare (a
// second KESTREL-A choice whose frames are built as for no model).
enum class TModel { None, KestrelA, Model19, MarlinA, KestrelASpare, OspreyB };

// The caption of the model's button ("" for None).
const char* ModelCaption(TModel model);

// Form A (start 24, end byte before the CRC) for KESTREL-A and OSPREY-B, form B otherwise.
bool UsesFormA(TModel model);

inline constexpr int ModelDataByteCount = 44;
namespace Detail {
constexpr std::array<char, 3 * ModelDataByteCount> MakeModelDataText() {
    std::array<char, 3 * ModelDataByteCount> text{};
    for (size_t k = 0; k < text.size(); ++k)
        text[k] = k % 3 == 2 ? ' ' : '0';
    return text;
}
inline constexpr auto ModelDataTextChars = MakeModelDataText();
} // namespace Detail

// The data text the MARLIN-A button puts into ED_20: 44 groups "00 " (132 characters).
inline constexpr std::string_view ModelDataText{Detail::ModelDataTextChars.data(),
                                                Detail::ModelDataTextChars.size()};

// ---- Command inputs and the builder ----

enum class TCommandKind { SetId, SetEln, ReadEln, AutoEln };

// One field per control the builder reads; the defaults are the stored layout's.
// Numbers are taken as the controls hold them and cut to their low 8 or 16 bits.
struct TCommandInputs {
    TCommandKind Kind = TCommandKind::SetId;
    TModel Model = TModel::None;
    int PacketNumber = 0;               // SE_01
    int Address = 65;                   // SE_02
    int Id = 1;                         // CSpinEdit5
    std::string SerialText = "0";       // Edit7
    std::string ElnText = "23A1705";    // Edit6, as bytes (Big5 on the wire)
    std::string AutoText;               // Edit5, as bytes
    int CommandItem = 0;                // rgCommand.ItemIndex, -1..8
    std::string DataText = "00";        // ED_20
    int RwTable = 0;                    // SE_13
    int TableIndex = 0;                 // SE_15
    int Func1 = 0, Func2 = 0, Stat = 0; // CSpinEdit2, CSpinEdit3, CSpinEdit4
    bool Encrypt = false;               // Data_Encrypt
};

// The reply kind a command leaves for the result check: 0 Set_ID, 1 ELN set, 2 ELN read.
uint8_t ReplyKindOf(TCommandKind kind);

// What a click on a model button does to the command inputs: checks that model (unchecking
// the others), puts "0" into SerialText and selects item 2 with an empty data text
// (KESTREL-A, OSPREY-B, KestrelASpare) or item 8 with ModelDataText (MARLIN-A, Model19).
// TModel::None only unchecks every model; no handler runs.
void ApplyModelSelection(TCommandInputs& inputs, TModel model);

// The address word of an OSPREY-B Set_ID, from a serial text such as "23A1705": the
// year digits, the month (third character; 'A'..'C' are 10..12, a digit d is 0d), then up
// to seven more characters, read as a decimal integer v; the result is
// ((v mod 65470) + 65) kept to 16 bits, with a truncating remainder.
// Raises Exception "Range check error" for fewer than 3 characters, and the integer
// conversion error ("'<number text>' is not a valid integer value") otherwise.
uint16_t ElnFromSerialText(std::string_view text);

// Appends the length prefix and then the n payload bytes to destination; returns the
// number of bytes appended. n = 0 appends 01 20; 1..255 one byte n; 256 and more 00 and
// n low byte first. Raises Exception "Range check error" when n exceeds 65535, which the
// prefix cannot carry; destination is then unchanged.
size_t AddLengthPrefix(const uint8_t* payload, size_t n, std::vector<uint8_t>& destination);

// Builds the finished frame of one command from the inputs. With Encrypt, the cipher state
// is rekeyed with CipherKey and used for this frame's span. Raises Exception for an
// OSPREY-B Set_ID whose SerialText gives no ELN, an ELN set whose ElnText has fewer than
// 3 bytes ("Range check error"), or a payload beyond 65535 bytes; nothing is built and the
// cipher state is untouched then.
std::vector<uint8_t> BuildCommandFrame(const TCommandInputs& inputs, TCipherState& cipherState);
