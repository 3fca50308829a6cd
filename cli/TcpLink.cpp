// The TCP link: a non-blocking client socket, waited on with poll beside an eventfd that
// an interrupt writes to.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "cli/LinkBackends.h"
#include "comm/TcpConnect.h"

namespace {

int MillisecondsUntil(TClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
}

class TTcpLink final : public TLink, TLinkWaker {
public:
    explicit TTcpLink(const TLinkSettings& settings)
        : FSpec(settings), FWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        RegisterLinkWaker(this);
    }
    ~TTcpLink() override {
        UnregisterLinkWaker(this);
        Close();
        if (FWakeFd >= 0) close(FWakeFd);
    }

    std::string Open() override {
        Used = false;
        Close();
        std::string error;
        const std::vector<TTcpAddress> addresses = ResolveTcpHost(FSpec.Host, FSpec.TcpPort, error);
        if (addresses.empty()) return error;
        std::string reason;
        for (const TTcpAddress& address : addresses) {
            reason = Connect(address);
            if (FFd >= 0) return "";
            if (LinksInterrupted()) break;
        }
        return Name() + ": " + reason;
    }

    void Close() override {
        if (FFd >= 0) close(FFd);
        FFd = -1;
    }
    bool IsOpen() const override { return FFd >= 0; }
    std::string Describe() const override { return Name(); }

    TSendResult Send(const uint8_t* data, size_t count, TClock::time_point deadline) override {
        TSendResult result;
        if (FFd < 0) {
            result.Status = TLinkWait::Lost;
            result.Reason = FLostReason.empty() ? Name() + " is not connected" : FLostReason;
            return result;
        }
        while (result.Sent < count) {
            if (LinksInterrupted()) {
                result.Status = TLinkWait::Interrupted;
                result.Reason = "interrupted while sending";
                return result;
            }
            const ssize_t n = send(FFd, data + result.Sent, count - result.Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                result.Sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The peer reads nothing: wait for room, the deadline or an interrupt.
                if (TClock::now() >= deadline) {
                    result.Status = TLinkWait::Deadline;
                    result.Reason = Name() + " took no more bytes within the send time-out (the peer does not read)";
                    return result;
                }
                pollfd p[2] = {{FFd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
                poll(p, 2, MillisecondsUntil(deadline));
                continue;
            }
            FLostReason = Name() + ": sending failed (" + std::strerror(errno) + ")";
            Close();
            result.Status = TLinkWait::Lost;
            result.Reason = FLostReason;
            return result;
        }
        return result;
    }

    // A TCP socket keeps no queue that could be dropped without reading it; what waits is
    // read and counted by the exchange.
    size_t PurgeInput() override { return 0; }

    TLinkWait Receive(std::vector<uint8_t>& bytes, TClock::time_point deadline) override {
        for (;;) {
            if (LinksInterrupted()) return TLinkWait::Interrupted;
            if (FFd < 0) return TLinkWait::Lost;
            pollfd p[2] = {{FFd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
            const int ready = poll(p, 2, MillisecondsUntil(deadline));
            if (ready < 0 && errno != EINTR) {
                FLostReason = Name() + ": waiting failed (" + std::strerror(errno) + ")";
                Close();
                return TLinkWait::Lost;
            }
            if (LinksInterrupted()) return TLinkWait::Interrupted;
            if (ready > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::array<uint8_t, 16 * 1024> buffer;
                const ssize_t n = recv(FFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n > 0) {
                    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
                    return TLinkWait::Data;
                }
                if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                FLostReason = n == 0 ? Name() + " closed the connection"
                                     : Name() + ": connection lost (" + std::strerror(errno) + ")";
                Close();
                return TLinkWait::Lost;
            }
            if (TClock::now() >= deadline) return TLinkWait::Deadline;
        }
    }

    std::string LostReason() const override { return FLostReason.empty() ? Name() + " is not connected" : FLostReason; }

    void Wake() override {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(FWakeFd, &one, sizeof one);
    }

private:
    std::string Name() const { return FSpec.Name(); }

    // Connects within TcpConnectTimeoutMs; on success FFd is the socket.
    std::string Connect(const TTcpAddress& address) {
        int error = 0;
        const int fd = StartTcpConnect(address, error);
        if (fd < 0) return ConnectFailureReason(error, FSpec.TcpPort);
        if (error == EINPROGRESS) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
            const int ready = poll(p, 2, TcpConnectTimeoutMs);
            if (ready <= 0 || LinksInterrupted()) {
                close(fd);
                return LinksInterrupted() ? "interrupted while connecting" : ConnectFailureReason(ETIMEDOUT, FSpec.TcpPort);
            }
            error = FinishTcpConnect(fd);
        }
        if (error != 0) {
            close(fd);
            return ConnectFailureReason(error, FSpec.TcpPort);
        }
        FFd = fd;
        FLostReason.clear();
        return "";
    }

    TLinkSettings FSpec;
    int FFd = -1;
    int FWakeFd;
    std::string FLostReason;
};

} // namespace

std::unique_ptr<TLink> MakeTcpLink(const TLinkSettings& settings) {
    return std::make_unique<TTcpLink>(settings);
}
