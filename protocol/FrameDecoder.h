#pragma once
// Splits a captured command frame back into its fields and verifies its checks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TDecodedFrame {
    bool FormA = false; // start byte 24 (end byte before the CRC); else 19
    uint8_t StartByte = 0;
    uint8_t PacketNumber = 0;
    uint16_t AddressWord = 0;
    std::vector<uint8_t> ModelBytes; // empty, 00 00 or FF FF
    std::optional<uint8_t> CommandCode;
    int CommandItem = -1;              // the item of CommandCode in CommandTable, -1 without one
    uint8_t BlockCheck = 0;            // as carried; verified against the plain prefix
    std::vector<uint8_t> LengthPrefix; // 1 or 3 bytes, plain
    size_t PayloadLength = 0;          // from the prefix
    std::vector<uint8_t> Payload;      // plain: deciphered when the frame was enciphered
    std::vector<uint8_t> PayloadSent;  // as carried on the line
    uint16_t CrcCarried = 0;
    uint16_t CrcComputed = 0;
    uint8_t EndByte = 0;

    bool CrcOk() const { return CrcCarried == CrcComputed; }
    // True when the payload is the one a command with no payload sends (prefix 01, byte 20).
    bool EmptyPayloadMarker() const;
};

struct TDecodeResult {
    std::optional<TDecodedFrame> Frame; // set when the frame splits into its fields
    std::string Error;                  // empty when the frame fits and its CRC holds
    bool Ok() const { return Error.empty(); }
};

// Splits length bytes of frame. encrypted says the payload block was enciphered from its
// offset 2 on, as the builder does with the cipher on. The optional parts (model bytes and
// command code) are found from the bytes: of the splits whose length prefix reaches exactly
// to the end of the payload and whose check byte holds, the first in the order code with
// model bytes, code alone, model bytes alone, neither is taken. A frame that fits but fails
// its CRC is split and carries the CRC error; any other fault leaves Frame empty.
TDecodeResult DecodeCommandFrame(const uint8_t* frame, size_t length, bool encrypted);
