#include "platform/network/socket_share.h"

#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

static_assert(sizeof(WSAPROTOCOL_INFOW) <= sizeof(SharedSocket::bytes), "a description fits");

bool shareSocket(Socket s, std::uint32_t targetPid, SharedSocket& shared, int* error) {
    WSAPROTOCOL_INFOW info{};
    if (WSADuplicateSocketW(static_cast<SOCKET>(s), targetPid, &info) != 0) {
        *error = WSAGetLastError();
        return false;
    }
    std::memset(shared.bytes, 0, sizeof shared.bytes);
    std::memcpy(shared.bytes, &info, sizeof info);
    return true;
}

Socket adoptSharedSocket(const SharedSocket& shared, int* error) {
    WSAPROTOCOL_INFOW info{};
    std::memcpy(&info, shared.bytes, sizeof info);
    // Made as the server makes its own sockets: overlapped, and inherited by
    // no program it starts.
    SOCKET s = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return kInvalidSocket;
    }
    return static_cast<Socket>(s);
}
