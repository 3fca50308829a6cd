// The window's receive path under arbitrary chunk sizes and timings: one window on the
// offscreen platform, its serial port on a scripted driver whose input queue the input
// fills, its timers on a virtual clock. Each input is a sequence of steps (a command or
// a new awaited answer, a pause, a chunk of bytes with the port's receive event); the
// four timers' handlers are watched from outside and held to an independent model of
// the reply gathering, the judgement, the time-out and the log's counted length.

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeSerialDriver.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/Reply.h"
#include "toolkit/ExceptionReport.h"
#include "window/Serial_main.h"

namespace {

constexpr size_t LandingBytes = 4999; // RxBuffer less its closing zero byte
constexpr unsigned ReadDelayMs = 4;
constexpr size_t TickBytes = 64 * 1024; // what one deferred read takes at least, when queued
constexpr uint32_t AutoClearAbove = 30000;
constexpr int MaxSteps = 48;
constexpr size_t MaxChunkPiece = 1024;
constexpr size_t MaxBytesPerInput = 96 * 1024;

// The fake driver with a live input queue: the port's queue count is what Read has
// not taken yet; every read that takes bytes is recorded.
class TQueueDriver : public TFakeSerialDriver {
public:
    std::vector<std::string> Taken;

    TSerialResult ClearCommError(TSerialHandle handle, unsigned long& errors, TComStat& stat) override {
        Stat.cbInQue = static_cast<decltype(Stat.cbInQue)>(InData.size());
        return TFakeSerialDriver::ClearCommError(handle, errors, stat);
    }
    TSerialResult Read(TSerialHandle handle, char* buffer, unsigned long count,
                       unsigned long& done) override {
        const TSerialResult r = TFakeSerialDriver::Read(handle, buffer, count, done);
        if (done > 0) Taken.emplace_back(buffer, done);
        return r;
    }
};

// The log lines written since Mark(): the last block is tagged, later blocks are new.
// A log cleared in between has lost the tag; then every block is new.
class TLogWatch {
public:
    explicit TLogWatch(QPlainTextEdit* memo) : FMemo(memo) {}
    void Mark() { FMemo->document()->lastBlock().setUserState(++FTag); }
    QStringList Added() const {
        QStringList lines;
        if (FMemo->document()->isEmpty()) return lines;
        for (QTextBlock b = FMemo->document()->lastBlock(); b.isValid() && b.userState() != FTag;
             b = b.previous())
            lines.prepend(b.text());
        return lines;
    }

private:
    QPlainTextEdit* FMemo;
    int FTag = 0;
};

// Line breaks as the log makes them, so that a line with control characters compares.
QString Flattened(QString text) {
    for (QChar& c : text)
        if (c == '\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) c = '\n';
    return text;
}

// The hexadecimal echo of received bytes (" 4F 4B", " ... 3 more lines received, not shown").
bool IsEchoLine(const QString& line) {
    return line.startsWith(' ');
}

// What the window must write at a result check or a time-out: nothing but echo lines,
// or echo lines followed by exactly `line`.
void CheckAdded(const QStringList& added, const std::optional<std::string>& line) {
    if (!line) {
        for (const QString& l : added)
            FUZZ_CHECK(IsEchoLine(l));
        return;
    }
    const QString all = Flattened(added.join('\n'));
    const QString want = Flattened(QString::fromStdString(*line));
    FUZZ_CHECK(all.endsWith(want));
    const QString before = all.left(all.size() - want.size());
    if (before.isEmpty()) return;
    FUZZ_CHECK(before.endsWith('\n'));
    for (const QString& l : before.chopped(1).split('\n'))
        FUZZ_CHECK(IsEchoLine(l));
}

// The receive path as the product describes it, kept beside the window.
struct TModel {
    std::array<uint8_t, ReplyBufferBytes> Reply{}; // the gathered bytes, stale ones included
    size_t ReplyCount = 0;
    int32_t SinceCheck = 0; // bytes read since the last result check
    uint64_t FirstReadAt = 0;
    bool Seen = false; // a byte arrived since the last time-out check
    uint64_t TimeoutArmedAt = 0;
    uint64_t Queued = 0, Read = 0;
    uint32_t LogLength = 0;

    void Gather(const uint8_t* bytes, size_t n) {
        std::vector<uint8_t> all(Reply.begin(), Reply.begin() + ReplyCount);
        all.insert(all.end(), bytes, bytes + n);
        const size_t keep = std::min(all.size(), ReplyBufferBytes);
        std::copy(all.end() - keep, all.end(), Reply.begin());
        ReplyCount = keep;
    }
    // The line a result check writes: an answer is 13, 15 or 20 bytes long.
    std::optional<std::string> Judgement(uint8_t kind) const {
        if (SinceCheck != 13 && SinceCheck != 15 && SinceCheck != 20) return std::nullopt;
        if (kind == 0) return "SetID_OK";
        if (kind == 1) return "SetSerial_number_OK";
        if (kind != 2) return std::nullopt;
        std::string eln;
        for (size_t k = 10; k < 17 && Reply[k] != 0; ++k)
            eln += static_cast<char>(Reply[k]);
        if (eln.empty()) return std::nullopt;
        return eln;
    }
};

// The log's counted length for a chunk: 3 characters a byte plus 2 a line, where 0x24
// and 0x42 begin a new line unless it is the chunk's first byte.
uint32_t CountedLength(const uint8_t* bytes, size_t n) {
    if (n == 0) return 0;
    size_t lines = 1;
    for (size_t k = 1; k < n; ++k)
        lines += bytes[k] == 0x24 || bytes[k] == 0x42;
    return static_cast<uint32_t>(3 * n + 2 * lines);
}

struct THarness {
    TVirtualTimerEngine Clock;
    std::shared_ptr<TQueueDriver> Driver = std::make_shared<TQueueDriver>();
    std::unique_ptr<TForm1> Form;
    std::unique_ptr<TLogWatch> Log;
    TModel Model;

    void MakeForm() {
        Log.reset();
        Form.reset();
        TFormEnvironment env;
        env.PortLister = [] { return std::vector<std::string>{"/dev/ttyFUZZ0"}; };
        env.SerialDriver = Driver;
        env.TimerEngine = &Clock;
        Form = std::make_unique<TForm1>(env);
        Log = std::make_unique<TLogWatch>(Form->Memo1);
        Form->CB_TimeRecord->setChecked(false);
        Form->RadioButton3->click(); // a model, so that every command builds a frame
        Form->BB_PortSwitch->click();
        FUZZ_CHECK(Form->Comm1->Enabled());
        Watch(*Form->Timer2, [this](auto tick) { OnRead(tick); });
        Watch(*Form->Timer3, [this](auto tick) { OnCheck(tick); });
        Watch(*Form->Timer4, [this](auto tick) { OnTimeout(tick); });
    }

    // Wraps a timer's handler so that `around` sees it run.
    template <typename TAround> void Watch(TTimer& timer, TAround around) {
        auto handler = timer.OnTimer;
        timer.OnTimer = [handler, around](TObject* sender) { around([&] { handler(sender); }); };
    }

    // A window at rest (see Tidy) gets the state of a fresh one and the input's options.
    void Reset(uint8_t options) {
        TForm1& f = *Form;
        f.ReplyKind = 0;
        f.RxCount = 0;
        f.RxBuffer.fill(0);
        f.ReplyBuffer.fill(0);
        f.ReplyCount = 0;
        f.RxByteCount = 0;
        f.ReplySeen = 0;
        f.LogLength = (options & 4) ? AutoClearAbove - 600 : 0; // near the automatic clear
        f.AutoClear->setChecked(options & 1);
        f.ShowCommEvent->setChecked(options & 2);
        Model = {};
        Model.LogLength = f.LogLength;
    }

    // Leaves the window at rest with a one-line log, as every input found it: what one
    // input allocates is freed before the next, so libFuzzer's leak check stays rare.
    void Tidy() {
        TForm1& f = *Form;
        f.Timer2->SetEnabled(false);
        f.Timer3->SetEnabled(false);
        f.Timer4->SetEnabled(false);
        Clock.Advance(1000); // the echo's own timer writes what is pending and stops
        f.Memo1->clear();
        f.WriteLog("-"); // a log with a line to mark
        Driver->InData.clear();
        Driver->OutData.clear();
        Driver->Taken.clear();
        // What the event loop would deliver by now (layout and update requests of the
        // log and the status bar); left undelivered, they pile up input after input.
        QCoreApplication::sendPostedEvents();
    }

    // The only change of LogLength outside a read: the automatic clear of a full log.
    void CheckLogLength() {
        if (Form->LogLength == Model.LogLength) return;
        FUZZ_CHECK(Form->LogLength == 0 && Model.LogLength > AutoClearAbove && Form->AutoClear->isChecked());
        Model.LogLength = 0;
    }

    void CheckState() {
        TForm1& f = *Form;
        CheckLogLength();
        FUZZ_CHECK(f.ReplyCount >= 0 && f.ReplyCount <= static_cast<int32_t>(ReplyBufferBytes));
        FUZZ_CHECK(static_cast<size_t>(f.ReplyCount) == Model.ReplyCount);
        FUZZ_CHECK(f.RxByteCount == Model.SinceCheck);
        FUZZ_CHECK((f.ReplySeen != 0) == Model.Seen);
        FUZZ_CHECK(Model.Read + Driver->InData.size() == Model.Queued);
        FUZZ_CHECK(f.Timer3->Enabled() == (Model.SinceCheck > 0));
    }

    // One deferred read: it may take several landing areas from the queue, each one
    // gathered, counted and echoed on its own.
    template <typename TTick> void OnRead(TTick tick) {
        TForm1& f = *Form;
        CheckState();
        // What one read can take at most: the head of the queue is enough to compare.
        const size_t queuedBytes = Driver->InData.size();
        const std::string queued = Driver->InData.substr(0, TickBytes + LandingBytes);
        const size_t first = std::min<size_t>(queuedBytes, std::clamp<int32_t>(f.RxCount, 0, LandingBytes));
        const bool checkPending = f.Timer3->Enabled();
        const bool autoClear = f.AutoClear->isChecked();
        Driver->Taken.clear();
        tick();
        const std::vector<std::string>& taken = Driver->Taken;
        // The first read takes what the event announced, as far as the queue holds it.
        FUZZ_CHECK(taken.empty() ? first == 0 : taken[0].size() == first);
        // Every byte taken is the oldest one queued, whole and in order.
        size_t total = 0;
        for (const std::string& chunk : taken) {
            FUZZ_CHECK(chunk.size() <= LandingBytes);
            FUZZ_CHECK(queued.compare(total, chunk.size(), chunk) == 0);
            total += chunk.size();
        }
        FUZZ_CHECK(Driver->InData.size() == queuedBytes - total);
        Model.Read += total;
        if (!taken.empty()) {
            if (!checkPending) Model.FirstReadAt = Clock.Now();
            // The log's counted length: each chunk adds its lines; a full log may be
            // cleared before or after any of them.
            std::vector<uint32_t> lengths = {Model.LogLength};
            const auto addCleared = [&] {
                const size_t count = lengths.size();
                for (size_t k = 0; k < count; ++k)
                    if (autoClear && lengths[k] > AutoClearAbove) lengths.push_back(0);
            };
            for (const std::string& chunk : taken) {
                const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
                Model.SinceCheck += static_cast<int32_t>(chunk.size());
                Model.Gather(bytes, chunk.size());
                addCleared();
                const uint32_t added = CountedLength(bytes, chunk.size());
                for (uint32_t& l : lengths)
                    l += added;
                addCleared();
            }
            Model.Seen = true;
            FUZZ_CHECK(std::find(lengths.begin(), lengths.end(), f.LogLength) != lengths.end());
            Model.LogLength = f.LogLength;
            FUZZ_CHECK(std::memcmp(f.ReplyBuffer.data(), Model.Reply.data(), Model.ReplyCount) == 0);
            const std::string& last = taken.back();
            FUZZ_CHECK(std::memcmp(f.RxBuffer.data(), last.data(), last.size()) == 0 &&
                       f.RxBuffer[last.size()] == 0);
            FUZZ_CHECK(f.StatusSimpleText() == QString::number(Model.SinceCheck));
        }
        // Another read is due exactly when bytes are left in the queue.
        FUZZ_CHECK(f.Timer2->Enabled() == !Driver->InData.empty());
        CheckState();
    }

    template <typename TTick> void OnCheck(TTick tick) {
        TForm1& f = *Form;
        CheckState();
        FUZZ_CHECK(Model.SinceCheck > 0);
        FUZZ_CHECK(Clock.Now() == Model.FirstReadAt + ReplyJudgeDelayMs);
        const std::optional<std::string> line = Model.Judgement(f.ReplyKind);
        const TReplyVerdict verdict = JudgeReply(f.ReplyKind, f.RxByteCount, f.ReplyBuffer.data());
        FUZZ_CHECK(verdict.Line == line);
        Log->Mark();
        tick();
        CheckAdded(Log->Added(), line);
        if (verdict.Accepted) Model.ReplyCount = 0;
        Model.SinceCheck = 0;
        FUZZ_CHECK(f.StatusSimpleText() == "0");
        FUZZ_CHECK(!f.Timer3->Enabled());
        CheckState();
    }

    template <typename TTick> void OnTimeout(TTick tick) {
        CheckState();
        FUZZ_CHECK(Clock.Now() == Model.TimeoutArmedAt + ReplyTimeoutMs);
        const bool seen = Model.Seen;
        Log->Mark();
        tick();
        CheckAdded(Log->Added(), seen ? std::nullopt : std::optional<std::string>(ReplyErrorLine));
        Model.Seen = false;
        FUZZ_CHECK(!Form->Timer4->Enabled());
        CheckState();
    }

    // The time until the queue is surely read empty: a deferred read takes what is
    // queued, up to TickBytes; the rest waits for the next one.
    static uint64_t DrainMs(size_t queued) {
        return ReadDelayMs * std::max<uint64_t>(1, (queued + TickBytes - 1) / TickBytes);
    }

    void Advance(uint64_t ms) {
        const size_t queued = Driver->InData.size();
        Clock.Advance(ms);
        CheckState();
        if (ms >= DrainMs(queued)) {
            FUZZ_CHECK(Driver->InData.empty());
            FUZZ_CHECK(!Form->Timer2->Enabled());
        }
    }

    void Command(FuzzedDataProvider& fdp) {
        TForm1& f = *Form;
        const bool timeoutArmed = f.Timer4->Enabled();
        switch (fdp.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return;
        case 1:
            f.BitBtn1->click();
            FUZZ_CHECK(f.ReplyKind == ReplyKindSetId);
            break;
        case 2:
            f.Button2->click();
            FUZZ_CHECK(f.ReplyKind == ReplyKindSetEln);
            break;
        case 3:
            f.Button3->click();
            FUZZ_CHECK(f.ReplyKind == ReplyKindReadEln);
            break;
        default:
            f.ReplyKind = fdp.ConsumeIntegralInRange<uint8_t>(0, 3);
            return;
        }
        // A command arms the time-out unless it is running already.
        FUZZ_CHECK(f.Timer4->Enabled());
        if (!timeoutArmed) Model.TimeoutArmedAt = Clock.Now();
        CheckState();
    }

    void Chunk(FuzzedDataProvider& fdp) {
        const std::string piece = fdp.ConsumeRandomLengthString(MaxChunkPiece);
        // Mostly the piece once; now and then up to 128 copies of it, so that a short
        // input still reaches a tick's 64 KiB. Floods are worth a few ticks, not the
        // time of many inputs.
        const uint8_t repeat = fdp.ConsumeIntegral<uint8_t>();
        size_t copies = repeat < 192 ? 1 : 2 * (repeat - 191);
        while (copies > 0 && Model.Queued + piece.size() * copies > MaxBytesPerInput)
            --copies;
        // The port's event names the queue as it stood, or as a late or merged event would.
        // The event thread announces only a queue that holds bytes.
        const bool lateCount = fdp.ConsumeIntegralInRange<int>(0, 7) == 0;
        const unsigned long lateValue = fdp.ConsumeIntegralInRange<unsigned long>(1, 3 * LandingBytes);
        for (size_t k = 0; k < copies; ++k)
            Driver->InData += piece;
        Model.Queued += piece.size() * copies;
        Form->Comm1RxChar(Form->Comm1.get(), lateCount ? lateValue : Driver->InData.size());
        FUZZ_CHECK(Form->Timer2->Enabled() && Form->Timer2->Interval() == ReadDelayMs);
        CheckState();
    }
};

THarness* Harness = nullptr;

[[noreturn]] void Unexpected(const char* what, const std::string& text) {
    std::fprintf(stderr, "unexpected %s: %s\n", what, text.c_str());
    std::abort();
}

} // namespace

// Qt's font lookup keeps some fontconfig memory for good; that is not the receive path's.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The application and the window live to the end of the process: taken down at
    // exit, Qt's font and style caches would go before them and count as leaks.
    new QApplication(*argc, *argv);
    // Nothing in the receive path may raise an exception or ask the user anything.
    SetExceptionReporter([](const std::string& m) { Unexpected("exception", m); });
    SetMessageBoxShower([](const std::string& text, const std::string&) { Unexpected("message box", text); });
    Harness = new THarness;
    Harness->MakeForm();
    Harness->Tidy();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    THarness& h = *Harness;
    // KALDORA_FUZZ_NEW_FORM=1: a new window for every input instead of a reset one.
    static const bool newForm = qEnvironmentVariableIntValue("KALDORA_FUZZ_NEW_FORM") == 1;
    if (newForm) {
        h.MakeForm();
        h.Tidy();
    }
    FuzzedDataProvider fdp(data, size);
    h.Reset(fdp.ConsumeIntegral<uint8_t>());
    for (int step = 0; step < MaxSteps && fdp.remaining_bytes() > 0; ++step) {
        h.Command(fdp);
        h.Advance(fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<uint64_t>(0, 2 * ReadDelayMs)
                                    : fdp.ConsumeIntegralInRange<uint64_t>(0, 5000));
        h.Chunk(fdp);
    }
    // Long enough for every read, result check and time-out still due.
    h.Advance(ReplyTimeoutMs + ReplyJudgeDelayMs);
    FUZZ_CHECK(h.Driver->InData.empty() && h.Model.Read == h.Model.Queued);
    FUZZ_CHECK(!h.Form->Timer2->Enabled() && !h.Form->Timer3->Enabled() && !h.Form->Timer4->Enabled());
    h.Tidy();
    return 0;
}
