#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "protocol/Cipher.h"
#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/HexText.h"

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    return ParseHexText(text);
}

std::string HexOf(const std::vector<uint8_t>& bytes) {
    return FormatFrameHex(bytes.data(), bytes.size());
}

TCommandInputs ForModel(TModel model, TCommandKind kind = TCommandKind::SetId) {
    TCommandInputs in;
    ApplyModelSelection(in, model);
    in.Kind = kind;
    return in;
}

std::vector<uint8_t> Build(const TCommandInputs& in) {
    TCipherState state{};
    return BuildCommandFrame(in, state);
}

std::string BuildError(const TCommandInputs& in) {
    try {
        Build(in);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no error)";
}

TEST(FrameBuilder, KnownFrames) {
    struct Row {
        const char* name;
        std::function<TCommandInputs()> inputs;
        const char* frame;
    };
    const Row rows[] = {
        {"Set_ID KESTREL-A ID 1", [] { return ForModel(TModel::KestrelA); },
         "24 00 FF FF 01 FD 02 5A 01 03 0C 8B"},
        {"Set_ID OSPREY-B with ELN text",
         [] {
             auto in = ForModel(TModel::OspreyB);
             in.SerialText = "23A1705";
             return in;
         },
         "24 00 0A DC 01 FD 02 5A 01 03 D1 32"},
        {"Set_ID no model, stored layout", [] { return TCommandInputs{}; },
         "19 00 41 00 10 FE 01 00 AA D7 03"},
        {"Set_ELN KESTREL-A", [] { return ForModel(TModel::KestrelA, TCommandKind::SetEln); },
         "24 00 FF FF 01 F7 08 5B 32 33 41 31 37 30 35 03 F0 46"},
        {"Read_ELN KESTREL-A", [] { return ForModel(TModel::KestrelA, TCommandKind::ReadEln); },
         "24 00 FF FF 00 FE 01 3A 03 82 88"},
        {"Read_ELN MARLIN-A", [] { return ForModel(TModel::MarlinA, TCommandKind::ReadEln); },
         "19 00 FF FF FF FF 00 FE 01 3A 71 D9 03"},
        {"AutoELN KESTREL-A, text 2",
         [] {
             auto in = ForModel(TModel::KestrelA, TCommandKind::AutoEln);
             in.AutoText = "2";
             return in;
         },
         "24 00 FF FF 01 F7 08 5B 32 00 00 00 00 00 00 03 98 BB"},
        {"AutoELN KESTREL-A, empty text",
         [] { return ForModel(TModel::KestrelA, TCommandKind::AutoEln); },
         "24 00 FF FF 01 F7 08 5B 00 00 00 00 00 00 00 03 1A 76"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(HexOf(Build(row.inputs())), HexOf(Hex(row.frame))) << row.name;
}

TEST(FrameBuilder, MarlinFrameCarriesTheModelBytesAndFortyFourDataBytes) {
    const auto frame = Build(ForModel(TModel::MarlinA));
    ASSERT_EQ(frame.size(), 59u);
    EXPECT_EQ(HexOf({frame.begin(), frame.begin() + 10}), "19 00 FF FF FF FF 20 D0 2F 00 ");
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 10, frame.begin() + 54), std::vector<uint8_t>(44, 0));
    EXPECT_EQ(frame[54], 0x00); // the spare byte
    EXPECT_EQ(frame[55], 0x01); // the ID
    const uint16_t crc = Crc16(0, frame.data(), 56);
    EXPECT_EQ(frame[56], crc & 0xFF);
    EXPECT_EQ(frame[57], crc >> 8);
    EXPECT_EQ(frame[58], 0x03);
}

TEST(FrameBuilder, PayloadRulesPerItem) {
    struct Row {
        const char* name;
        TModel model;
        TCommandKind kind;
        int item;
        const char* block; // from the command code to the end of the payload
    };
    const Row rows[] = {
        {"status, KESTREL-A sends 00", TModel::KestrelA, TCommandKind::SetId, 0, "10 FE 01 00"},
        {"ELN set status, OSPREY-B sends Stat", TModel::OspreyB, TCommandKind::SetEln, 0, "10 FE 01 07"},
        {"status, second KESTREL-A button sends Stat", TModel::KestrelASpare, TCommandKind::SetId, 0,
         "10 FE 01 07"},
        {"H/W read", TModel::None, TCommandKind::SetId, 1, "00 FE 01 09"},
        {"H/W write", TModel::None, TCommandKind::SetId, 2, "01 FD 02 5A 05"},
        {"info read", TModel::None, TCommandKind::SetId, 3, "12 FE 01 02"},
        {"device reset", TModel::None, TCommandKind::SetId, 4, "11 FE 01 00"},
        {"file R/W", TModel::None, TCommandKind::SetId, 5, "14 FC 03 0B 1A 2B"},
        {"device R/W", TModel::None, TCommandKind::SetId, 6, "15 FC 03 0C 1A 2B"},
        {"H/W R/W", TModel::None, TCommandKind::SetId, 7, "02 FC 03 09 1A 2B"},
        {"20h", TModel::None, TCommandKind::SetId, 8, "20 FA 05 00 1A 2B 00 05"},
        {"no item: no code, empty payload", TModel::None, TCommandKind::SetId, -1, "FE 01 20"},
        {"index beyond the items acts as none", TModel::None, TCommandKind::SetId, 9, "FE 01 20"},
        {"ELN set, 20h ends with the ID", TModel::None, TCommandKind::SetEln, 8, "20 FA 05 00 1A 2B 00 05"},
        {"ELN set, status", TModel::None, TCommandKind::SetEln, 0, "10 FE 01 07"},
        {"ELN read ignores the item", TModel::None, TCommandKind::ReadEln, 5, "00 FE 01 3A"},
        {"ELN read with no item", TModel::None, TCommandKind::ReadEln, -1, "00 FE 01 3A"},
    };
    for (const auto& row : rows) {
        TCommandInputs in;
        in.Model = row.model;
        in.Kind = row.kind;
        in.CommandItem = row.item;
        in.Id = 5;
        in.Stat = 7;
        in.RwTable = 9;
        in.TableIndex = 2;
        in.Func1 = 11;
        in.Func2 = 12;
        in.DataText = "1A 2B";
        const auto frame = Build(in);
        ASSERT_GT(frame.size(), 7u) << row.name;
        EXPECT_EQ(HexOf({frame.begin() + 4, frame.end() - 3}), HexOf(Hex(row.block))) << row.name;
    }
}

TEST(FrameBuilder, ElnTextIsSevenBytesPaddedOrCut) {
    struct Row {
        const char* text;
        const char* payload;
    };
    const Row rows[] = {{"ABC", "5B 41 42 43 00 00 00 00"},
                        {"23A1705", "5B 32 33 41 31 37 30 35"},
                        {"23A17059999", "5B 32 33 41 31 37 30 35"}};
    for (const auto& row : rows) {
        auto in = ForModel(TModel::KestrelA, TCommandKind::SetEln);
        in.ElnText = row.text;
        const auto frame = Build(in);
        EXPECT_EQ(HexOf({frame.begin() + 7, frame.begin() + 15}), HexOf(Hex(row.payload))) << row.text;

        // The key-triggered command sends its own text, Edit6 only has to be long enough.
        auto autoIn = ForModel(TModel::KestrelA, TCommandKind::AutoEln);
        autoIn.AutoText = row.text;
        EXPECT_EQ(Build(autoIn), frame) << row.text;
    }
}

TEST(FrameBuilder, ModelRuleAndAddressWord) {
    struct Row {
        const char* name;
        TModel model;
        TCommandKind kind;
        std::string serial;
        const char* head; // start byte to the command code
    };
    const Row rows[] = {
        {"19 button keeps the address, adds 00 00", TModel::Model19, TCommandKind::SetId, "0",
         "19 00 41 00 00 00 20"},
        {"second KESTREL-A button: no model rule", TModel::KestrelASpare, TCommandKind::SetId, "0",
         "19 00 41 00 01"},
        {"KESTREL-A with Edit7 not 0: address from SE_02", TModel::KestrelA, TCommandKind::SetId, "5",
         "24 00 41 00 01"},
        {"MARLIN-A with Edit7 not 0: no model bytes", TModel::MarlinA, TCommandKind::SetId, "x",
         "19 00 41 00 20"},
        {"ELN set with OSPREY-B: no derivation, rule always", TModel::OspreyB, TCommandKind::SetEln,
         "23A1705", "24 00 FF FF 01"},
        {"ELN read with MARLIN-A and Edit7 not 0", TModel::MarlinA, TCommandKind::ReadEln, "x",
         "19 00 FF FF FF FF 00"},
    };
    for (const auto& row : rows) {
        auto in = ForModel(row.model, row.kind);
        in.SerialText = row.serial;
        const auto head = Hex(row.head);
        const auto frame = Build(in);
        EXPECT_EQ(HexOf({frame.begin(), frame.begin() + static_cast<long>(head.size())}), HexOf(head))
            << row.name;
    }
}

TEST(FrameBuilder, NumbersAreCutToTheirLowBits) {
    auto in = ForModel(TModel::KestrelA);
    in.PacketNumber = 0x1FF;
    in.Id = 0x101;
    in.SerialText = "7"; // keep SE_02 as the address
    in.Address = 0x12345;
    const auto frame = Build(in);
    EXPECT_EQ(HexOf({frame.begin(), frame.begin() + 9}), "24 FF 45 23 01 FD 02 5A 01 ");
}

TEST(FrameBuilder, LengthPrefixBoundary) {
    struct Row {
        size_t dataBytes; // item 7 sends one byte more than the data
        const char* block;
    };
    const Row rows[] = {{253, "01 FE"}, {254, "00 FF"}, {255, "FE 00 00 01"}, {256, "FF 00 01 01"}};
    for (const auto& row : rows) {
        TCommandInputs in;
        in.CommandItem = 7;
        in.DataText.clear();
        for (size_t k = 0; k < row.dataBytes; ++k)
            in.DataText += "AB ";
        const auto frame = Build(in);
        const auto block = Hex(row.block);
        SCOPED_TRACE(row.dataBytes);
        EXPECT_EQ(HexOf({frame.begin() + 5, frame.begin() + 5 + static_cast<long>(block.size())}),
                  HexOf(block));
        EXPECT_EQ(frame.size(), 8 + 1 + (block.size() - 1) + row.dataBytes + 1);
        EXPECT_EQ(frame.back(), 0x03);
        EXPECT_EQ(Crc16Range(0, frame.data(), frame.size() - 3),
                  frame[frame.size() - 3] | frame[frame.size() - 2] << 8);
    }
}

TEST(FrameBuilder, CipherCoversTheBlockFromItsThirdByte) {
    const std::vector<uint8_t> key(CipherKey, CipherKey + CipherKeyLength);
    TCipherState keyState{};
    CipherInit(keyState, key.data(), CipherKeyLength);
    std::vector<uint8_t> stream(400);
    for (auto& b : stream)
        b = CipherNextByte(keyState);

    struct Row {
        const char* name;
        size_t dataBytes;
        size_t block; // offset of the check byte
    };
    // 44 data bytes: one-byte prefix; 300: a span far beyond 136 bytes, three-byte prefix.
    for (const Row row : {Row{"short", 44, 5}, Row{"long", 300, 5}}) {
        SCOPED_TRACE(row.name);
        auto in = ForModel(TModel::KestrelA);
        in.CommandItem = 7;
        in.DataText.clear();
        for (size_t k = 0; k < row.dataBytes; ++k)
            in.DataText += "5C ";
        const auto plain = Build(in);
        in.Encrypt = true;
        TCipherState state{};
        const auto sealed = BuildCommandFrame(in, state);
        ASSERT_EQ(sealed.size(), plain.size());
        const size_t spanEnd = plain.size() - 3; // end byte, CRC
        for (size_t k = 0; k < row.block + 2; ++k)
            EXPECT_EQ(sealed[k], plain[k]) << k;
        for (size_t k = row.block + 2; k < spanEnd; ++k)
            ASSERT_EQ(sealed[k], plain[k] ^ stream[k - row.block - 2]) << k;
        EXPECT_EQ(sealed[spanEnd], 0x03);
        EXPECT_EQ(Crc16Range(0, sealed.data(), spanEnd + 1), sealed[spanEnd + 1] | sealed[spanEnd + 2] << 8);
        EXPECT_EQ(BuildCommandFrame(in, state), sealed); // the keystream restarts for every frame
    }

    auto in = ForModel(TModel::KestrelA);
    in.Encrypt = true;
    // 5A ^ 17, 01 ^ 4F
    const auto frame = Build(in);
    EXPECT_EQ(HexOf({frame.begin(), frame.begin() + 10}), "24 00 FF FF 01 FD 02 4D 4E 03 ");
}

TEST(FrameBuilder, ErrorsBuildNothingAndLeaveTheCipherAlone) {
    struct Row {
        const char* name;
        std::function<TCommandInputs()> inputs;
        std::string message;
    };
    const Row rows[] = {
        {"OSPREY-B with the 0 left by the model button", [] { return ForModel(TModel::OspreyB); },
         "Range check error"},
        {"OSPREY-B with a month digit and letters",
         [] {
             auto in = ForModel(TModel::OspreyB);
             in.SerialText = "AB5";
             return in;
         },
         "'AB05' is not a valid integer value"},
        {"ELN set with a two-character Edit6",
         [] {
             auto in = ForModel(TModel::KestrelA, TCommandKind::SetEln);
             in.ElnText = "23";
             return in;
         },
         "Range check error"},
        {"key-triggered ELN with an empty Edit6",
         [] {
             auto in = ForModel(TModel::KestrelA, TCommandKind::AutoEln);
             in.ElnText.clear();
             in.AutoText = "1705";
             return in;
         },
         "Range check error"},
        {"payload beyond 65535 bytes",
         [] {
             TCommandInputs in;
             in.CommandItem = 7;
             in.DataText.assign(3 * 65535, '0');
             return in;
         },
         "Range check error"},
    };
    for (const auto& row : rows) {
        TCommandInputs in = row.inputs();
        in.Encrypt = true;
        TCipherState state{};
        std::memset(&state, 0x5A, sizeof state);
        const TCipherState before = state;
        try {
            BuildCommandFrame(in, state);
            ADD_FAILURE() << row.name << ": no error";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), row.message) << row.name;
        }
        EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0) << row.name;
    }

    // An ELN read places no requirement on Edit6.
    auto read = ForModel(TModel::KestrelA, TCommandKind::ReadEln);
    read.ElnText.clear();
    EXPECT_EQ(BuildError(read), "(no error)");
}

TEST(FrameBuilder, ElnFromSerialText) {
    struct Row {
        const char* text;
        int eln; // -1: error
        std::string message;
    };
    const Row rows[] = {
        {"23A1705", 56330, ""},
        {"23B1705", 860, ""},
        {"23C1705", 10860, ""},
        {"2351705", 6330, ""},      // month digit 5 reads as 05
        {"00A0000001X", 27376, ""}, // characters after the tenth are not read
        {"0006546", 6611, ""},      // month 0 reads as 00
        {"0065469", 65534, ""},     // the largest value; FFFF never comes out
        {"000", 65, ""},
        {"-1A1705", 11416, ""}, // negative: truncating remainder, kept to 16 bits
        {"23a1705", -1, "'23a1705' is not a valid integer value"},
        {"23D1705", -1, "'23D1705' is not a valid integer value"},
        {"2X11705", -1, "'2X011705' is not a valid integer value"},
        {"23A17 5", -1, "'231017 5' is not a valid integer value"},
        {"99C9999999", -1, "'99129999999' is not a valid integer value"}, // beyond 32 bits
        {"23", -1, "Range check error"},
        {"", -1, "Range check error"},
    };
    for (const auto& row : rows) {
        if (row.eln >= 0) {
            EXPECT_EQ(ElnFromSerialText(row.text), row.eln) << row.text;
            continue;
        }
        try {
            ElnFromSerialText(row.text);
            ADD_FAILURE() << row.text << ": no error";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), row.message) << row.text;
        }
    }
}

TEST(FrameBuilder, AddLengthPrefix) {
    std::vector<uint8_t> payload(65536, 0x77);
    std::vector<uint8_t> out = {0xEE};
    EXPECT_EQ(AddLengthPrefix(payload.data(), 0, out), 2u);
    EXPECT_EQ(HexOf(out), "EE 01 20 ");
    out.clear();
    EXPECT_EQ(AddLengthPrefix(payload.data(), 65535, out), 65538u);
    EXPECT_EQ(HexOf({out.begin(), out.begin() + 4}), "00 FF FF 77 ");
    out = {0xEE};
    EXPECT_THROW(AddLengthPrefix(payload.data(), 65536, out), Exception);
    EXPECT_EQ(out, std::vector<uint8_t>{0xEE});
}

TEST(ModelSelection, PreparesTheCommandInputs) {
    struct Row {
        TModel model;
        int item;
        std::string data;
    };
    const Row rows[] = {{TModel::KestrelA, 2, ""},
                        {TModel::KestrelASpare, 2, ""},
                        {TModel::OspreyB, 2, ""},
                        {TModel::Model19, 8, std::string(ModelDataText)},
                        {TModel::MarlinA, 8, std::string(ModelDataText)}};
    for (const auto& row : rows) {
        TCommandInputs in;
        in.SerialText = "23A1705";
        in.DataText = "FF";
        in.Id = 9;
        ApplyModelSelection(in, row.model);
        EXPECT_EQ(in.Model, row.model);
        EXPECT_EQ(in.CommandItem, row.item);
        EXPECT_EQ(in.DataText, row.data);
        EXPECT_EQ(in.SerialText, "0");
        EXPECT_EQ(in.Id, 9);
    }
    EXPECT_EQ(ModelDataText.size(), 132u);
    EXPECT_EQ(ParseHexText(ModelDataText), std::vector<uint8_t>(44, 0));

    TCommandInputs in;
    ApplyModelSelection(in, TModel::MarlinA);
    ApplyModelSelection(in, TModel::None);
    EXPECT_EQ(in.Model, TModel::None);
    EXPECT_EQ(in.CommandItem, 8);
}

TEST(CommandTable, ReplyKindsAndCodes) {
    EXPECT_EQ(ReplyKindOf(TCommandKind::SetId), 0);
    EXPECT_EQ(ReplyKindOf(TCommandKind::SetEln), 1);
    EXPECT_EQ(ReplyKindOf(TCommandKind::AutoEln), 1);
    EXPECT_EQ(ReplyKindOf(TCommandKind::ReadEln), 2);
    for (int item = 0; item < CommandItemCount; ++item)
        EXPECT_EQ(CommandItemOfCode(CommandTable[item].Code), item);
    EXPECT_EQ(CommandItemOfCode(0x13), CommandItemNone);
}

} // namespace
