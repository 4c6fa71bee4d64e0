#include "platform/streams/console_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

void waitForStandardInput() {
    pollfd in{0, POLLIN, 0};
    while (poll(&in, 1, -1) < 0 && errno == EINTR) {
    }
}

long readStandardInput(char* buf, std::size_t len) {
    for (;;) {
        ssize_t n = read(0, buf, len);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        // Input handed over non-blocking after all: wait for it instead.
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, -1) < 0 && errno != EINTR) return -1;
    }
}
