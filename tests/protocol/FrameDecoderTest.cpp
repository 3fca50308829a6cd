#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/FrameDecoder.h"
#include "protocol/HexText.h"

namespace {

// Appends the trailer of the form the start byte names, with a correct CRC.
std::vector<uint8_t> Finish(const std::string& head) {
    std::vector<uint8_t> frame = ParseHexText(head);
    const bool formA = frame[0] == FormAStartByte;
    if (formA) frame.push_back(0x03);
    const uint16_t crc = Crc16Range(0, frame.data(), frame.size());
    frame.push_back(crc & 0xFF);
    frame.push_back(crc >> 8);
    if (!formA) frame.push_back(0x03);
    return frame;
}

TDecodeResult Decode(const std::vector<uint8_t>& frame, bool encrypted = false) {
    return DecodeCommandFrame(frame.data(), frame.size(), encrypted);
}

TEST(FrameDecoder, RoundTripsEveryCommandModelAndItem) {
    const TCommandKind kinds[] = {TCommandKind::SetId, TCommandKind::SetEln, TCommandKind::ReadEln,
                                  TCommandKind::AutoEln};
    const TModel models[] = {TModel::None,         TModel::KestrelA, TModel::Model19,
                             TModel::MarlinA, TModel::KestrelASpare, TModel::OspreyB};
    int checked = 0;
    for (TCommandKind kind : kinds)
        for (TModel model : models)
            for (int item = -1; item < CommandItemCount; ++item)
                for (bool encrypt : {false, true}) {
                    TCommandInputs in;
                    ApplyModelSelection(in, model);
                    in.Kind = kind;
                    in.CommandItem = item;
                    in.PacketNumber = 200;
                    in.Id = 33;
                    in.Stat = 4;
                    in.DataText =
                        item == 8 && model == TModel::MarlinA ? std::string(ModelDataText) : "01 02 03";
                    in.AutoText = "17";
                    if (kind == TCommandKind::SetId && model == TModel::OspreyB)
                        in.SerialText = "23A1705";
                    in.Encrypt = encrypt;
                    TCipherState state{};
                    const auto frame = BuildCommandFrame(in, state);
                    in.Encrypt = false;
                    const auto plain = BuildCommandFrame(in, state);

                    SCOPED_TRACE(FormatFrameHex(frame.data(), frame.size()) + (encrypt ? " enciphered" : ""));
                    const auto result = Decode(frame, encrypt);
                    ASSERT_TRUE(result.Ok()) << result.Error;
                    ASSERT_TRUE(result.Frame);
                    const TDecodedFrame& f = *result.Frame;
                    const int expectedItem = kind == TCommandKind::ReadEln ? 1 : item;
                    EXPECT_EQ(f.FormA, UsesFormA(model));
                    EXPECT_EQ(f.PacketNumber, 200);
                    EXPECT_EQ(f.CommandItem,
                              expectedItem >= 0 && expectedItem < CommandItemCount ? expectedItem : -1);
                    EXPECT_EQ(f.CommandCode.has_value(), f.CommandItem >= 0);
                    const bool modelBytes =
                        (model == TModel::Model19 || model == TModel::MarlinA) &&
                        in.SerialText == "0";
                    EXPECT_EQ(f.ModelBytes.size(), modelBytes ? 2u : 0u);
                    EXPECT_EQ(f.PayloadLength, f.Payload.size());
                    EXPECT_TRUE(f.CrcOk());
                    EXPECT_EQ(f.EndByte, 0x03);
                    // The deciphered payload is the plain frame's payload, as it stands in the plain frame.
                    const auto plainResult = Decode(plain);
                    ASSERT_TRUE(plainResult.Frame);
                    EXPECT_EQ(f.Payload, plainResult.Frame->Payload);
                    EXPECT_EQ(plainResult.Frame->PayloadSent, plainResult.Frame->Payload);
                    EXPECT_EQ(f.PayloadSent != f.Payload, encrypt);
                    ++checked;
                }
    EXPECT_EQ(checked, 4 * 6 * 10 * 2);
}

TEST(FrameDecoder, SplitsAKnownFrame) {
    const auto result = Decode(ParseHexText("19 00 FF FF FF FF 00 FE 01 3A 71 D9 03"));
    ASSERT_TRUE(result.Ok()) << result.Error;
    const TDecodedFrame& f = *result.Frame;
    EXPECT_FALSE(f.FormA);
    EXPECT_EQ(f.StartByte, 0x19);
    EXPECT_EQ(f.AddressWord, 0xFFFF);
    EXPECT_EQ(f.ModelBytes, (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(f.CommandCode, 0x00);
    EXPECT_EQ(f.BlockCheck, 0xFE);
    EXPECT_EQ(f.LengthPrefix, std::vector<uint8_t>{0x01});
    EXPECT_EQ(f.Payload, std::vector<uint8_t>{0x3A});
    EXPECT_EQ(f.CrcCarried, 0xD971);

    const auto empty = Decode(Finish("19 00 41 00 FE 01 20"));
    ASSERT_TRUE(empty.Ok()) << empty.Error;
    EXPECT_TRUE(empty.Frame->EmptyPayloadMarker());
    EXPECT_EQ(empty.Frame->CommandItem, -1);
}

TEST(FrameDecoder, SaysWhatIsWrong) {
    auto badCrc = ParseHexText("24 00 FF FF 01 FD 02 5A 01 03 0D 8B");
    auto badEndA = ParseHexText("24 00 FF FF 01 FD 02 5A 01 04 0C 8B");
    struct Row {
        const char* name;
        std::vector<uint8_t> frame;
        bool encrypted;
        std::string error;
        bool split; // the fields are still given
    };
    const Row rows[] = {
        {"too short", ParseHexText("24 00 FF"), false, "a frame has at least 10 bytes, this one 3", false},
        {"unknown start byte", ParseHexText("41 00 FF FF 01 FD 02 5A 01 03 0C 8B"), false,
         "start byte 41 is neither 24 (form A) nor 19 (form B)", false},
        {"form A without its end byte", badEndA, false,
         "form A frame: the byte before the CRC is 04, not the end byte 03", false},
        {"form B without its end byte", ParseHexText("19 00 41 00 10 FE 01 00 AA D7 04"), false,
         "form B frame: the last byte is 04, not the end byte 03", false},
        {"CRC", badCrc, false, "CRC 8B0D carried, 8B0C computed", true},
        {"check byte", Finish("24 00 FF FF 01 FC 02 5A 01"), false,
         "check byte FC does not match the length prefix (expected FD)", false},
        {"length prefix", Finish("24 00 FF FF 01 FD 03 5A 01"), false,
         "the length prefix gives 3 payload bytes, the frame carries 2", false},
        {"unknown command code", Finish("19 00 41 00 13 FE 01 00"), false,
         "command code 13 is none of the nine commands", false},
        {"foreign model bytes", Finish("19 00 41 00 12 34 10 FE 01 00"), false,
         "model bytes 12 34 are neither 00 00 nor FF FF", false},
        {"long prefix cut off", Finish("19 00 41 00 10 FF 00 05"), false,
         "the three-byte length prefix is cut off", false},
        {"long prefix without payload", Finish("19 00 41 00 10 FF 00 00 00"), false,
         "the three-byte length prefix gives no payload bytes", false},
        {"long prefix without payload, form A", Finish("24 F8 00 00 00 FF 00 00 00"), false,
         "the three-byte length prefix gives no payload bytes", false},
        {"enciphered frame read as plain", Finish("24 00 FF FF 01 FD 02 4D 4E"), false, "", true},
        {"plain frame read as enciphered: prefix deciphered wrongly",
         Finish("24 00 FF FF 01 D3 00 2D 01 " + std::string(301 * 3, '0')), true,
         "the length prefix gives 20026 payload bytes, the frame carries 301", false},
    };
    for (const auto& row : rows) {
        const auto result = Decode(row.frame, row.encrypted);
        EXPECT_EQ(result.Error, row.error) << row.name;
        EXPECT_EQ(result.Frame.has_value(), row.split) << row.name;
    }
}

} // namespace
