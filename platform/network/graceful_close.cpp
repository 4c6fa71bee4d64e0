#include "platform/network/graceful_close.h"

#include "streams/output.h"

namespace {

// Returns the result of shutdownConnection; *released tells whether the
// handle is gone. maxReceives < 0 reads until the peer closes or fails.
bool closeGracefully(Socket s, int maxReceives, bool* released) {
    *released = false;
    if (netShutdownSend(s) != 0) return false;
    char discard[1024];
    for (int receives = 0; maxReceives < 0 || receives < maxReceives; ++receives) {
        int n = netRecv(s, discard, sizeof discard);
        if (n < 0) return false;
        if (n == 0) {
            *released = true;
            return netClose(s) == 0;
        }
        Line line;
        lineStart(line);
        lineAdd(line, "\nFYI, received ");
        lineAddInt(line, n);
        lineAdd(line, " unexpected bytes during shutdown.");
        lineWrite(line, Stream::Err);
    }
    return false;
}

}  // namespace

bool shutdownConnection(Socket s) {
    bool released;
    return closeGracefully(s, -1, &released);
}

void releaseConnection(Socket s, int maxReceives) {
    bool released;
    closeGracefully(s, maxReceives, &released);
    if (!released) netClose(s);
}
