// Windows Sockets implementation of the socket API in socket.h: what differs
// from the other platform. What both share is in socket_common.cpp; the wait
// on several sockets (netSelect) and its waker are in select_win.cpp.

#include "platform/network/socket_platform.h"

#include <climits>

static_assert(sizeof(SOCKET) == sizeof(Socket), "socket handles keep their width");
static_assert(INVALID_SOCKET == kInvalidSocket, "the invalid socket is the same value");

namespace {

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

int clampToInt(std::size_t len) { return len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }

}  // namespace

int platformFail(Socket s) { return netFail(s, WSAGetLastError()); }

int netStartup() {
    // Windows Sockets counts the start-ups itself; each needs its clean-up.
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void netCleanup() { WSACleanup(); }

Socket netTcpSocket() {
    // Not inherited: a process the server might start must not hold its ports.
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        platformFail(kInvalidSocket);
        return kInvalidSocket;
    }
    return static_cast<Socket>(s);
}

int netBindAny(Socket s, std::uint16_t port) { return netBind(s, Ipv4Address{}, port); }

int netBind(Socket s, const Ipv4Address& local, std::uint16_t port) {
    sockaddr_in addr = netSocketAddress(local, port);
    // Windows lets a socket with SO_REUSEADDR take a port that another one
    // listens on. Exclusive use refuses that, while a port held only by
    // connections of an earlier run that linger can still be opened.
    BOOL one = TRUE;
    ::setsockopt(sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(sock(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return platformFail(s);
    netClearFailure(s);
    return 0;
}

int netListen(Socket s) {
    if (::listen(sock(s), SOMAXCONN) != 0) return platformFail(s);
    netClearFailure(s);
    return 0;
}

int netLocalPort(Socket s) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return platformFail(s);
    return ntohs(addr.sin_port);
}

Socket netAccept(Socket listener, PeerAddress* peer) {
    sockaddr_in addr{};
    int len = sizeof addr;
    SOCKET s = ::accept(sock(listener), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s == INVALID_SOCKET) {
        platformFail(listener);
        return kInvalidSocket;
    }
    netClearFailure(listener);
    // No program the server starts gets a connection by accident.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (peer) netPeerAddress(addr, *peer);
    return static_cast<Socket>(s);
}

int netRecv(Socket s, void* buf, std::size_t len) {
    int n = ::recv(sock(s), static_cast<char*>(buf), clampToInt(len), 0);
    if (n == SOCKET_ERROR) return platformFail(s);
    netClearFailure(s);
    return n;
}

int netSend(Socket s, const void* buf, std::size_t len) {
    int n = ::send(sock(s), static_cast<const char*>(buf), clampToInt(len), 0);
    if (n == SOCKET_ERROR) return platformFail(s);
    netClearFailure(s);
    return n;
}

int netShutdownSend(Socket s) {
    if (::shutdown(sock(s), SD_SEND) != 0) return platformFail(s);
    netClearFailure(s);
    return 0;
}

int netClose(Socket s) {
    netClearFailure(s);
    if (::closesocket(sock(s)) != 0) return platformFail(kInvalidSocket);
    return 0;
}

int netSetNonBlocking(Socket s, bool on) {
    u_long mode = on ? 1 : 0;
    if (::ioctlsocket(sock(s), FIONBIO, &mode) != 0) return platformFail(s);
    return 0;
}

int netSetNoDelay(Socket s) {
    BOOL one = TRUE;
    if (::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) != 0)
        return platformFail(s);
    return 0;
}

int netSetIoTimeout(Socket s, int milliseconds) {
    DWORD ms = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    const char* value = reinterpret_cast<const char*>(&ms);
    if (::setsockopt(sock(s), SOL_SOCKET, SO_RCVTIMEO, value, sizeof ms) != 0) return platformFail(s);
    if (::setsockopt(sock(s), SOL_SOCKET, SO_SNDTIMEO, value, sizeof ms) != 0) return platformFail(s);
    return 0;
}

bool platformTakeSocketError(Socket s, int* code) {
    int err = 0;
    int len = sizeof err;
    bool read = ::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0;
    *code = read ? err : WSAGetLastError();
    return read;
}

int platformConnectStart(Socket s, const sockaddr_in& to) {
    // A non-blocking connect reports would-block at once; select then shows
    // success in the write set and failure in the exception set.
    if (::connect(sock(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    int code = WSAGetLastError();
    return code == WSAEWOULDBLOCK ? kConnectUnderWay : code;
}
