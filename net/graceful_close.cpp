#include "net/graceful_close.h"

#include "net/output.h"

namespace {

// Returns the result of shutdownConnection; *released tells whether the
// handle is gone.
bool closeGracefully(Socket s, bool* released) {
    *released = false;
    if (netShutdownSend(s) != 0) return false;
    char discard[1024];
    for (;;) {
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
}

}  // namespace

bool shutdownConnection(Socket s) {
    bool released;
    return closeGracefully(s, &released);
}

void releaseConnection(Socket s) {
    bool released;
    closeGracefully(s, &released);
    if (!released) netClose(s);
}
