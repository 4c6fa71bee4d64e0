#include <sys/socket.h>

#include "close_reset.h"

void closeWithReset(Socket s) {
    linger hard{1, 0};
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    netClose(s);
}
