// The socket API the rest of the server talks to. One small set of calls with
// Windows Sockets semantics: error codes are Windows Sockets numbers, socket
// sets hold 64 sockets, select takes three sets. socket_posix.cpp implements it
// on POSIX systems, socket_win.cpp on Windows Sockets; socket_common.cpp and
// socket_set.cpp hold what both share.
#pragma once

#include <cstddef>
#include <cstdint>

using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~Socket(0);

// Windows Sockets error codes the server tests by name.
inline constexpr int kErrWouldBlock = 10035;
inline constexpr int kErrConnReset = 10054;
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrConnRefused = 10061;

// A socket set as select uses it: a count and 64 slots in insertion order.
inline constexpr std::uint32_t kSocketSetSize = 64;
struct SocketSet {
    std::uint32_t count;
    Socket slots[kSocketSetSize];
};

void socketSetClear(SocketSet& set);
// Adding a member again, or adding to a full set, does nothing.
void socketSetAdd(SocketSet& set, Socket s);
// Removing closes the gap; the others keep their order.
void socketSetRemove(SocketSet& set, Socket s);
bool socketSetHas(const SocketSet& set, Socket s);

// Reference-counted start-up and clean-up of the socket library. Returns 0 or
// the library's error code.
int netStartup();
void netCleanup();

// Every call below that fails records the Windows Sockets code of its failure
// as the calling thread's last socket error (netLastError).
int netLastError();
void netSetLastError(int code);

Socket netTcpSocket();
int netBindAny(Socket s, std::uint16_t port);  // 0 or -1
int netListen(Socket s);                       // 0 or -1; the largest backlog
// The local port a socket is bound to (after binding port 0), or -1.
int netLocalPort(Socket s);

struct PeerAddress {
    char ip[16];  // dotted decimal
    std::uint16_t port;
};
Socket netAccept(Socket listener, PeerAddress* peer);

// Byte counts, 0 for a peer that closed (recv), or -1.
int netRecv(Socket s, void* buf, std::size_t len);
// Never raises a signal, whatever state the peer left the connection in.
int netSend(Socket s, const void* buf, std::size_t len);

int netShutdownSend(Socket s);  // 0 or -1
int netClose(Socket s);         // 0 or -1; the handle is gone either way
int netSetNonBlocking(Socket s, bool on);
int netSetNoDelay(Socket s);
// Send and receive on a blocking socket give up after this many milliseconds;
// the call then fails with a code for which netWaitTimedOut holds.
int netSetIoTimeout(Socket s, int milliseconds);
// A wait bounded by netSetIoTimeout ran out: POSIX systems report that as
// would-block, Windows Sockets as timed out.
inline bool netWaitTimedOut(int code) { return code == kErrWouldBlock || code == kErrTimedOut; }

// The socket's pending error (SO_ERROR), read and cleared, as a Windows Sockets
// code. Like Windows Sockets it also reports the failure of the last call made
// on this socket by the calling thread, so a receive that would block reads
// back as kErrWouldBlock.
int netPendingError(Socket s);

// Wakes a thread waiting in netSelect from another thread.
struct NetWaker {
    Socket readEnd;
    Socket writeEnd;
};
bool netWakerOpen(NetWaker& waker);
void netWake(NetWaker& waker);

// Waits until a member of a set is ready, the waker fires, or timeoutMs passes
// (a negative timeoutMs waits without a time-out). On return each set holds
// only its ready members. Returns the number of ready members, 0 when woken or
// timed out, -1 on failure. nfds is accepted for the Windows Sockets form and
// not needed here.
int netSelect(std::uint32_t nfds, SocketSet* readSet, SocketSet* writeSet, SocketSet* exceptSet,
              long long timeoutMs, NetWaker* waker);

// Name resolution for outgoing connections: up to maxAddrs IPv4 addresses of
// a host, in the order the resolver gives them. Returns how many, or -1 when
// the name does not resolve.
struct Ipv4Address {
    std::uint8_t bytes[4];
};
int netResolveIpv4(const char* host, Ipv4Address* addrs, int maxAddrs);
// Binds to one local IPv4 address (all zeros: every address), as netBindAny
// does. 0 or -1.
int netBind(Socket s, const Ipv4Address& addr, std::uint16_t port);
// Connects a blocking TCP socket, waiting at most timeoutMs. 0 or -1.
int netConnect(Socket s, const Ipv4Address& addr, std::uint16_t port, int timeoutMs);
