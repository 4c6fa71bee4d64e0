// What socket_common.cpp, the platform's socket file (socket_posix.cpp or
// socket_win.cpp) and its select file (select_posix.cpp or select_win.cpp)
// give each other. Nothing outside these files includes it.
#pragma once

#include "socket_system.h"  // the platform's own: posix/ or win/ beside this file

#include "platform/network/socket.h"

// From socket_common.cpp, for every call of the socket API:

// Records the failure of a call on s (kInvalidSocket for a call on no socket)
// as the thread's last error and as the failure netPendingError reports for s.
// Returns -1.
int netFail(Socket s, int code);
// A call on s succeeded (or s is being closed): netPendingError no longer
// reports an earlier failure of a call on it.
void netClearFailure(Socket s);

// The socket address of an IPv4 address and port; Ipv4Address{} is every
// local address.
sockaddr_in netSocketAddress(const Ipv4Address& addr, std::uint16_t port);
void netPeerAddress(const sockaddr_in& addr, PeerAddress& peer);

// From the platform's socket file, to socket_common.cpp and the platform's
// select file:

// Records the failure the system reports for the call just made on s (errno,
// or the Windows Sockets last error) as netFail does. Returns -1.
int platformFail(Socket s);

// Reads and clears the socket's pending error (SO_ERROR) into *code, as a
// Windows Sockets code. False when it cannot be read; *code then tells why.
bool platformTakeSocketError(Socket s, int* code);

// Starts connecting a non-blocking socket. Returns 0 when it is connected at
// once, kConnectUnderWay while the connection is being made (the socket then
// turns writable, or on Windows Sockets exceptional, when that is decided),
// or the Windows Sockets code of the failure.
inline constexpr int kConnectUnderWay = -1;
int platformConnectStart(Socket s, const sockaddr_in& to);
