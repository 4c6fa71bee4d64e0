#include <fcntl.h>
#include <sys/socket.h>

#include "close_reset.h"

void closeWithReset(Socket s) {
    linger hard{1, 0};
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    netClose(s);
}

bool inheritedByPrograms(Socket s) {
    int flags = ::fcntl(static_cast<int>(s), F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}
