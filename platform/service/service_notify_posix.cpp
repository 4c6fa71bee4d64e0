#include "platform/service/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// One datagram to the socket NOTIFY_SOCKET names: a path, or an abstract
// address written with a leading '@'. Sent without waiting; a manager that is
// gone or does not read is not the server's concern, and the caller's errno
// stays as it was.
void notify(const char* message) {
    const char* target = std::getenv("NOTIFY_SOCKET");
    if (!target || (target[0] != '/' && target[0] != '@')) return;
    sockaddr_un address{};
    std::size_t len = std::strlen(target);
    if (len < 2 || len > sizeof address.sun_path) return;
    int savedErrno = errno;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, target, len);
    if (address.sun_path[0] == '@') address.sun_path[0] = 0;
    int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        ::sendto(s, message, std::strlen(message), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
        ::close(s);
    }
    errno = savedErrno;
}

}  // namespace

// POSIX servers upgrade in place and are never kept by another process.
void forwardNotices(void (*)(Notice)) {}

void notifyReady() { notify("READY=1"); }

void notifyReloading() {
    // The time lets a manager tell this upgrade from a request it made before.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char message[64];
    std::snprintf(message, sizeof message, "RELOADING=1\nMONOTONIC_USEC=%llu",
                  static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                      static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
    notify(message);
}

void notifyStopping() { notify("STOPPING=1"); }
