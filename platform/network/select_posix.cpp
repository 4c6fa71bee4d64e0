// The wait on several sockets at once, as Windows Sockets' select waits,
// made of poll on POSIX systems; and the waker that ends such a wait from
// another thread, made of a pipe.
#include "platform/network/socket_platform.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <initializer_list>

#include "platform/network/posix/descriptor.h"

bool netWakerOpen(NetWaker& waker) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        platformFail(kInvalidSocket);
        return false;
    }
    waker.readEnd = static_cast<Socket>(fds[0]);
    waker.writeEnd = static_cast<Socket>(fds[1]);
    return true;
}

void netWake(NetWaker& waker) {
    char b = 1;
    // A full pipe already holds a wake-up; nothing is lost when this fails.
    ssize_t n = ::write(descriptorOf(waker.writeEnd), &b, 1);
    (void)n;
}

namespace {

void drainWaker(NetWaker& waker) {
    char buf[64];
    while (::read(descriptorOf(waker.readEnd), buf, sizeof buf) > 0) {
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
        if (fds[i].fd == descriptorOf(s)) return;
    fds[n].fd = descriptorOf(s);
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

int netSelect(std::uint32_t, SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet, long long timeoutMs,
              NetWaker* waker) {
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
        fds[n].fd = descriptorOf(waker->readEnd);
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        ++n;
    }
    int timeout = timeoutMs < 0 ? -1 : (timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs));
    int rc;
    do {
        rc = ::poll(fds, static_cast<nfds_t>(n), timeout);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return platformFail(kInvalidSocket);
    if (wakerIndex >= 0 && fds[wakerIndex].revents) drainWaker(*waker);

    auto revents = [&](Socket s) -> short {
        for (int i = 0; i < n; ++i)
            if (i != wakerIndex && fds[i].fd == descriptorOf(s)) return fds[i].revents;
        return 0;
    };
    // As with Windows Sockets, a closed or failed connection reads as
    // readable (recv reports it) and as writable (send reports it).
    int ready = keepReady(readSet, [&](Socket s) { return (revents(s) & (POLLIN | POLLHUP | POLLERR)) != 0; });
    ready += keepReady(writeSet, [&](Socket s) { return (revents(s) & (POLLOUT | POLLERR | POLLHUP)) != 0; });
    ready += keepReady(exceptSet, [&](Socket s) { return (revents(s) & POLLPRI) != 0; });
    return ready;
}
