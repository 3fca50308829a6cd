// What every link shares: the choice of its kind, and the interruption of every live
// link, so that one signal ends every wait of the process.

#include <atomic>
#include <mutex>
#include <set>

#include "cli/Link.h"
#include "cli/LinkBackends.h"

namespace {

std::mutex WakersLock;
std::set<TLinkWaker*>& Wakers() {
    static std::set<TLinkWaker*> wakers;
    return wakers;
}
std::atomic<bool> Interrupted{false};

} // namespace

void RegisterLinkWaker(TLinkWaker* waker) {
    std::lock_guard guard(WakersLock);
    Wakers().insert(waker);
}

void UnregisterLinkWaker(TLinkWaker* waker) {
    std::lock_guard guard(WakersLock);
    Wakers().erase(waker);
}

void InterruptAllLinks() {
    Interrupted = true;
    std::lock_guard guard(WakersLock);
    for (TLinkWaker* waker : Wakers())
        waker->Wake();
}

bool LinksInterrupted() {
    return Interrupted;
}

std::unique_ptr<TLink> MakeLink(const TLinkSettings& settings) {
    if (settings.Kind == TLinkSettings::TKind::Tcp) return MakeTcpLink(settings);
    return MakeSerialLink(settings);
}
