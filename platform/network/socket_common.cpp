// What the two socket files share: the bookkeeping of failures, the pending
// error, name resolution, connecting with a time-out and the peer's address
// text. Only socket_posix.cpp and socket_win.cpp know the system's calls on a
// socket; this file reaches them through socket_platform.h.
#include <cstring>

#include "platform/network/socket_platform.h"

namespace {

inline constexpr int kErrHostNotFound = 11001;

// The last failure is kept per thread apart from the system's own last error,
// which console writes and lock calls between the failure and its report
// would otherwise overwrite.
thread_local int tLastError = 0;
// The last failure of a call on one socket, on this thread: what Windows
// Sockets reports as the socket's error right after a failed call. Windows
// Sockets only sometimes reports it through SO_ERROR; keeping it here makes
// the behaviour the same on every stack and on POSIX systems.
thread_local Socket tFailedSocket = kInvalidSocket;
thread_local int tFailedCode = 0;

}  // namespace

int netLastError() { return tLastError; }
void netSetLastError(int code) { tLastError = code; }

int netFail(Socket s, int code) {
    tLastError = code;
    tFailedSocket = s;
    tFailedCode = code;
    return -1;
}

void netClearFailure(Socket s) {
    if (tFailedSocket == s) tFailedSocket = kInvalidSocket;
}

int netPendingError(Socket s) {
    int code = 0;
    if (!platformTakeSocketError(s, &code)) return code;
    if (code != 0) {
        netClearFailure(s);
        return code;
    }
    if (tFailedSocket == s) {
        tFailedSocket = kInvalidSocket;
        return tFailedCode;
    }
    return 0;
}

sockaddr_in netSocketAddress(const Ipv4Address& addr, std::uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(&sin.sin_addr, addr.bytes, 4);
    return sin;
}

void netPeerAddress(const sockaddr_in& addr, PeerAddress& peer) {
    if (!::inet_ntop(AF_INET, &addr.sin_addr, peer.ip, sizeof peer.ip)) peer.ip[0] = 0;
    peer.port = ntohs(addr.sin_port);
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

namespace {

// Waits for a connect under way to be decided: 0 or the code of its failure.
// A failed connect shows as writable on POSIX systems and as exceptional on
// Windows Sockets; SO_ERROR then names the failure, and on Windows Sockets an
// exceptional socket without one was refused.
int waitForConnect(Socket s, int timeoutMs) {
    SocketSet writeSet{1, {s}}, exceptSet{1, {s}};
    int ready = netSelect(0, nullptr, &writeSet, &exceptSet, timeoutMs, nullptr);
    if (ready == 0) return kErrTimedOut;
    if (ready < 0) return netLastError();
    int code = 0;
    platformTakeSocketError(s, &code);
    return code == 0 && exceptSet.count != 0 ? kErrConnRefused : code;
}

}  // namespace

int netConnect(Socket s, const Ipv4Address& addr, std::uint16_t port, int timeoutMs) {
    if (netSetNonBlocking(s, true) != 0) return -1;
    int code = platformConnectStart(s, netSocketAddress(addr, port));
    if (code == kConnectUnderWay) code = waitForConnect(s, timeoutMs);
    netSetNonBlocking(s, false);
    if (code != 0) return netFail(s, code);
    netClearFailure(s);
    return 0;
}
