// POSIX servers keep their sockets across an upgrade in place: nothing is
// given to another process.
#include "platform/network/socket_share.h"

bool shareSocket(Socket, std::uint32_t, SharedSocket&, int* error) {
    *error = 10045;  // WSAEOPNOTSUPP
    return false;
}

Socket adoptSharedSocket(const SharedSocket&, int* error) {
    *error = 10045;
    return kInvalidSocket;
}
