#pragma once
// Resolving a TCP peer and connecting to it without blocking, shared by the
// window's client socket and the command line's TCP link. Each caller waits
// for the connect in its own way (a socket notifier, poll); these functions
// only start it, tell its outcome and put a failure in words. Any thread.

#include <sys/socket.h>

#include <string>
#include <vector>

// One connect time-out for the window and the command line: an address that
// does not answer within it is given up.
inline constexpr int TcpConnectTimeoutMs = 10000;

struct TTcpAddress {
    sockaddr_storage Address{};
    socklen_t Length = 0;
    int Family = 0; // AF_INET or AF_INET6
};

// Resolves host (a name, a dotted IPv4 or an IPv6 address) and port, in the
// resolver's order; blocks while a name is looked up. On failure the result is
// empty and error is the reason in words naming the host:
// "host 'x' not found: the name does not resolve (check its spelling, or give the address)",
// "host 'x' could not be looked up now: no name server answered",
// "host 'x' could not be looked up: <the resolver's text>".
// A port above 65535 gives "port <n> is not a TCP port (0 to 65535)".
std::vector<TTcpAddress> ResolveTcpHost(const std::string& host, unsigned port, std::string& error);

// The address of host when it is an address literal, without any lookup (so
// it never blocks); empty for a name or a port above 65535.
std::vector<TTcpAddress> ResolveTcpAddressLiteral(const std::string& host, unsigned port);

// Starts a non-blocking connect on a new socket (SOCK_NONBLOCK | SOCK_CLOEXEC).
// Returns the socket, or -1 with errorNumber set (the socket is then closed);
// errorNumber is 0 when connected at once, EINPROGRESS while it goes on (the
// socket turns writable when it ends; FinishTcpConnect tells how).
int StartTcpConnect(const TTcpAddress& address, int& errorNumber);

// The outcome of a connect that was in progress (SO_ERROR): 0 when connected,
// else the error number. Does not close fd.
int FinishTcpConnect(int fd);

// The reason in words for a failed connect to port, e.g. "connection refused:
// nothing listens on port 4660 there (is the device or the simulator running,
// and is the port right?)", "host unreachable (<strerror>): check the address
// and the network", "no answer (connection timed out): check the address and
// that the host is on", otherwise "cannot connect (<strerror>)".
std::string ConnectFailureReason(int errorNumber, unsigned port);
