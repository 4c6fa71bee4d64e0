// What the tests ask of sockets beyond the server's own calls. Closing a
// socket with a reset instead of the orderly end: the
// peer's next call fails with kErrConnReset, and nothing stays behind in
// TIME_WAIT. The server itself never ends a connection this way.
#pragma once

#include "platform/network/socket.h"

void closeWithReset(Socket s);

// Whether a program the process starts would get this socket.
bool inheritedByPrograms(Socket s);
