// POSIX implementation of the socket API in socket.h: what differs from the
// other platform. What both share is in socket_common.cpp.
#include "net/socket_platform.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> gStartups{0};

int wsaFromErrno(int e) {
    switch (e) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case ENFILE: return 10024;
    case EAGAIN: return 10035;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return 10035;
#endif
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case EPIPE: return 10054;  // a send to a peer that reset the connection
    case ENOBUFS: return 10055;
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return e;  // keeps its own number, which no table entry has
    }
}

int fd(Socket s) { return s > static_cast<Socket>(INT_MAX) ? -1 : static_cast<int>(s); }

int fail(Socket s, int err) { return netFail(s, wsaFromErrno(err)); }

}  // namespace

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
        fail(kInvalidSocket, errno);
        return kInvalidSocket;
    }
    return static_cast<Socket>(f);
}

int netBindAny(Socket s, std::uint16_t port) {
    sockaddr_in addr = netSocketAddress(Ipv4Address{}, port);
    // A restarted server must be able to open its port while connections of
    // its previous run linger in TIME_WAIT. SO_REUSEADDR allows that here and
    // still refuses a port that another socket listens on.
    int one = 1;
    ::setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(s, errno);
    netClearFailure(s);
    return 0;
}

int netListen(Socket s) {
    if (::listen(fd(s), SOMAXCONN) != 0) return fail(s, errno);
    netClearFailure(s);
    return 0;
}

int netLocalPort(Socket s) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fail(s, errno);
    return ntohs(addr.sin_port);
}

Socket netAccept(Socket listener, PeerAddress* peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int f;
    do {
        f = ::accept4(fd(listener), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    } while (f < 0 && errno == EINTR);
    if (f < 0) {
        fail(listener, errno);
        return kInvalidSocket;
    }
    netClearFailure(listener);
    if (peer) netPeerAddress(addr, *peer);
    return static_cast<Socket>(f);
}

int netRecv(Socket s, void* buf, std::size_t len) {
    ssize_t n;
    do {
        n = ::recv(fd(s), buf, len, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail(s, errno);
    netClearFailure(s);
    return static_cast<int>(n);
}

int netSend(Socket s, const void* buf, std::size_t len) {
    ssize_t n;
    do {
        n = ::send(fd(s), buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail(s, errno);
    netClearFailure(s);
    return static_cast<int>(n);
}

int netShutdownSend(Socket s) {
    if (::shutdown(fd(s), SHUT_WR) != 0) return fail(s, errno);
    netClearFailure(s);
    return 0;
}

int netClose(Socket s) {
    netClearFailure(s);
    // On Linux the descriptor is released even when close reports EINTR, so
    // it is never closed twice.
    if (::close(fd(s)) != 0) return fail(kInvalidSocket, errno);
    return 0;
}

int netCloseReset(Socket s) {
    linger hard{1, 0};
    ::setsockopt(fd(s), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return netClose(s);
}

int netSetNonBlocking(Socket s, bool on) {
    int flags = ::fcntl(fd(s), F_GETFL, 0);
    if (flags < 0) return fail(s, errno);
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd(s), F_SETFL, flags) != 0) return fail(s, errno);
    return 0;
}

int netSetNoDelay(Socket s) {
    int one = 1;
    if (::setsockopt(fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return fail(s, errno);
    return 0;
}

int netSetIoTimeout(Socket s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    if (::setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return fail(s, errno);
    if (::setsockopt(fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return fail(s, errno);
    return 0;
}

bool platformTakeSocketError(Socket s, int* code) {
    int err = 0;
    socklen_t len = sizeof err;
    bool read = ::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &err, &len) == 0;
    *code = wsaFromErrno(read ? err : errno);
    return read;
}

int platformConnectStart(Socket s, const sockaddr_in& to) {
    if (::connect(fd(s), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    return errno == EINPROGRESS ? kConnectUnderWay : wsaFromErrno(errno);
}

bool netWakerOpen(NetWaker& waker) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        fail(kInvalidSocket, errno);
        return false;
    }
    waker.readEnd = static_cast<Socket>(fds[0]);
    waker.writeEnd = static_cast<Socket>(fds[1]);
    return true;
}

void netWake(NetWaker& waker) {
    char b = 1;
    // A full pipe already holds a wake-up; nothing is lost when this fails.
    ssize_t n = ::write(fd(waker.writeEnd), &b, 1);
    (void)n;
}

namespace {

void drainWaker(NetWaker& waker) {
    char buf[64];
    while (::read(fd(waker.readEnd), buf, sizeof buf) > 0) {
    }
}

short pollEvents(const SocketSet* r, const SocketSet* w, const SocketSet* e, Socket s) {
    short ev = 0;
    if (r && socketSetHas(*r, s)) ev |= POLLIN;
    if (w && socketSetHas(*w, s)) ev |= POLLOUT;
    if (e && socketSetHas(*e, s)) ev |= POLLPRI;
    return ev;
}

void addUnique(pollfd* fds, int& n, Socket s, short ev) {
    for (int i = 0; i < n; ++i)
        if (fds[i].fd == fd(s)) return;
    fds[n].fd = fd(s);
    fds[n].events = ev;
    fds[n].revents = 0;
    ++n;
}

// Keeps in the set only the members for which ready() holds.
template <typename Ready>
int keepReady(SocketSet* set, Ready ready) {
    if (!set) return 0;
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < set->count; ++i)
        if (ready(set->slots[i])) set->slots[kept++] = set->slots[i];
    set->count = kept;
    return static_cast<int>(kept);
}

}  // namespace

int netSelect(std::uint32_t, SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
              long long timeoutMs, NetWaker* waker) {
    // poll rather than select: descriptors above FD_SETSIZE stay safe.
    pollfd fds[3 * kSocketSetSize + 1];
    int n = 0;
    for (SocketSet* set : {readSet, writeSet, exceptSet}) {
        if (!set) continue;
        for (std::uint32_t i = 0; i < set->count; ++i)
            addUnique(fds, n, set->slots[i], pollEvents(readSet, writeSet, exceptSet, set->slots[i]));
    }
    int wakerIndex = -1;
    if (waker) {
        wakerIndex = n;
        fds[n].fd = fd(waker->readEnd);
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        ++n;
    }
    int timeout = timeoutMs < 0 ? -1 : (timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs));
    int rc;
    do {
        rc = ::poll(fds, static_cast<nfds_t>(n), timeout);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return fail(kInvalidSocket, errno);
    // A socket that another thread closed during the wait (a kick from the
    // console) reports POLLNVAL: it is simply not ready.
    if (wakerIndex >= 0 && fds[wakerIndex].revents) drainWaker(*waker);

    auto revents = [&](Socket s) -> short {
        for (int i = 0; i < n; ++i)
            if (i != wakerIndex && fds[i].fd == fd(s)) return fds[i].revents;
        return 0;
    };
    // As with Windows Sockets, a closed or failed connection reads as
    // readable (recv reports it) and as writable (send reports it).
    int ready = keepReady(readSet, [&](Socket s) { return (revents(s) & (POLLIN | POLLHUP | POLLERR)) != 0; });
    ready += keepReady(writeSet, [&](Socket s) { return (revents(s) & (POLLOUT | POLLERR | POLLHUP)) != 0; });
    ready += keepReady(exceptSet, [&](Socket s) { return (revents(s) & POLLPRI) != 0; });
    return ready;
}
