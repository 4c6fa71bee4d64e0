// A socket given to another process, as the keeper's servers hand over: the
// giver describes it for the process that is to take it, which makes its own
// descriptor of the same socket from that. Both descriptors share everything
// (buffered data, options, the blocking mode) until one is closed; closing
// one leaves the socket to the other. The giver must never shut it down.
// Windows Sockets does this (socket_share_win.cpp); elsewhere it reports that
// it cannot.
#pragma once

#include <cstdint>

#include "platform/network/socket.h"

struct SharedSocket {
    std::uint8_t bytes[640];
};

// False with the Windows Sockets error code where it cannot be described.
bool shareSocket(Socket s, std::uint32_t targetPid, SharedSocket& shared, int* error);
// kInvalidSocket with the error code where the description makes no socket.
Socket adoptSharedSocket(const SharedSocket& shared, int* error);
