// The orderly end of a TCP connection.
#pragma once

#include "platform/network/socket.h"

// Shuts the sending side, reads and discards what the peer still sends until
// it closes its side, then closes the socket. True when the socket was closed
// cleanly. False when the shutdown or a receive failed (the socket is then
// still open; on a non-blocking socket whose peer is still connected that is
// the would-block error) or when the close reported an error.
bool shutdownConnection(Socket s);

// As shutdownConnection, but reads at most maxReceives times before it closes
// the socket anyway (a peer that keeps sending cannot hold the caller), and
// closes it too if the shutdown or a receive failed: after this call the
// handle is released, whatever the peer does.
void releaseConnection(Socket s, int maxReceives);
