// The serial link: a port opened through the serial component, whose line events are
// handed to the thread that waits in the link.

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "base/Exception.h"
#include "cli/Link.h"
#include "cli/LinkBackends.h"
#include "comm/LineSettings.h"
#include "comm/SerialPorts.h"

namespace {

std::string PortsPresentText() {
    const std::vector<std::string> ports = ListSerialPorts();
    if (ports.empty()) return "no serial ports are present on this machine";
    std::string text = "ports present:";
    for (size_t k = 0; k < ports.size(); ++k)
        text += (k ? ", COM" : " COM") + std::to_string(k + 1) + " " + ports[k];
    return text;
}

// Hands the event thread's calls to the thread that waits in the link, in place of the
// window's message loop.
class TLinkPoster : public TMainThreadPoster {
public:
    void Post(std::function<void()> fn) override {
        {
            std::lock_guard guard(FMutex);
            FQueue.push_back(std::move(fn));
        }
        FReady.notify_one();
    }
    void Wake() {
        { std::lock_guard guard(FMutex); }
        FReady.notify_all();
    }
    // Runs the queued calls; waits for one until deadline or a wake-up when none.
    void RunUntil(TClock::time_point deadline) {
        std::unique_lock lock(FMutex);
        FReady.wait_until(lock, deadline, [&] { return !FQueue.empty() || LinksInterrupted(); });
        std::deque<std::function<void()>> calls;
        calls.swap(FQueue);
        lock.unlock();
        for (auto& call : calls) {
            try {
                call();
            } catch (const Exception&) {
                // A handler's failure is the component's; the wait goes on.
            }
        }
    }

private:
    std::mutex FMutex;
    std::condition_variable FReady;
    std::deque<std::function<void()>> FQueue;
};

class TSerialLink final : public TLink, TLinkWaker {
public:
    explicit TSerialLink(const TLinkSettings& settings) : FSpec(settings), FComm(nullptr, &FPoster) {
        // The window's settings of Comm1.
        FComm.SetMonitorEvents({evError, evRlsd, evRxChar, evRxFlag, evTxEmpty});
        FComm.SetFlowControl(fcNone);
        FComm.OnRxChar = [this](TObject*, unsigned long count) {
            // What the queue holds beyond the bound stays in the driver until the pending
            // bytes have been taken, so no peer makes this grow without bound.
            if (FPending.size() >= ReceiveChunkBytes) return;
            std::vector<char> buffer(std::clamp<unsigned long>(count, 1, ReceiveChunkBytes));
            const int n = FComm.Read(buffer.data(), static_cast<unsigned long>(buffer.size()));
            if (n > 0) FPending.insert(FPending.end(), buffer.begin(), buffer.begin() + n);
        };
        FComm.OnDeviceLost = [this](TObject*) { FLost = true; };
        RegisterLinkWaker(this);
    }
    ~TSerialLink() override {
        UnregisterLinkWaker(this);
        Close();
    }

    std::string Open() override {
        Used = false;
        const int com = ComNumber(FSpec.Port);
        FPath = ResolveDeviceName(FSpec.Port, ListSerialPorts());
        if (FPath.empty()) {
            if (com) return FSpec.Port + ": no such port; " + PortsPresentText();
            return FSpec.Port + ": not a port name (give COMn or a device path)";
        }
        FComm.SetDeviceName(FSpec.Port);
        const TLineBaud* rate = BaudStepOf(FSpec.Baud);
        FComm.SetBaudRate(rate ? rate->Value : br19200);
        FComm.SetParity(ComponentParity(FSpec.LineParity));
        try {
            FComm.Open();
        } catch (const Exception& e) {
            FComm.Close();
            return Describe() + ": the port opened but refused its settings (" + e.Message() + ")";
        }
        if (!FComm.Enabled()) {
            std::string reason = OpenFailureReason(NameWithPath(), FComm.OpenError());
            if (FComm.OpenError() == ENOENT || FComm.OpenError() == ENODEV || FComm.OpenError() == ENXIO)
                reason += "; " + PortsPresentText();
            return reason;
        }
        try {
            FComm.SetRTSState(true);
            FComm.SetDTRState(true);
        } catch (const Exception& e) {
            FComm.Close();
            return NameWithPath() + ": could not raise RTS and DTR (" + e.Message() + ")";
        }
        FLost = false;
        return "";
    }

    void Close() override { FComm.Close(); }
    bool IsOpen() const override { return FComm.Enabled(); }

    std::string Describe() const override {
        return NameWithPath() + " at " + std::to_string(FSpec.Baud) + " baud, parity " +
               ParityName(FSpec.LineParity);
    }

    // The component's write waits for the line within its write time-outs, which grow
    // with the count; written a piece at a time, a send that the line does not take ends
    // on an interrupt or at the deadline between pieces. A frame is one piece.
    TSendResult Send(const uint8_t* data, size_t count, TClock::time_point deadline) override {
        constexpr size_t Piece = 32;
        TSendResult result;
        while (result.Sent < count) {
            if (LinksInterrupted()) {
                result.Status = TLinkWait::Interrupted;
                result.Reason = result.Sent ? "interrupted while sending" : "interrupted before sending";
                return result;
            }
            if (TClock::now() >= deadline) {
                result.Status = TLinkWait::Deadline;
                result.Reason = NameWithPath() + " took " + std::to_string(result.Sent) + " of " +
                                std::to_string(count) + " bytes within the send time-out";
                return result;
            }
            const size_t piece = std::min(Piece, count - result.Sent);
            const int n = FComm.Write(reinterpret_cast<const char*>(data + result.Sent), static_cast<unsigned long>(piece));
            if (n > 0) result.Sent += static_cast<size_t>(n);
            if (n < 0) {
                result.Status = TLinkWait::Lost;
                result.Reason = FLost ? LostReason() : NameWithPath() + " is not open";
                return result;
            }
            // A line that took less within the piece's write time-out is tried again (the
            // time-out is the wait) until the deadline.
            if (static_cast<size_t>(n) < piece && FLost) {
                result.Status = TLinkWait::Lost;
                result.Reason = LostReason();
                return result;
            }
        }
        return result;
    }

    size_t PurgeInput() override {
        // Run what the event thread has handed over, so that its bytes are counted too.
        FPoster.RunUntil(TClock::now());
        size_t dropped = FPending.size();
        FPending.clear();
        if (FComm.Enabled()) {
            try {
                dropped += static_cast<size_t>(std::max(FComm.InQueCount(), 0));
                FComm.PurgeIn();
            } catch (const Exception&) {
                // A port that refuses the purge still has its bytes drained by the reads.
            }
        }
        return dropped;
    }

    TLinkWait Receive(std::vector<uint8_t>& bytes, TClock::time_point deadline) override {
        for (;;) {
            if (!FPending.empty()) {
                bytes.insert(bytes.end(), FPending.begin(), FPending.end());
                FPending.clear();
                return TLinkWait::Data;
            }
            if (LinksInterrupted()) return TLinkWait::Interrupted;
            if (FLost || !FComm.Enabled()) return TLinkWait::Lost;
            if (TClock::now() >= deadline) return TLinkWait::Deadline;
            FPoster.RunUntil(deadline);
        }
    }

    std::string LostReason() const override {
        if (!FLost) return NameWithPath() + " is closed";
        return NameWithPath() + ": the device is gone (adapter unplugged?): " + std::strerror(FComm.DeviceLostError());
    }

    void Wake() override { FPoster.Wake(); }

private:
    std::string NameWithPath() const {
        if (FPath.empty() || FPath == FSpec.Port) return FSpec.Port;
        return FSpec.Port + " (" + FPath + ")";
    }

    TLinkSettings FSpec;
    std::string FPath;
    TLinkPoster FPoster; // before FComm: the component's event thread posts to it
    TComm FComm;
    std::vector<uint8_t> FPending;
    bool FLost = false;
};

} // namespace

std::unique_ptr<TLink> MakeSerialLink(const TLinkSettings& settings) {
    return std::make_unique<TSerialLink>(settings);
}
