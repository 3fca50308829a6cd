#include "comm/TcpConnect.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A loopback socket bound to a free port; listening unless asked not to, so
// that a connect to it is refused while the port stays taken.
class TLoopbackPeer {
public:
    TLoopbackPeer(int family, bool listening) {
        FFd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage a{};
        socklen_t length;
        if (family == AF_INET6) {
            auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = in6addr_loopback;
            length = sizeof v6;
        } else {
            auto& v4 = reinterpret_cast<sockaddr_in&>(a);
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof v4;
        }
        if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            (listening && listen(FFd, 4) != 0) ||
            getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            return;
        FPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(a).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(a).sin_port);
    }
    ~TLoopbackPeer() {
        if (FFd >= 0) close(FFd);
    }
    // 0 when the socket could not be set up (no IPv6 on this machine).
    unsigned Port() const { return FPort; }
    int Fd() const { return FFd; }

private:
    int FFd = -1;
    unsigned FPort = 0;
};

// Starts a connect and waits, within the shared time-out, for its outcome;
// the socket (or -1) is left in fd for the caller to close.
int ConnectAndWait(const TTcpAddress& address, int& fd) {
    int error = 0;
    fd = StartTcpConnect(address, error);
    if (fd < 0 || error != EINPROGRESS) return error;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, TcpConnectTimeoutMs) != 1) return ETIMEDOUT;
    return FinishTcpConnect(fd);
}

uint16_t PortOf(const TTcpAddress& a) {
    return ntohs(a.Family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a.Address).sin6_port
                                      : reinterpret_cast<const sockaddr_in&>(a.Address).sin_port);
}

// Connects to the listener through host, and checks that the connection is the
// one the listener accepts and that the socket does not block nor leak into children.
void ExpectConnects(const std::string& host, const TLoopbackPeer& listener) {
    std::string error = "unchanged";
    const std::vector<TTcpAddress> addresses = ResolveTcpHost(host, listener.Port(), error);
    ASSERT_FALSE(addresses.empty()) << error;
    EXPECT_EQ(error, "");
    // A name may give addresses of both families; the listener takes only one.
    int fd = -1, outcome = -1;
    for (const TTcpAddress& a : addresses) {
        EXPECT_EQ(PortOf(a), listener.Port());
        EXPECT_EQ(a.Family, a.Address.ss_family);
        outcome = ConnectAndWait(a, fd);
        if (outcome == 0) break;
        if (fd >= 0) close(fd);
        fd = -1;
    }
    ASSERT_EQ(outcome, 0) << std::strerror(outcome);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

    sockaddr_storage ours{}, theirs{};
    socklen_t ourLength = sizeof ours, theirLength = sizeof theirs;
    const int accepted = accept(listener.Fd(), reinterpret_cast<sockaddr*>(&theirs), &theirLength);
    ASSERT_GE(accepted, 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ourLength), 0);
    EXPECT_EQ(ourLength, theirLength);
    EXPECT_EQ(std::memcmp(&ours, &theirs, ourLength), 0);
    close(accepted);
    close(fd);
}

} // namespace

TEST(TcpConnect, ConnectsToAListeningLoopbackSocket) {
    TLoopbackPeer listener(AF_INET, true);
    ASSERT_NE(listener.Port(), 0u);
    ExpectConnects("127.0.0.1", listener);
}

TEST(TcpConnect, ConnectsOverIPv6) {
    TLoopbackPeer listener(AF_INET6, true);
    if (listener.Port() == 0) GTEST_SKIP() << "::1 is not available on this machine";
    ExpectConnects("::1", listener);
}

TEST(TcpConnect, ConnectsToLocalhostByName) {
    std::string error;
    if (ResolveTcpHost("localhost", 1, error).empty())
        GTEST_SKIP() << "localhost does not resolve here (no /etc/hosts?): " << error;
    TLoopbackPeer listener(AF_INET, true);
    ASSERT_NE(listener.Port(), 0u);
    ExpectConnects("localhost", listener);
}

TEST(TcpConnect, APortWhereNothingListensIsRefused) {
    TLoopbackPeer bound(AF_INET, false);
    ASSERT_NE(bound.Port(), 0u);
    std::string error;
    const std::vector<TTcpAddress> addresses = ResolveTcpHost("127.0.0.1", bound.Port(), error);
    ASSERT_EQ(addresses.size(), 1u) << error;
    int fd = -1;
    EXPECT_EQ(ConnectAndWait(addresses[0], fd), ECONNREFUSED);
    if (fd >= 0) close(fd);
    EXPECT_EQ(ConnectFailureReason(ECONNREFUSED, bound.Port()),
              "connection refused: nothing listens on port " + std::to_string(bound.Port()) +
                  " there (is the device or the simulator running, and is the port right?)");
}

TEST(TcpConnect, ANameThatDoesNotResolveGivesNoAddressAndSaysSo) {
    std::string error;
    EXPECT_TRUE(ResolveTcpHost("kaldora-no-such-host.invalid", 4660, error).empty());
    EXPECT_EQ(error, "host 'kaldora-no-such-host.invalid' not found: the name does not resolve (check its "
                     "spelling, or give the address)");
    EXPECT_TRUE(ResolveTcpHost("127.0.0.1", 65536, error).empty());
    EXPECT_EQ(error, "port 65536 is not a TCP port (0 to 65535)");
}

// Literals resolve without a lookup, so a name gives nothing there, however it resolves.
TEST(TcpConnect, OnlyAddressLiteralsResolveWithoutALookup) {
    struct Row {
        const char* host;
        unsigned port;
        int family; // 0: no address
    } rows[] = {
        {"127.0.0.1", 4660, AF_INET}, {"::1", 4660, AF_INET6},
        {"localhost", 4660, 0},       {"kaldora-no-such-host.invalid", 4660, 0},
        {"127.0.0.1", 70000, 0},
    };
    for (const Row& r : rows) {
        const std::vector<TTcpAddress> addresses = ResolveTcpAddressLiteral(r.host, r.port);
        if (r.family == 0) {
            EXPECT_TRUE(addresses.empty()) << r.host << ":" << r.port;
            continue;
        }
        ASSERT_EQ(addresses.size(), 1u) << r.host;
        EXPECT_EQ(addresses[0].Family, r.family) << r.host;
        EXPECT_EQ(PortOf(addresses[0]), r.port) << r.host;
    }
}

TEST(ConnectFailureReason, SaysWhatToCheck) {
    struct Row {
        int error;
        std::string text;
    } rows[] = {
        {EHOSTUNREACH, "host unreachable (No route to host): check the address and the network"},
        {ENETUNREACH, "host unreachable (Network is unreachable): check the address and the network"},
        {ETIMEDOUT, "no answer (connection timed out): check the address and that the host is on"},
        {EACCES, "cannot connect (Permission denied)"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ConnectFailureReason(r.error, 4660), r.text) << r.error;
}
