#include "protocol/Frame.h"

#include "base/Convert.h"
#include "base/Exception.h"
#include "protocol/Crc16.h"
#include "protocol/HexText.h"

namespace {

uint8_t Low8(int value) {
    return static_cast<uint8_t>(value & 0xFF);
}

bool IsElnSet(TCommandKind kind) {
    return kind == TCommandKind::SetEln || kind == TCommandKind::AutoEln;
}

void AppendDataBytes(std::vector<uint8_t>& payload, const std::string& dataText) {
    const std::vector<uint8_t> data = ParseHexText(dataText);
    payload.insert(payload.end(), data.begin(), data.end());
}

void AppendElnText(std::vector<uint8_t>& payload, const std::string& text) {
    payload.push_back(ElnWriteMark);
    for (size_t k = 0; k < ElnTextBytes; ++k)
        payload.push_back(k < text.size() ? static_cast<uint8_t>(text[k]) : uint8_t{0});
}

std::vector<uint8_t> BuildPayload(const TCommandInputs& in) {
    std::vector<uint8_t> payload;
    if (in.Kind == TCommandKind::ReadEln) {
        payload.push_back(ElnReadByte);
        return payload;
    }
    switch (in.CommandItem) {
    case 0:
        payload.push_back(in.Model == TModel::KestrelA ? uint8_t{0} : Low8(in.Stat));
        break;
    case 1:
        payload.push_back(Low8(in.RwTable));
        break;
    case 2:
        if (in.Kind == TCommandKind::SetEln) {
            AppendElnText(payload, in.ElnText);
        } else if (in.Kind == TCommandKind::AutoEln) {
            AppendElnText(payload, in.AutoText);
        } else {
            payload.push_back(IdWriteMark);
            payload.push_back(Low8(in.Id));
        }
        break;
    case 3:
        payload.push_back(Low8(in.TableIndex));
        break;
    case 4:
        payload.push_back(0);
        break;
    case 5:
        payload.push_back(Low8(in.Func1));
        AppendDataBytes(payload, in.DataText);
        break;
    case 6:
        payload.push_back(Low8(in.Func2));
        AppendDataBytes(payload, in.DataText);
        break;
    case 7:
        payload.push_back(Low8(in.RwTable));
        AppendDataBytes(payload, in.DataText);
        break;
    case 8:
        payload.push_back(0);
        AppendDataBytes(payload, in.DataText);
        payload.push_back(0); // a spare byte the device ignores
        // ELN sets carry the ID here too, so every kind sends a defined last byte.
        payload.push_back(Low8(in.Id));
        break;
    default:
        break;
    }
    return payload;
}

} // namespace

int CommandItemOfCode(uint8_t code) {
    for (int item = 0; item < CommandItemCount; ++item)
        if (CommandTable[item].Code == code) return item;
    return CommandItemNone;
}

const char* ModelCaption(TModel model) {
    switch (model) {
    case TModel::KestrelA:
    case TModel::KestrelASpare:
        return "KESTREL-A";
    case TModel::Model19:
        return "19";
    case TModel::MarlinA:
        return "MARLIN-A";
    case TModel::OspreyB:
        return "OSPREY-B";
    case TModel::None:
        break;
    }
    return "";
}

bool UsesFormA(TModel model) {
    return model == TModel::KestrelA || model == TModel::OspreyB;
}

uint8_t ReplyKindOf(TCommandKind kind) {
    switch (kind) {
    case TCommandKind::SetId:
        return 0;
    case TCommandKind::SetEln:
    case TCommandKind::AutoEln:
        return 1;
    case TCommandKind::ReadEln:
        return 2;
    }
    return 0;
}

void ApplyModelSelection(TCommandInputs& inputs, TModel model) {
    inputs.Model = model;
    switch (model) {
    case TModel::KestrelA:
    case TModel::KestrelASpare:
    case TModel::OspreyB:
        inputs.CommandItem = CommandItemHwWrite;
        inputs.DataText.clear();
        inputs.SerialText = "0";
        break;
    case TModel::Model19:
    case TModel::MarlinA:
        inputs.SerialText = "0";
        inputs.CommandItem = CommandItem20h;
        inputs.DataText = ModelDataText;
        break;
    case TModel::None:
        break;
    }
}

uint16_t ElnFromSerialText(std::string_view text) {
    if (text.size() < 3) throw Exception(RangeCheckErrorText);
    const char c = text[2];
    std::string month;
    if (c >= '0' && c <= '9') {
        month = {'0', c};
    } else if (c >= 'A' && c <= 'C') {
        month = {'1', static_cast<char>('0' + (c - 'A'))};
    } else {
        month = {c};
    }
    std::string number(text.substr(0, 2));
    number += month;
    number += text.substr(3, 7);
    const int32_t v = StrToInt(number);
    return static_cast<uint16_t>(v % 65470 + 65);
}

size_t AddLengthPrefix(const uint8_t* payload, size_t n, std::vector<uint8_t>& destination) {
    if (n > UINT16_MAX) throw Exception(RangeCheckErrorText);
    if (n == 0) {
        destination.push_back(0x01);
        destination.push_back(EmptyPayloadByte);
        return 2;
    }
    size_t prefix = 1;
    if (n <= 255) {
        destination.push_back(static_cast<uint8_t>(n));
    } else {
        destination.push_back(0x00);
        destination.push_back(static_cast<uint8_t>(n & 0xFF));
        destination.push_back(static_cast<uint8_t>(n >> 8));
        prefix = 3;
    }
    destination.insert(destination.end(), payload, payload + n);
    return prefix + n;
}

std::vector<uint8_t> BuildCommandFrame(const TCommandInputs& in, TCipherState& cipherState) {
    if (IsElnSet(in.Kind) && in.ElnText.size() < 3) throw Exception(RangeCheckErrorText);

    uint16_t address = static_cast<uint16_t>(in.Address);
    bool modelRule = true; // ELN commands apply the model rule always
    if (in.Kind == TCommandKind::SetId) {
        if (in.Model == TModel::OspreyB) address = ElnFromSerialText(in.SerialText);
        // Only the "0" the model buttons leave marks a model-addressed Set_ID.
        modelRule = in.SerialText == "0";
    }

    const std::vector<uint8_t> payload = BuildPayload(in);

    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 16);
    frame.push_back(UsesFormA(in.Model) ? FormAStartByte : FormBStartByte);
    frame.push_back(Low8(in.PacketNumber));
    bool modelBytes = false;
    uint8_t modelByte = 0;
    if (modelRule) {
        switch (in.Model) {
        case TModel::Model19:
            modelBytes = true;
            modelByte = 0x00;
            break;
        case TModel::MarlinA:
            address = ModelAddressWord;
            modelBytes = true;
            modelByte = 0xFF;
            break;
        case TModel::KestrelA:
        case TModel::OspreyB:
            address = ModelAddressWord;
            break;
        default:
            break;
        }
    }
    frame.push_back(static_cast<uint8_t>(address & 0xFF));
    frame.push_back(static_cast<uint8_t>(address >> 8));
    if (modelBytes) frame.insert(frame.end(), 2, modelByte);

    if (in.Kind == TCommandKind::ReadEln) {
        frame.push_back(CommandTable[1].Code);
    } else if (in.CommandItem >= 0 && in.CommandItem < CommandItemCount) {
        frame.push_back(CommandTable[in.CommandItem].Code);
    }

    const size_t block = frame.size();
    frame.push_back(0); // check byte, set below from the plain prefix
    const size_t m = AddLengthPrefix(payload.data(), payload.size(), frame);
    const bool longPrefix = frame[block + 1] == 0x00;
    const uint8_t prefixXor =
        longPrefix ? static_cast<uint8_t>(frame[block + 1] ^ frame[block + 2] ^ frame[block + 3])
                   : frame[block + 1];
    frame[block] = static_cast<uint8_t>(~prefixXor);

    if (in.Encrypt) CipherFrameSpan(cipherState, frame.data() + block + 2, static_cast<uint32_t>(m - 1));

    if (UsesFormA(in.Model)) {
        frame.push_back(FrameEndByte);
        const uint16_t crc = Crc16Range(0, frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
    } else {
        const uint16_t crc = Crc16Range(0, frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        frame.push_back(FrameEndByte);
    }
    return frame;
}
