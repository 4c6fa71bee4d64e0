#include "upgrade/handover.h"

#include <cstdio>
#include <cstring>

#include "platform/process/process.h"
#include "server/client_table.h"
#include "server/lifecycle.h"
#include "server/protocol/departures.h"
#include "streams/output.h"

namespace {

template <std::size_t N, std::size_t M>
void copyText(char (&to)[N], const char (&from)[M]) {
    static_assert(N == M);
    std::memcpy(to, from, N);
    to[N - 1] = 0;
}

void report(const char* text) {
    Line line;
    lineStart(line);
    lineAdd(line, "Taking over: ");
    lineAdd(line, text);
    lineWrite(line, Stream::Err);
}

void reportSocket(const char* what, Socket s, const char* effect) {
    Line line;
    lineStart(line);
    lineAdd(line, "Taking over: ");
    lineAdd(line, what);
    lineAdd(line, " (descriptor ");
    lineAddUnsigned(line, s);
    lineAdd(line, ") ");
    lineAdd(line, effect);
    lineWrite(line, Stream::Err);
}

bool heldBy(const GameServer& server, Socket s) {
    if (s == server.listenSocket) return true;
    for (const auto& c : server.clients)
        if (c.sock == s) return true;
    return false;
}

// A socket that cannot be trusted is closed, unless it is no socket at all
// (then it is not the server's) or one the server keeps.
void closeUntrusted(const GameServer& server, Socket s) {
    InheritedSocket kind = inspectInheritedSocket(s);
    if (kind != InheritedSocket::NotASocket && !heldBy(server, s)) netClose(s);
}

void restoreListener(const HandoverState& state, GameServer& server, long long now) {
    server.listenerRestsUntilMs = state.listenerRestMsLeft > 0 ? now + state.listenerRestMsLeft : 0;
    if (state.listenSocket == kInvalidSocket) return;
    if (inspectInheritedSocket(state.listenSocket) != InheritedSocket::Listening) {
        reportSocket("the listener", state.listenSocket, "is no listening TCP socket: it is opened anew.");
        return;
    }
    // The mode belongs to the socket, not to the program: set as the server
    // works with it.
    netSetNonBlocking(state.listenSocket, false);
    server.listenSocket = state.listenSocket;
}

// The drain's deadline holds across the upgrade; the start time and the
// totals go on.
void restoreFleet(const HandoverState& state, GameServer& server, long long now) {
    server.draining = state.draining;
    server.drainEndsAtMs = state.draining != 0 ? now + state.drainMsLeft : 0;
    if (state.startedAtMs > 0) server.startedAtSeconds = static_cast<double>(state.startedAtMs) / 1000.0;
    setOutputLinesDroppedTotal(state.consoleLinesDropped);
    for (std::size_t i = 0; i < kCounterCount; ++i)
        server.counters.value[i].store(state.counters[i], std::memory_order_relaxed);
}

// Where a failure can still be handed back, nothing is left out: the first
// socket that is not what the state says is the reason to hand back.
bool socketsAsStated(const HandoverState& state, char* why, std::size_t whySize) {
    if (state.listenSocket != kInvalidSocket &&
        inspectInheritedSocket(state.listenSocket) != InheritedSocket::Listening) {
        std::snprintf(why, whySize, "the listener (descriptor %llu) is no listening TCP socket",
                      static_cast<unsigned long long>(state.listenSocket));
        return false;
    }
    for (std::uint32_t i = 0; i < state.clientCount; ++i) {
        if (inspectInheritedSocket(state.clients[i].sock) == InheritedSocket::Connected) continue;
        std::snprintf(why, whySize, "a client's socket (descriptor %llu) is no TCP connection",
                      static_cast<unsigned long long>(state.clients[i].sock));
        return false;
    }
    return true;
}

}  // namespace

void captureServer(const GameServer& server, bool onlylan, HandoverState& state) {
    long long now = monotonicMs();
    copyText(state.name, server.name);
    state.port = server.port;
    state.maxPlayers = server.maxPlayers.load();
    state.onlylan = onlylan ? 1 : 0;
    copyText(state.password, server.password);
    state.listenSocket = server.listenSocket;
    state.listenerRestMsLeft = server.listenerRestsUntilMs > now ? server.listenerRestsUntilMs - now : 0;

    static_cast<CarriedLobby&>(state) = server;

    state.clientCount = 0;
    for (const auto& c : server.clients) state.clients[state.clientCount++] = c;

    state.draining = server.draining.load();
    long long drainLeft = server.drainEndsAtMs.load() - now;
    state.drainMsLeft = state.draining != 0 && drainLeft > 0 ? drainLeft : 0;
    state.startedAtMs = static_cast<std::int64_t>(server.startedAtSeconds.load() * 1000.0);
    state.consoleLinesDropped = outputLinesDroppedTotal();
    for (std::size_t i = 0; i < kCounterCount; ++i) state.counters[i] = countOf(server.counters, static_cast<Counter>(i));
}

void captureList(const MasterListState& list, HandoverState& state) {
    state.listRegistered = list.registered.load();
    // Once resolved, the host no longer changes; before, the request that
    // resolves it may be under way, and the new program looks it up again.
    state.listRedirectResolved = list.redirectResolved.load(std::memory_order_acquire);
    std::memset(state.listHost, 0, sizeof state.listHost);
    if (state.listRedirectResolved) std::memcpy(state.listHost, list.host, strnlen(list.host, sizeof list.host - 1));
    const AnnounceProgress& progress = list.progress;
    state.announcedCount = progress.announcedCount.load();
    state.checksSinceAnnounce = progress.checksSinceAnnounce.load();
    long long left = progress.nextCheckMs.load() - monotonicMs();
    state.nextCheckMsLeft = left > 0 ? left : 0;
    state.listRequestUnderWay = progress.requestUnderWay.load();
}

GameServer* restoreServer(HandoverState& state, bool strict, LeftOut& leftOut, char* why, std::size_t whySize) {
    std::memset(&leftOut, 0, sizeof leftOut);
    if (strict && !socketsAsStated(state, why, whySize)) return nullptr;
    GameServer* server = createServer(state.name, state.port, state.maxPlayers);
    copyText(server->password, state.password);
    static_cast<CarriedLobby&>(*server) = state;

    for (int i = 0; i < state.problemCount; ++i) report(state.problems[i]);
    long long now = monotonicMs();
    restoreListener(state, *server, now);
    restoreFleet(state, *server, now);

    auto leave = [&leftOut](Socket sock, std::uint8_t id) {
        leftOut.gone[id] = id != 0;
        if (sock != kInvalidSocket) leftOut.sockets[leftOut.socketCount++] = sock;
    };
    for (std::uint32_t i = 0; i < state.refusedCount; ++i) leave(state.refused[i].sock, state.refused[i].id);
    for (std::uint32_t i = 0; i < state.clientCount; ++i) {
        const CarriedClient& k = state.clients[i];
        if (inspectInheritedSocket(k.sock) != InheritedSocket::Connected) {
            reportSocket("a client's socket", k.sock, "is no TCP connection: the client is left out.");
            leave(k.sock, k.id);
            continue;
        }
        ClientConnection* c = appendClient(*server, k.sock, k.id);
        if (!c) {
            if (strict) {
                std::snprintf(why, whySize, "a client (ID %d) finds no memory", k.id);
                return nullptr;
            }
            reportSocket("a client", k.sock, "finds no memory: it is left out.");
            leave(k.sock, k.id);
            continue;
        }
        server->idInUse[k.id] = 1;
        static_cast<CarriedClient&>(*c) = k;
        netSetNonBlocking(k.sock, true);
        netSetNoDelay(k.sock);
    }
    if (state.listenSocket != kInvalidSocket && server->listenSocket == kInvalidSocket)
        leave(state.listenSocket, 0);
    leftOut.host = state.hostLeftOut;
    if (server->hostId != 0 && !findClientById(*server, server->hostId)) {
        leftOut.host = server->hostId;
        server->hostId = 0;
    }
    // The host is the one record the lobby names, and only that one; a host
    // left out hands the role on in the first pass (leftOut.host).
    for (auto& c : server->clients) c.isHost = c.id == server->hostId ? 1 : 0;
    for (const auto& c : server->clients) server->playerCount += c.authenticated != 0 ? 1 : 0;
    return server;
}

void tellOfLeftOut(GameServer& server, const LeftOut& leftOut) {
    for (std::uint32_t i = 0; i < leftOut.socketCount; ++i) closeUntrusted(server, leftOut.sockets[i]);
    for (int id = 1; id <= kMaxClientId; ++id) {
        if (!leftOut.gone[id] || findClientById(server, static_cast<std::uint8_t>(id))) continue;
        tellOfDeparture(server, static_cast<std::uint8_t>(id), id == leftOut.host);
    }
    if (server.clients.empty()) resetLobby(server);
}

void keepRestoredSockets(GameServer& server) {
    if (server.listenSocket != kInvalidSocket) keepInheritedSocket(server.listenSocket);
    for (const auto& c : server.clients) keepInheritedSocket(c.sock);
}

void restoreList(const HandoverState& state, MasterListState& list) {
    list.registered = state.listRegistered;
    if (state.listRedirectResolved) {
        std::memset(list.host, 0, sizeof list.host);
        std::memcpy(list.host, state.listHost, strnlen(state.listHost, sizeof list.host - 1));
        list.redirectResolved = 1;
    }
}

AnnounceStart announceStartFrom(const HandoverState& state, const AnnounceSchedule& schedule) {
    AnnounceStart start{AnnounceCounters{state.announcedCount, state.checksSinceAnnounce},
                        state.nextCheckMsLeft < schedule.pauseMs ? state.nextCheckMsLeft : schedule.pauseMs};
    if (state.listRequestUnderWay) {
        // Whether that add arrived is unknown: it goes out again soon.
        start.counters.checksSinceAnnounce = schedule.refreshChecks;
        start.firstDelayMs = schedule.firstDelayMs;
    }
    return start;
}
