// The receive side: serial and socket events, the deferred read and the result check.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "comm/SystemError.h"
#include "protocol/Reply.h"
#include "window/Serial_main.h"

namespace {

// A chunk may fill the landing area but for the zero byte written after it.
constexpr int32_t RxChunkLimit = static_cast<int32_t>(std::tuple_size_v<decltype(TForm1::RxBuffer)>) - 1;
constexpr int SocketReadLimit = 1024;
constexpr unsigned ReadDeferralMs = 4;
constexpr int32_t TickByteBudget = 64 * 1024;

std::string SocketErrorReason(TErrorEvent event, int code) {
    if (event == eeLookup) return std::string(SystemErrorText(seHostNotFound)) + "; check the IP field";
    if (event == eeSend || event == eeReceive)
        return std::string("the connection failed while ") + (event == eeSend ? "sending: " : "receiving: ") +
               std::strerror(code);
    // Only the network's kinds: the device-side words (permission, in use) would mislead here.
    const TSystemError kind = ClassifySystemError(code);
    switch (kind) {
    case seRefused:
    case seTimedOut:
    case seUnreachable:
        return SystemErrorText(kind);
    default:
        return std::strerror(code);
    }
}

} // namespace

void TForm1::Comm1RxChar(TObject*, unsigned long Count) {
    RxCount = static_cast<int32_t>(std::min<unsigned long>(Count, INT32_MAX));
    Timer2->SetInterval(ReadDeferralMs);
    Timer2->SetEnabled(true);
}

void TForm1::ClientSocket1Lookup(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Lookup !!"); }

void TForm1::ClientSocket1Connecting(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Connecting..."); }

void TForm1::ClientSocket1Connect(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Connected !"); }

void TForm1::ClientSocket1Disconnect(TObject*, TClientWinSocket*) { WriteLog("TCP/IP Disconnected"); }

// The error code is left as it came, so the client goes on to report its own
// error; the second line tells the user which peer failed and why.
void TForm1::ClientSocket1Error(TObject*, TClientWinSocket*, TErrorEvent& ErrorEvent, int& ErrorCode) {
    WriteLog("TCP/IP Error !!");
    WriteLog(ClientSocket1->Host().toStdString() + ":" + std::to_string(ClientSocket1->Port()) + ": " +
             SocketErrorReason(ErrorEvent, ErrorCode));
}

// Reads appended behind the bytes already held, so that several reads before
// the deferred read lose nothing; when the landing area is full the rest waits
// in the socket for the deferred read to make room.
void TForm1::ClientSocket1Read(TObject*, TClientWinSocket* Socket) {
    const int got = ReadSocketChunk(*Socket);
    RxCount = FSocketHeld > 0 ? FSocketHeld : got;
    Timer2->SetInterval(ReadDeferralMs);
    Timer2->SetEnabled(true);
}

int TForm1::ReadSocketChunk(TClientWinSocket& socket) {
    int got = 0;
    while (FSocketHeld < RxChunkLimit && socket.ReceiveLength() > 0) {
        got = socket.ReceiveBuf(RxBuffer.data() + FSocketHeld, std::min(SocketReadLimit, RxChunkLimit - FSocketHeld));
        if (got <= 0) break;
        FSocketHeld += got;
    }
    if (FSocketHeld == 0 && got == 0) got = socket.ReceiveBuf(RxBuffer.data(), SocketReadLimit);
    return got;
}

void TForm1::Timer2Timer(TObject*) {
    if (ShowCommEvent->isChecked()) WriteLog("Before Read : " + std::to_string(Comm1->InQueCount()));
    const bool serial = RadioButton1->isChecked();
    int32_t n = serial ? Comm1->Read(reinterpret_cast<char*>(RxBuffer.data()), std::clamp(RxCount, 0, RxChunkLimit))
                       : RxCount;
    FSocketHeld = 0;
    // While bytes stream in, one tick takes several landing areas' worth, so
    // that the 4 ms pause between ticks does not limit what a link can bring.
    int32_t taken = 0;
    while (n > 0) {
        TakeReceivedChunk(n);
        taken += n;
        if (taken >= TickByteBudget) break;
        if (serial) {
            // What has arrived, not only what the queue count shows: the terminal
            // layer queues 4 KB at a time, and the rest would wait for ticks of its own.
            n = std::max(Comm1->ReadArrived(reinterpret_cast<char*>(RxBuffer.data()), RxChunkLimit), 0);
        } else {
            // What the reads appended counts, whatever the last read said.
            if (ClientSocket1->Active()) ReadSocketChunk(*ClientSocket1->Socket());
            n = std::exchange(FSocketHeld, 0);
        }
    }
    Timer2->SetEnabled(false);
    // Bytes beyond what one tick takes are not left behind: a serial port announces
    // only new arrivals, and the socket raises no new read event for bytes it already holds.
    const bool more = serial ? Comm1->InQueCount() > 0
                             : ClientSocket1->Active() && ClientSocket1->Socket()->ReceiveLength() > 0;
    if (!more) return;
    if (serial)
        Comm1RxChar(Comm1.get(), static_cast<unsigned long>(Comm1->InQueCount()));
    else
        ClientSocket1Read(ClientSocket1.get(), ClientSocket1->Socket());
}

void TForm1::TakeReceivedChunk(int32_t n) {
    ReplySeen = 1;
    RxBuffer[n] = 0;
    if (ShowCommEvent->isChecked()) WriteLog("Received character bytes : " + std::to_string(n));
    RxByteCount += n;
    Timer3->SetEnabled(true);
    Timer3->SetInterval(ReplyJudgeDelayMs);
    GatherReplyBytes(ReplyBuffer.data(), ReplyCount, RxBuffer.data(), static_cast<size_t>(n));
    TReplyHexLines hex = ReplyHexLines(RxBuffer.data(), static_cast<size_t>(n), EchoKeptLines, ShownHexLineBytes);
    LogLength += static_cast<uint32_t>(3 * static_cast<size_t>(n) + 2 * hex.Count);
    EchoReceived(std::move(hex.Newest), hex.Count - hex.Newest.size());
    SetStatusSimpleText(QString::number(RxByteCount));
}

void TForm1::Timer3Timer(TObject*) {
    const TReplyVerdict verdict = JudgeReply(ReplyKind, RxByteCount, ReplyBuffer.data());
    if (verdict.Accepted) ReplyCount = 0;
    if (verdict.Line) WriteLog(*verdict.Line);
    RxByteCount = 0;
    Timer3->SetEnabled(false);
    SetStatusSimpleText(QString::number(RxByteCount));
}

void TForm1::Timer4Timer(TObject*) {
    if (ReplySeen == 0)
        WriteLog(ReplyErrorLine);
    else
        ReplySeen = 0;
    Timer4->SetEnabled(false);
}
