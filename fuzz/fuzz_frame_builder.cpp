// The command builder on arbitrary control values: every frame it builds must decode back
// to what was asked for, with its CRC holding; every refusal must be one of its known errors
// and leave the cipher state alone.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/Convert.h"
#include "base/Exception.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/Cipher.h"
#include "protocol/Crc16.h"
#include "protocol/Frame.h"
#include "protocol/FrameDecoder.h"
#include "protocol/HexText.h"

namespace {

constexpr size_t MaxText = 64;
constexpr size_t MaxDataText = 512;

TCommandInputs ConsumeInputs(FuzzedDataProvider& fdp) {
    TCommandInputs in;
    const TModel model =
        fdp.PickValueInArray({TModel::None, TModel::KestrelA, TModel::Model19, TModel::MarlinA,
                              TModel::KestrelASpare, TModel::OspreyB});
    // Usually the model's button handler prepares the inputs, as in the window; sometimes
    // the model is only checked, so that every other combination is reached too.
    if (fdp.ConsumeBool())
        ApplyModelSelection(in, model);
    else
        in.Model = model;
    in.Kind = fdp.PickValueInArray(
        {TCommandKind::SetId, TCommandKind::SetEln, TCommandKind::ReadEln, TCommandKind::AutoEln});
    if (fdp.ConsumeBool())
        in.CommandItem = fdp.ConsumeIntegralInRange<int>(CommandItemNone, CommandItemCount - 1);
    in.PacketNumber = fdp.ConsumeIntegral<int>();
    in.Address = fdp.ConsumeIntegral<int>();
    in.Id = fdp.ConsumeIntegral<int>();
    in.RwTable = fdp.ConsumeIntegral<int>();
    in.TableIndex = fdp.ConsumeIntegral<int>();
    in.Func1 = fdp.ConsumeIntegral<int>();
    in.Func2 = fdp.ConsumeIntegral<int>();
    in.Stat = fdp.ConsumeIntegral<int>();
    in.Encrypt = fdp.ConsumeBool();
    if (fdp.ConsumeBool()) in.SerialText = fdp.ConsumeRandomLengthString(MaxText);
    if (fdp.ConsumeBool()) in.ElnText = fdp.ConsumeRandomLengthString(MaxText);
    if (fdp.ConsumeBool()) in.AutoText = fdp.ConsumeRandomLengthString(MaxText);
    if (fdp.ConsumeBool()) {
        // Repeating the text reaches payloads beyond 255 bytes (three-byte prefix) from short inputs.
        const std::string piece = fdp.ConsumeRandomLengthString(MaxDataText);
        const int copies = fdp.ConsumeIntegralInRange<int>(1, 8);
        in.DataText.clear();
        for (int k = 0; k < copies; ++k)
            in.DataText += piece;
    }
    return in;
}

// The range error, or the integer conversion error of the serial text's number. Exception
// keeps its message as a C string, so a serial text with a NUL byte leaves it cut there.
bool IsKnownError(const std::string& message, const TCommandInputs& in) {
    static const std::string IntegerError = "' is not a valid integer value";
    if (message == RangeCheckErrorText) return true;
    if (message.empty() || message.front() != '\'') return false;
    if (in.SerialText.find('\0') != std::string::npos) return true;
    return message.size() > IntegerError.size() &&
           message.compare(message.size() - IntegerError.size(), IntegerError.size(), IntegerError) == 0;
}

// The address word the frame must carry.
uint16_t ExpectedAddress(const TCommandInputs& in) {
    const bool setId = in.Kind == TCommandKind::SetId;
    const bool modelRule = !setId || in.SerialText == "0";
    if (modelRule && (in.Model == TModel::KestrelA || in.Model == TModel::MarlinA ||
                      in.Model == TModel::OspreyB))
        return ModelAddressWord;
    if (setId && in.Model == TModel::OspreyB) return ElnFromSerialText(in.SerialText);
    return static_cast<uint16_t>(in.Address);
}

void CheckRoundTrip(const TCommandInputs& in, const std::vector<uint8_t>& frame) {
    const TDecodeResult result = DecodeCommandFrame(frame.data(), frame.size(), in.Encrypt);
    if (!result.Ok()) std::fprintf(stderr, "decode: %s\n", result.Error.c_str());
    FUZZ_CHECK(result.Ok());
    FUZZ_CHECK(result.Frame);
    const TDecodedFrame& f = *result.Frame;

    FUZZ_CHECK(f.CrcOk());
    FUZZ_CHECK(f.CrcCarried == Crc16Range(0, frame.data(), f.FormA ? frame.size() - 2 : frame.size() - 3));
    FUZZ_CHECK(f.FormA == UsesFormA(in.Model));
    FUZZ_CHECK(f.StartByte == (f.FormA ? FormAStartByte : FormBStartByte));
    FUZZ_CHECK(f.EndByte == FrameEndByte);
    FUZZ_CHECK(f.PacketNumber == static_cast<uint8_t>(in.PacketNumber));
    FUZZ_CHECK(f.AddressWord == ExpectedAddress(in));

    const bool modelRule = in.Kind != TCommandKind::SetId || in.SerialText == "0";
    const bool modelBytes =
        modelRule && (in.Model == TModel::Model19 || in.Model == TModel::MarlinA);
    FUZZ_CHECK(f.ModelBytes.size() == (modelBytes ? 2u : 0u));
    if (modelBytes) {
        const uint8_t b = in.Model == TModel::MarlinA ? 0xFF : 0x00;
        FUZZ_CHECK(f.ModelBytes[0] == b && f.ModelBytes[1] == b);
    }

    const int item = in.Kind == TCommandKind::ReadEln ? 1 : in.CommandItem;
    FUZZ_CHECK(f.CommandItem == item);
    FUZZ_CHECK(f.CommandCode.has_value() == (item >= 0));
    if (f.CommandCode) FUZZ_CHECK(*f.CommandCode == CommandTable[item].Code);

    FUZZ_CHECK(f.PayloadLength == f.Payload.size());
    FUZZ_CHECK(f.PayloadSent.size() == f.Payload.size());
    FUZZ_CHECK(f.LengthPrefix.size() == (f.PayloadLength > 255 ? 3u : 1u));
    if (item < 0) FUZZ_CHECK(f.EmptyPayloadMarker());
    if (in.Kind == TCommandKind::ReadEln) FUZZ_CHECK(f.Payload == std::vector<uint8_t>{ElnReadByte});
    if (!in.Encrypt) FUZZ_CHECK(f.PayloadSent == f.Payload);

    // The window shows the frame as hex text; that text reads back as the frame.
    FUZZ_CHECK(ParseHexText(FormatFrameHex(frame.data(), frame.size())) == frame);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    TCommandInputs in = ConsumeInputs(fdp);

    TCipherState state{};
    state.i = 7; // any position; a frame rekeys the state before it uses it
    for (int k = 0; k < 256; ++k)
        state.S[k] = static_cast<uint8_t>(255 - k);
    TCipherState before;
    std::memcpy(&before, &state, sizeof state);

    std::vector<uint8_t> frame;
    try {
        frame = BuildCommandFrame(in, state);
    } catch (const Exception& e) {
        if (!IsKnownError(e.Message(), in)) std::fprintf(stderr, "error: %s\n", e.Message().c_str());
        FUZZ_CHECK(IsKnownError(e.Message(), in));
        FUZZ_CHECK(std::memcmp(&before, &state, sizeof state) == 0);
        return 0;
    }
    CheckRoundTrip(in, frame);

    // The enciphered frame carries the plain frame's payload; only the enciphered span differs.
    if (in.Encrypt) {
        in.Encrypt = false;
        TCipherState unused{};
        const std::vector<uint8_t> plain = BuildCommandFrame(in, unused);
        FUZZ_CHECK(plain.size() == frame.size());
        const TDecodeResult a = DecodeCommandFrame(frame.data(), frame.size(), true);
        const TDecodeResult b = DecodeCommandFrame(plain.data(), plain.size(), false);
        FUZZ_CHECK(a.Frame && b.Frame && a.Frame->Payload == b.Frame->Payload);
        FUZZ_CHECK(a.Frame->LengthPrefix == b.Frame->LengthPrefix);
        FUZZ_CHECK(a.Frame->BlockCheck == b.Frame->BlockCheck);
    }
    return 0;
}
