// The system's socket headers on Windows. The build puts this folder on the
// include path of the socket files, so socket_common.cpp gets the headers of
// the platform it is built for without asking which one that is.
#pragma once

// Room for a full 64-slot set plus the wake-up socket in one fd_set. Only the
// socket files see the larger sets; the rest of the server keeps its 64 slots.
#define FD_SETSIZE (64 + 1)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
