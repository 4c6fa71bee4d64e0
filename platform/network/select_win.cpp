// The wait on several sockets at once (Windows Sockets' own select), and the
// waker that ends such a wait from another thread.
#include "platform/network/socket_platform.h"

namespace {

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

namespace {

// A UDP socket on 127.0.0.1 with a port of its own, or INVALID_SOCKET.
SOCKET loopbackUdp(sockaddr_in& addr) {
    SOCKET s =
        WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
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
    bool ok = w != INVALID_SOCKET && ::connect(r, reinterpret_cast<sockaddr*>(&writeAddr), sizeof writeAddr) == 0 &&
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

int netSelect(std::uint32_t nfds, SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet, long long timeoutMs,
              NetWaker* waker) {
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
    if (rc == SOCKET_ERROR) return platformFail(kInvalidSocket);
    if (waker && FD_ISSET(sock(waker->readEnd), &r)) drainWaker(*waker);
    int ready = keepReady(readSet, r);
    ready += keepReady(writeSet, w);
    ready += keepReady(exceptSet, e);
    return ready;
}
