#include "masterlist/master_list.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "masterlist/bounded_lookup.h"
#include "server/game_server.h"
#include "streams/output.h"

#ifndef GAMESERVER_MASTER_HOST
#define GAMESERVER_MASTER_HOST "masterlist.example.net"
#endif

namespace {

// Holds a reference on the socket library for one operation.
struct LibraryReference {
    LibraryReference() { netStartup(); }
    ~LibraryReference() { netCleanup(); }
    LibraryReference(const LibraryReference&) = delete;
    LibraryReference& operator=(const LibraryReference&) = delete;
};

// One request's turn on the list, taken for as long as the object lives;
// waitMs below 0 waits for it as long as it takes.
class RequestTurn {
public:
    RequestTurn(MasterListState& list, int waitMs) : list_(list) {
        if (waitMs < 0) {
            list_.turn.acquire();
            held_ = true;
        } else {
            held_ = list_.turn.try_acquire_for(std::chrono::milliseconds(waitMs));
        }
    }
    ~RequestTurn() {
        if (held_) list_.turn.release();
    }
    RequestTurn(const RequestTurn&) = delete;
    RequestTurn& operator=(const RequestTurn&) = delete;
    bool held() const { return held_; }

private:
    MasterListState& list_;
    bool held_ = false;
};

// A point on the monotonic clock, in milliseconds, by which a request ends.
using RequestDeadline = long long;

RequestDeadline requestDeadline(int limitMs) { return monotonicMs() + limitMs; }

// The next wait: waitMs, or what is left of the request if that is less.
// 0 when nothing is left.
int nextWaitMs(int waitMs, RequestDeadline deadline) {
    long long left = deadline - monotonicMs();
    if (left <= 0) return 0;
    return left < waitMs ? static_cast<int>(left) : waitMs;
}

// Bounds the next send or receive on s; false when the request has no time left.
bool boundNextWait(Socket s, int waitMs, RequestDeadline deadline) {
    int ms = nextWaitMs(waitMs, deadline);
    return ms > 0 && netSetIoTimeout(s, ms) == 0;
}

bool sendAll(Socket s, const char* request, std::size_t len, int waitMs, RequestDeadline deadline) {
    return boundNextWait(s, waitMs, deadline) && netSend(s, request, len) == static_cast<int>(len);
}

// One request and one answer whose content does not matter (add, delete).
bool exchange(Socket s, const char* request, std::size_t len, int waitMs, RequestDeadline deadline) {
    char answer[256];
    bool ok = sendAll(s, request, len, waitMs, deadline) && boundNextWait(s, waitMs, deadline) &&
              netRecv(s, answer, sizeof answer) >= 0;
    netClose(s);
    return ok;
}

// printf into a fixed area; false when the result would not fit.
template <typename... Args>
bool format(char* area, std::size_t size, std::size_t* len, const char* fmt, Args... args) {
    int n = std::snprintf(area, size, fmt, args...);
    if (n < 0 || static_cast<std::size_t>(n) >= size) return false;
    *len = static_cast<std::size_t>(n);
    return true;
}

void encodeName(const char* name, char* encoded, std::size_t size) {
    char copy[65] = {};
    std::strncpy(copy, name, 64);
    std::memset(encoded, 0, size);
    std::size_t out = 0;
    for (const char* p = copy; *p; ++p) {
        const char* piece = *p == ' ' ? "%20" : nullptr;
        std::size_t n = piece ? 3 : 1;
        if (out + n >= size) break;  // 63 characters always fit; this only guards the area
        if (piece) std::memcpy(encoded + out, piece, 3);
        else encoded[out] = *p;
        out += n;
    }
}

// A connected socket to the list's host and port, or kInvalidSocket. The
// lookup and each connect wait at most the list's wait, and none past the
// deadline.
Socket connectMasterHost(const MasterListState& list, RequestDeadline deadline) {
    const int waitMs = list.limits.waitMs;
    Ipv4Address addrs[kMaxListAddresses];
    int count = resolveWithin(list.host, addrs, kMaxListAddresses, nextWaitMs(waitMs, deadline));
    if (count < 0) {
        writeLine(Stream::Out, "could not resolve host");
        return kInvalidSocket;
    }
    // A socket whose connect failed is not reliably reusable here: a fresh
    // one for each address.
    for (int i = 0; i < count; ++i) {
        int ms = nextWaitMs(waitMs, deadline);
        if (ms <= 0) break;
        Socket s = netTcpSocket();
        if (s == kInvalidSocket) return kInvalidSocket;
        if (netConnect(s, addrs[i], list.limits.httpPort, ms) == 0) return s;
        netClose(s);
    }
    return kInvalidSocket;
}

// Fetches the root page and takes the list's real host from its first link.
// With the turn held.
void findListHost(MasterListState& list) {
    LibraryReference library;
    char area[1024];
    std::size_t len;
    if (!format(area, sizeof area, &len, "GET / HTTP/1.1\r\nHost: %s\r\n\r\n", list.host)) return;
    RequestDeadline deadline = requestDeadline(list.limits.requestLimitMs);
    Socket s = connectMasterHost(list, deadline);
    if (s == kInvalidSocket) return;
    if (!sendAll(s, area, len, list.limits.waitMs, deadline)) {
        netClose(s);
        return;
    }
    std::string page;
    // The whole page gets one wait, within the request's limit.
    RequestDeadline pageDeadline = std::min(deadline, requestDeadline(list.limits.waitMs));
    for (;;) {
        if (!boundNextWait(s, list.limits.waitMs, pageDeadline)) break;  // the time ran out: take what came
        int n = netRecv(s, area, 128);
        if (n == 0) break;
        if (n < 0) {
            if (netWaitTimedOut(netLastError())) break;  // the wait ran out: take what came
            netClose(s);
            return;
        }
        page.append(area, static_cast<std::size_t>(n));
        if (pageComplete(page.data(), page.size()) || page.size() >= kPageSizeLimit) break;
    }
    netClose(s);
    hostFromPage(page.c_str(), list.host, sizeof list.host);
}

// The list's real host, looked for once. With the turn held.
void resolveMasterHost(MasterListState& list) {
    findListHost(list);
    // Once and for all, whether it found a host or not; from now on host
    // stays as it is.
    list.redirectResolved.store(1, std::memory_order_release);
}

}  // namespace

const char* defaultMasterHost() { return GAMESERVER_MASTER_HOST; }

MasterListState* createMasterList(const char* host, const ListLimits& limits) {
    auto* list = new MasterListState();
    std::strncpy(list->host, host, sizeof list->host - 1);
    list->limits = limits;
    return list;
}

int registerServer(MasterListState& list, const char* name, std::uint32_t port, std::int32_t players,
                   std::int32_t maxPlayers, float version) {
    if (port > 65535) {
        writeLine(Stream::Err, "port must be a number between 0 and 65535");
        return -1;
    }
    RequestTurn turn(list, -1);
    if (list.deleted) return -1;
    if (!list.redirectResolved) resolveMasterHost(list);
    LibraryReference library;
    char encodedName[192];
    encodeName(name, encodedName, sizeof encodedName);
    char request[256];
    std::size_t len;
    if (!format(request, sizeof request, &len,
                "GET /add.php?name=%s&port=%d&players=%d&maxplayers=%d&version=%f HTTP/1.1\r\nHost: %s\r\n\r\n",
                encodedName, static_cast<int>(port), players, maxPlayers, static_cast<double>(version), list.host))
        return -1;
    RequestDeadline deadline = requestDeadline(list.limits.requestLimitMs);
    Socket s = connectMasterHost(list, deadline);
    if (s == kInvalidSocket || !exchange(s, request, len, list.limits.waitMs, deadline)) return -1;
    list.registered = 1;
    return 0;
}

int unregisterServer(MasterListState& list) {
    RequestTurn turn(list, kStopWaitMs);
    if (!turn.held()) return -1;
    list.deleted = 1;
    if (!list.registered) return 0;
    LibraryReference library;
    char request[256];
    std::size_t len;
    if (!format(request, sizeof request, &len, "GET /delete.php HTTP/1.1\r\nHost: %s\r\n\r\n", list.host)) return -1;
    RequestDeadline deadline = requestDeadline(list.limits.requestLimitMs);
    Socket s = connectMasterHost(list, deadline);
    if (s == kInvalidSocket || !exchange(s, request, len, list.limits.waitMs, deadline)) return -1;
    list.registered = 0;
    return 0;
}
