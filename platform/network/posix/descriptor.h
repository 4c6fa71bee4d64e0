// A socket as POSIX systems number it: its descriptor, or -1 for a number
// that no descriptor can have.
#pragma once

#include <climits>

#include "platform/network/socket.h"

inline int descriptorOf(Socket s) { return s > static_cast<Socket>(INT_MAX) ? -1 : static_cast<int>(s); }
