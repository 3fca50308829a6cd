#include "devsim/DeviceResponder.h"

#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/HexText.h"

namespace {

constexpr uint8_t HwWriteCode = 0x01;
constexpr uint8_t Code20h = 0x20;

// The ID a Set_ID carries: after 5A for H/W Write, the last payload byte for 20h.
uint8_t IdOf(const TDecodedFrame& frame) {
    return frame.CommandCode == Code20h ? frame.Payload.back() : frame.Payload[1];
}

std::vector<uint8_t> FramedReply(uint8_t packet, uint8_t kind, const std::vector<uint8_t>& data,
                                 size_t length) {
    std::vector<uint8_t> reply(length, 0);
    reply[0] = ReplyStartByte;
    reply[1] = packet;
    reply[2] = kind;
    for (size_t k = 0; k < data.size() && ReplyStartOffset + k < length - 3; ++k)
        reply[ReplyStartOffset + k] = data[k];
    reply[length - 3] = FrameEndByte;
    const uint16_t crc = Crc16Range(0, reply.data(), length - 2);
    reply[length - 2] = static_cast<uint8_t>(crc & 0xFF);
    reply[length - 1] = static_cast<uint8_t>(crc >> 8);
    return reply;
}

} // namespace

TDeviceCommand ClassifyCommand(const TDecodedFrame& frame) {
    const std::vector<uint8_t>& p = frame.Payload;
    if (p.size() == 1 && p[0] == ElnReadByte) return TDeviceCommand::ReadEln;
    if (p.size() == 1 + ElnTextBytes && p[0] == ElnWriteMark) return TDeviceCommand::SetEln;
    if (frame.CommandCode == HwWriteCode && p.size() == 2 && p[0] == IdWriteMark)
        return TDeviceCommand::SetId;
    if (frame.CommandCode == Code20h && p.size() >= 3 && p[0] == 0x00) return TDeviceCommand::SetId;
    return TDeviceCommand::Other;
}

std::array<uint8_t, 7> ElnBytes(const std::string& text) {
    std::array<uint8_t, 7> eln{};
    for (size_t k = 0; k < eln.size() && k < text.size(); ++k)
        eln[k] = static_cast<uint8_t>(text[k]);
    return eln;
}

std::string ElnText(const std::array<uint8_t, 7>& eln) {
    std::string text;
    for (uint8_t b : eln) {
        if (b == 0) break;
        text.push_back(static_cast<char>(b));
    }
    return text;
}

std::string ModelSeen(const TDecodedFrame& frame) {
    if (frame.FormA) return frame.AddressWord == ModelAddressWord ? "KESTREL-A/OSPREY-B" : "OSPREY-B";
    if (frame.ModelBytes.size() == 2) return frame.ModelBytes[0] == 0xFF ? "MARLIN-A" : "19";
    return "none";
}

std::vector<uint8_t> BuildReply(const TDecodedFrame& frame, TDeviceState& state) {
    state.Model = ModelSeen(frame);
    switch (ClassifyCommand(frame)) {
    case TDeviceCommand::SetId:
        state.Id = IdOf(frame);
        return FramedReply(frame.PacketNumber, ReplyMarkSetId,
                           {*state.Id, static_cast<uint8_t>(frame.AddressWord & 0xFF),
                            static_cast<uint8_t>(frame.AddressWord >> 8)},
                           SetIdReplyLength);
    case TDeviceCommand::SetEln:
        for (size_t k = 0; k < state.Eln.size(); ++k)
            state.Eln[k] = frame.Payload[1 + k];
        return FramedReply(frame.PacketNumber, ReplyMarkSetEln, {state.Eln.begin(), state.Eln.end()},
                           SetElnReplyLength);
    case TDeviceCommand::ReadEln: {
        std::vector<uint8_t> data(ReplyElnOffset - ReplyStartOffset, 0);
        data[0] = state.Id.value_or(0);
        data.insert(data.end(), state.Eln.begin(), state.Eln.end());
        return FramedReply(frame.PacketNumber, ReplyMarkReadEln, data, ReadElnReplyLength);
    }
    case TDeviceCommand::Other:
        break;
    }
    return FramedReply(frame.PacketNumber, ReplyMarkOther, {frame.CommandCode.value_or(0xFF)},
                       GenericReplyLength);
}

std::string DescribeFrame(const TDecodedFrame& frame, bool encrypted) {
    std::string text;
    const TDeviceCommand command = ClassifyCommand(frame);
    switch (command) {
    case TDeviceCommand::SetId:
        text = "Set_ID";
        break;
    case TDeviceCommand::SetEln:
        text = "ELN_set";
        break;
    case TDeviceCommand::ReadEln:
        text = "ELN_read";
        break;
    case TDeviceCommand::Other:
        text = "command";
        break;
    }
    text += " model=" + ModelSeen(frame) + " packet=" + std::to_string(frame.PacketNumber) +
            " address=" + HexWordText(frame.AddressWord);
    if (command == TDeviceCommand::SetId) text += " id=" + std::to_string(IdOf(frame));
    if (command == TDeviceCommand::SetEln) {
        std::array<uint8_t, 7> eln{};
        for (size_t k = 0; k < eln.size(); ++k)
            eln[k] = frame.Payload[1 + k];
        text += " eln=\"";
        // Quoted and escaped: the ELN bytes are the sender's, and the log is one line each.
        for (const char c : ElnText(eln)) {
            if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\')
                text += c;
            else
                text += "\\x" + HexByteText(static_cast<unsigned char>(c));
        }
        text += '"';
    }
    if (command == TDeviceCommand::Other) {
        if (frame.CommandCode) {
            text += " code=" + HexByteText(*frame.CommandCode);
            if (frame.CommandItem >= 0)
                text += std::string(" (") + CommandTable[frame.CommandItem].Name + ")";
        } else {
            text += " code=none";
        }
        text += " payload=[" + HexText(frame.Payload) + "]";
    }
    if (encrypted) text += " cipher=on";
    return text;
}

std::vector<TReplyPart> ApplyFaults(std::vector<uint8_t> reply, const TFaultOptions& faults,
                                    std::mt19937& random) {
    if (faults.Silent) return {};
    if (faults.GarbageBytes >= 0) {
        reply.resize(static_cast<size_t>(faults.GarbageBytes));
        for (uint8_t& b : reply)
            b = static_cast<uint8_t>(random() & 0xFF);
    } else if (faults.ReplyLength >= 0) {
        reply.resize(static_cast<size_t>(faults.ReplyLength), 0);
    }
    if (reply.empty()) return {};
    const int at = faults.DelayMs;
    if (faults.SplitBytes < 0 || static_cast<size_t>(faults.SplitBytes) >= reply.size())
        return {{at, std::move(reply)}};
    std::vector<TReplyPart> parts;
    if (faults.SplitBytes > 0) parts.push_back({at, {reply.begin(), reply.begin() + faults.SplitBytes}});
    parts.push_back({at + faults.SplitMs, {reply.begin() + faults.SplitBytes, reply.end()}});
    return parts;
}
