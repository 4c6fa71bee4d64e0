// POSIX implementation of the socket API in socket.h: what differs from the
// other platform. What both share is in socket_common.cpp; the wait on
// several sockets (netSelect) and its waker are in select_posix.cpp.
#include "platform/network/socket_platform.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "platform/network/error_table.h"
#include "platform/network/posix/descriptor.h"

namespace {

std::atomic<int> gStartups{0};

// The code of the table's entry that names this errno value; a value no
// entry names keeps its own number, which has no text.
int wsaFromErrno(int e) {
#define NET_ERRNO_MATCH(code, text, ...) \
    for (int named : std::initializer_list<int>{__VA_ARGS__})  \
        if (named == e) return code;
    NET_ERROR_TABLE(NET_ERRNO_MATCH)
#undef NET_ERRNO_MATCH
    return e;
}

}  // namespace

int platformFail(Socket s) { return netFail(s, wsaFromErrno(errno)); }

int netStartup() {
    gStartups.fetch_add(1);
    return 0;
}

void netCleanup() {
    int n = gStartups.load();
    while (n > 0 && !gStartups.compare_exchange_weak(n, n - 1)) {
    }
}

Socket netTcpSocket() {
    int f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (f < 0) {
        platformFail(kInvalidSocket);
        return kInvalidSocket;
    }
    return static_cast<Socket>(f);
}

int netBindAny(Socket s, std::uint16_t port) { return netBind(s, Ipv4Address{}, port); }

int netBind(Socket s, const Ipv4Address& local, std::uint16_t port) {
    sockaddr_in addr = netSocketAddress(local, port);
    // A restarted server must be able to open its port while connections of
    // its previous run linger in TIME_WAIT. SO_REUSEADDR allows that here and
    // still refuses a port that another socket listens on.
    int one = 1;
    ::setsockopt(descriptorOf(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(descriptorOf(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return platformFail(s);
    netClearFailure(s);
    return 0;
}

int netListen(Socket s) {
    if (::listen(descriptorOf(s), SOMAXCONN) != 0) return platformFail(s);
    netClearFailure(s);
    return 0;
}

int netLocalPort(Socket s) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(descriptorOf(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return platformFail(s);
    return ntohs(addr.sin_port);
}

Socket netAccept(Socket listener, PeerAddress* peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int f;
    do {
        f = ::accept4(descriptorOf(listener), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    } while (f < 0 && errno == EINTR);
    if (f < 0) {
        platformFail(listener);
        return kInvalidSocket;
    }
    netClearFailure(listener);
    if (peer) netPeerAddress(addr, *peer);
    return static_cast<Socket>(f);
}

int netRecv(Socket s, void* buf, std::size_t len) {
    ssize_t n;
    do {
        n = ::recv(descriptorOf(s), buf, len, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return platformFail(s);
    netClearFailure(s);
    return static_cast<int>(n);
}

int netSend(Socket s, const void* buf, std::size_t len) {
    ssize_t n;
    do {
        n = ::send(descriptorOf(s), buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return platformFail(s);
    netClearFailure(s);
    return static_cast<int>(n);
}

int netShutdownSend(Socket s) {
    if (::shutdown(descriptorOf(s), SHUT_WR) != 0) return platformFail(s);
    netClearFailure(s);
    return 0;
}

int netClose(Socket s) {
    netClearFailure(s);
    // On Linux the descriptor is released even when close reports EINTR, so
    // it is never closed twice.
    if (::close(descriptorOf(s)) != 0) return platformFail(kInvalidSocket);
    return 0;
}

int netSetNonBlocking(Socket s, bool on) {
    int flags = ::fcntl(descriptorOf(s), F_GETFL, 0);
    if (flags < 0) return platformFail(s);
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(descriptorOf(s), F_SETFL, flags) != 0) return platformFail(s);
    return 0;
}

int netSetNoDelay(Socket s) {
    int one = 1;
    if (::setsockopt(descriptorOf(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return platformFail(s);
    return 0;
}

int netSetIoTimeout(Socket s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    if (::setsockopt(descriptorOf(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return platformFail(s);
    if (::setsockopt(descriptorOf(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return platformFail(s);
    return 0;
}

bool platformTakeSocketError(Socket s, int* code) {
    int err = 0;
    socklen_t len = sizeof err;
    bool read = ::getsockopt(descriptorOf(s), SOL_SOCKET, SO_ERROR, &err, &len) == 0;
    *code = wsaFromErrno(read ? err : errno);
    return read;
}

int platformConnectStart(Socket s, const sockaddr_in& to) {
    if (::connect(descriptorOf(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    return errno == EINPROGRESS ? kConnectUnderWay : wsaFromErrno(errno);
}
