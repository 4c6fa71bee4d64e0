// Windows Sockets implementation of the socket API in socket.h: what differs
// from the other platform. What both share is in socket_common.cpp.

#include "net/socket_platform.h"

#include <climits>

static_assert(sizeof(SOCKET) == sizeof(Socket), "socket handles keep their width");
static_assert(INVALID_SOCKET == kInvalidSocket, "the invalid socket is the same value");

namespace {

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

int failWithLastError(Socket s) { return netFail(s, WSAGetLastError()); }

int clampToInt(std::size_t len) { return len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }

}  // namespace

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
        failWithLastError(kInvalidSocket);
        return kInvalidSocket;
    }
    return static_cast<Socket>(s);
}

int netBindAny(Socket s, std::uint16_t port) {
    sockaddr_in addr = netSocketAddress(Ipv4Address{}, port);
    // Windows lets a socket with SO_REUSEADDR take a port that another one
    // listens on. Exclusive use refuses that, while a port held only by
    // connections of an earlier run that linger can still be opened.
    BOOL one = TRUE;
    ::setsockopt(sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(sock(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return failWithLastError(s);
    netClearFailure(s);
    return 0;
}

int netListen(Socket s) {
    if (::listen(sock(s), SOMAXCONN) != 0) return failWithLastError(s);
    netClearFailure(s);
    return 0;
}

int netLocalPort(Socket s) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return failWithLastError(s);
    return ntohs(addr.sin_port);
}

Socket netAccept(Socket listener, PeerAddress* peer) {
    sockaddr_in addr{};
    int len = sizeof addr;
    SOCKET s = ::accept(sock(listener), reinterpret_cast<sockaddr*>(&addr), &len);
    if (s == INVALID_SOCKET) {
        failWithLastError(listener);
        return kInvalidSocket;
    }
    netClearFailure(listener);
    if (peer) netPeerAddress(addr, *peer);
    return static_cast<Socket>(s);
}

int netRecv(Socket s, void* buf, std::size_t len) {
    int n = ::recv(sock(s), static_cast<char*>(buf), clampToInt(len), 0);
    if (n == SOCKET_ERROR) return failWithLastError(s);
    netClearFailure(s);
    return n;
}

int netSend(Socket s, const void* buf, std::size_t len) {
    int n = ::send(sock(s), static_cast<const char*>(buf), clampToInt(len), 0);
    if (n == SOCKET_ERROR) return failWithLastError(s);
    netClearFailure(s);
    return n;
}

int netShutdownSend(Socket s) {
    if (::shutdown(sock(s), SD_SEND) != 0) return failWithLastError(s);
    netClearFailure(s);
    return 0;
}

int netClose(Socket s) {
    netClearFailure(s);
    if (::closesocket(sock(s)) != 0) return failWithLastError(kInvalidSocket);
    return 0;
}

int netCloseReset(Socket s) {
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
    ::setsockopt(sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    return netClose(s);
}

int netSetNonBlocking(Socket s, bool on) {
    u_long mode = on ? 1 : 0;
    if (::ioctlsocket(sock(s), FIONBIO, &mode) != 0) return failWithLastError(s);
    return 0;
}

int netSetNoDelay(Socket s) {
    BOOL one = TRUE;
    if (::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) != 0)
        return failWithLastError(s);
    return 0;
}

int netSetIoTimeout(Socket s, int milliseconds) {
    DWORD ms = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    const char* value = reinterpret_cast<const char*>(&ms);
    if (::setsockopt(sock(s), SOL_SOCKET, SO_RCVTIMEO, value, sizeof ms) != 0) return failWithLastError(s);
    if (::setsockopt(sock(s), SOL_SOCKET, SO_SNDTIMEO, value, sizeof ms) != 0) return failWithLastError(s);
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

namespace {

// A UDP socket on 127.0.0.1 with a port of its own, or INVALID_SOCKET.
SOCKET loopbackUdp(sockaddr_in& addr) {
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return s;
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int code = WSAGetLastError();
        ::closesocket(s);
        WSASetLastError(code);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

bool netWakerOpen(NetWaker& waker) {
    // Windows has no pipe that select can wait on: two loopback UDP sockets,
    // each connected to the other so that only the other's datagrams arrive.
    sockaddr_in readAddr, writeAddr;
    SOCKET r = loopbackUdp(readAddr);
    SOCKET w = r == INVALID_SOCKET ? INVALID_SOCKET : loopbackUdp(writeAddr);
    u_long nonBlocking = 1;
    bool ok = w != INVALID_SOCKET &&
              ::connect(r, reinterpret_cast<sockaddr*>(&writeAddr), sizeof writeAddr) == 0 &&
              ::connect(w, reinterpret_cast<sockaddr*>(&readAddr), sizeof readAddr) == 0 &&
              ::ioctlsocket(r, FIONBIO, &nonBlocking) == 0 && ::ioctlsocket(w, FIONBIO, &nonBlocking) == 0;
    if (!ok) {
        int code = WSAGetLastError();
        if (r != INVALID_SOCKET) ::closesocket(r);
        if (w != INVALID_SOCKET) ::closesocket(w);
        netFail(kInvalidSocket, code);
        return false;
    }
    waker.readEnd = static_cast<Socket>(r);
    waker.writeEnd = static_cast<Socket>(w);
    return true;
}

void netWake(NetWaker& waker) {
    char b = 1;
    // A full queue already holds a wake-up; nothing is lost when this fails.
    ::send(sock(waker.writeEnd), &b, 1, 0);
}

namespace {

void drainWaker(NetWaker& waker) {
    char buf[64];
    while (::recv(sock(waker.readEnd), buf, sizeof buf, 0) > 0) {
    }
}

void fill(fd_set& fds, const SocketSet* set) {
    FD_ZERO(&fds);
    if (!set) return;
    for (std::uint32_t i = 0; i < set->count && i < kSocketSetSize; ++i) FD_SET(sock(set->slots[i]), &fds);
}

// Keeps in the set only the members that select left in fds.
int keepReady(SocketSet* set, fd_set& fds) {
    if (!set) return 0;
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < set->count; ++i)
        if (FD_ISSET(sock(set->slots[i]), &fds)) set->slots[kept++] = set->slots[i];
    set->count = kept;
    return static_cast<int>(kept);
}

}  // namespace

int netSelect(std::uint32_t nfds, SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
              long long timeoutMs, NetWaker* waker) {
    fd_set r, w, e;
    fill(r, readSet);
    fill(w, writeSet);
    fill(e, exceptSet);
    if (waker) FD_SET(sock(waker->readEnd), &r);
    if (r.fd_count + w.fd_count + e.fd_count == 0) {
        // Windows Sockets refuses a select on nothing; it is a plain wait.
        if (timeoutMs < 0) return netFail(kInvalidSocket, WSAEINVAL);
        Sleep(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    timeval tv{};
    if (timeoutMs >= 0) {
        long long seconds = timeoutMs / 1000;
        tv.tv_sec = seconds > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<long>(seconds);
        tv.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    }
    int rc = ::select(static_cast<int>(nfds), &r, &w, &e, timeoutMs < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return failWithLastError(kInvalidSocket);
    if (waker && FD_ISSET(sock(waker->readEnd), &r)) drainWaker(*waker);
    int ready = keepReady(readSet, r);
    ready += keepReady(writeSet, w);
    ready += keepReady(exceptSet, e);
    return ready;
}
