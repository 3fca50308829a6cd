#include "comm/TcpConnect.h"

#include "comm/SystemError.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned MaxTcpPort = 65535;

// lookupError is getaddrinfo's result, systemError errno as it left it.
std::vector<TTcpAddress> Resolve(const std::string& host, unsigned port, int flags, int& lookupError,
                                 int& systemError) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* found = nullptr;
    std::vector<TTcpAddress> addresses;
    lookupError = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    systemError = errno;
    if (lookupError != 0) return addresses;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TTcpAddress address;
        std::memcpy(&address.Address, a->ai_addr, a->ai_addrlen);
        address.Length = a->ai_addrlen;
        address.Family = a->ai_family;
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    return addresses;
}

} // namespace

std::vector<TTcpAddress> ResolveTcpHost(const std::string& host, unsigned port, std::string& error) {
    error.clear();
    if (port > MaxTcpPort) {
        error = "port " + std::to_string(port) + " is not a TCP port (0 to 65535)";
        return {};
    }
    int lookup = 0, systemError = 0;
    std::vector<TTcpAddress> addresses = Resolve(host, port, 0, lookup, systemError);
    const std::string name = "host '" + host + "'";
    if (lookup == EAI_AGAIN)
        error = name + " could not be looked up now: no name server answered";
    else if (lookup == EAI_SYSTEM) // whose own text is only "System error"
        error = name + " could not be looked up: " + std::strerror(systemError);
    else if (lookup != 0 && lookup != EAI_NONAME && lookup != EAI_NODATA && lookup != EAI_ADDRFAMILY)
        error = name + " could not be looked up: " + gai_strerror(lookup);
    else if (addresses.empty()) // a name with neither an IPv4 nor an IPv6 address counts as none
        error = name + " not found: the name does not resolve (check its spelling, or give the address)";
    return addresses;
}

std::vector<TTcpAddress> ResolveTcpAddressLiteral(const std::string& host, unsigned port) {
    if (port > MaxTcpPort) return {};
    int lookup = 0, systemError = 0;
    return Resolve(host, port, AI_NUMERICHOST, lookup, systemError);
}

int StartTcpConnect(const TTcpAddress& address, int& errorNumber) {
    const int fd = socket(address.Family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        errorNumber = errno;
        return -1;
    }
    errorNumber = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address.Address), address.Length) == 0) return fd;
    // An interrupted non-blocking connect goes on in the background, as one in progress does.
    if (errno == EINPROGRESS || errno == EINTR) {
        errorNumber = EINPROGRESS;
        return fd;
    }
    errorNumber = errno;
    close(fd);
    return -1;
}

int FinishTcpConnect(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return errno;
    return error;
}

std::string ConnectFailureReason(int errorNumber, unsigned port) {
    switch (ClassifySystemError(errorNumber)) {
    case seRefused:
        return "connection refused: nothing listens on port " + std::to_string(port) +
               " there (is the device or the simulator running, and is the port right?)";
    case seUnreachable:
        return std::string("host unreachable (") + std::strerror(errorNumber) +
               "): check the address and the network";
    case seTimedOut:
        return "no answer (connection timed out): check the address and that the host is on";
    default:
        return std::string("cannot connect (") + std::strerror(errorNumber) + ")";
    }
}
