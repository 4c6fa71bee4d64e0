// Windows Sockets implementation of the socket API in socket.h.

// Room for a full 64-slot set plus the wake-up socket in one fd_set. Only this
// file sees the larger sets; the rest of the server keeps its 64 slots.
#define FD_SETSIZE (64 + 1)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/socket.h"

#include <climits>
#include <cstdio>
#include <cstring>

static_assert(sizeof(SOCKET) == sizeof(Socket), "socket handles keep their width");
static_assert(INVALID_SOCKET == kInvalidSocket, "the invalid socket is the same value");

namespace {

// The last failure is kept per thread apart from the system's own last error,
// which console writes and lock calls between the failure and its report
// would otherwise overwrite.
thread_local int tLastError = 0;
// The last failure of a call on one socket, on this thread. Windows Sockets
// only sometimes reports it through SO_ERROR; keeping it here makes the
// behaviour the same on every stack (and the same as the POSIX layer).
thread_local Socket tFailedSocket = kInvalidSocket;
thread_local int tFailedCode = 0;

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

int fail(Socket s, int code) {
    tLastError = code;
    tFailedSocket = s;
    tFailedCode = code;
    return -1;
}

int failWithLastError(Socket s) { return fail(s, WSAGetLastError()); }

void succeeded(Socket s) {
    if (tFailedSocket == s) tFailedSocket = kInvalidSocket;
}

int clampToInt(std::size_t len) { return len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }

}  // namespace

int netStartup() {
    // Windows Sockets counts the start-ups itself; each needs its clean-up.
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void netCleanup() { WSACleanup(); }

int netLastError() { return tLastError; }
void netSetLastError(int code) { tLastError = code; }

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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    // Windows lets a socket with SO_REUSEADDR take a port that another one
    // listens on. Exclusive use refuses that, while a port held only by
    // connections of an earlier run that linger can still be opened.
    BOOL one = TRUE;
    ::setsockopt(sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(sock(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return failWithLastError(s);
    succeeded(s);
    return 0;
}

int netListen(Socket s) {
    if (::listen(sock(s), SOMAXCONN) != 0) return failWithLastError(s);
    succeeded(s);
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
    succeeded(listener);
    if (peer) {
        const auto* b = reinterpret_cast<const unsigned char*>(&addr.sin_addr);
        std::snprintf(peer->ip, sizeof peer->ip, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        peer->port = ntohs(addr.sin_port);
    }
    return static_cast<Socket>(s);
}

int netRecv(Socket s, void* buf, std::size_t len) {
    int n = ::recv(sock(s), static_cast<char*>(buf), clampToInt(len), 0);
    if (n == SOCKET_ERROR) return failWithLastError(s);
    succeeded(s);
    return n;
}

int netSend(Socket s, const void* buf, std::size_t len) {
    int n = ::send(sock(s), static_cast<const char*>(buf), clampToInt(len), 0);
    if (n == SOCKET_ERROR) return failWithLastError(s);
    succeeded(s);
    return n;
}

int netShutdownSend(Socket s) {
    if (::shutdown(sock(s), SD_SEND) != 0) return failWithLastError(s);
    succeeded(s);
    return 0;
}

int netClose(Socket s) {
    if (tFailedSocket == s) tFailedSocket = kInvalidSocket;
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

int netPendingError(Socket s) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        return WSAGetLastError();
    if (err != 0) {
        if (tFailedSocket == s) tFailedSocket = kInvalidSocket;
        return err;
    }
    if (tFailedSocket == s) {
        tFailedSocket = kInvalidSocket;
        return tFailedCode;
    }
    return 0;
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
        fail(kInvalidSocket, code);
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
        if (timeoutMs < 0) return fail(kInvalidSocket, WSAEINVAL);
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

int netResolveIpv4(const char* host, Ipv4Address* addrs, int maxAddrs) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) {
        netSetLastError(kErrHostNotFound);
        return -1;
    }
    int count = 0;
    for (addrinfo* a = res; a && count < maxAddrs; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        std::memcpy(addrs[count].bytes, &sin->sin_addr, 4);
        ++count;
    }
    ::freeaddrinfo(res);
    return count;
}

int netConnect(Socket s, const Ipv4Address& addr, std::uint16_t port, int timeoutMs) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(&sin.sin_addr, addr.bytes, 4);
    if (netSetNonBlocking(s, true) != 0) return -1;
    // A non-blocking connect reports would-block at once; select then shows
    // success in the write set and failure in the exception set.
    if (::connect(sock(s), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            netSetNonBlocking(s, false);
            return fail(s, code);
        }
        fd_set w, e;
        FD_ZERO(&w);
        FD_ZERO(&e);
        FD_SET(sock(s), &w);
        FD_SET(sock(s), &e);
        timeval tv{};
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        int rc = ::select(0, nullptr, &w, &e, &tv);
        if (rc == 0) code = WSAETIMEDOUT;
        else if (rc == SOCKET_ERROR) code = WSAGetLastError();
        else if (FD_ISSET(sock(s), &e)) {
            int err = 0;
            int len = sizeof err;
            if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
                err = WSAGetLastError();
            code = err != 0 ? err : WSAECONNREFUSED;
        } else {
            code = 0;
        }
        if (code != 0) {
            netSetNonBlocking(s, false);
            return fail(s, code);
        }
    }
    netSetNonBlocking(s, false);
    succeeded(s);
    return 0;
}
