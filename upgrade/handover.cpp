#include "upgrade/handover.h"

#include <cstring>

#include "net/output.h"
#include "net/process.h"
#include "server/client_table.h"
#include "server/lifecycle.h"
#include "server/protocol/packets.h"
#include "server/protocol/send_queue.h"

namespace {

template <std::size_t N, std::size_t M>
void copyText(char (&to)[N], const char (&from)[M]) {
    static_assert(N == M);
    std::memcpy(to, from, N);
    to[N - 1] = 0;
}

void captureClient(const ClientConnection& c, long long now, HandoverClient& k) {
    std::memset(&k, 0, sizeof k);
    k.sock = c.sock;
    k.id = c.id;
    copyText(k.name, c.name);
    k.gatedFlag = c.gatedFlag;
    k.songFlag = c.songFlag;
    k.startVote = c.startVote;
    k.streamOptIn = c.streamOptIn;
    k.isHost = c.isHost;
    k.authenticated = c.authenticated;
    k.kickRequested = c.kickRequested;
    k.playerValue = c.playerValue;
    k.loginMsLeft = c.loginDeadlineMs > now ? c.loginDeadlineMs - now : 0;
    copyText(k.peerIp, c.peerIp);
    k.recvLen = c.recvLen;
    std::memcpy(k.recvBuf, c.recvBuf, static_cast<std::size_t>(c.recvLen));
    k.sendLen = c.sendLen;
    std::memcpy(k.sendBuf, c.sendBuf, c.sendLen);
    k.dropReportAgoMs = c.dropReportMs != 0 ? now - c.dropReportMs : -1;
    k.dropsUnreported = c.dropsUnreported;
}

void restoreClient(const HandoverClient& k, long long now, ClientConnection& c) {
    std::memcpy(c.name, k.name, sizeof c.name);
    c.gatedFlag = k.gatedFlag;
    c.songFlag = k.songFlag;
    c.startVote = k.startVote;
    c.streamOptIn = k.streamOptIn;
    c.authenticated = k.authenticated;
    c.kickRequested = k.kickRequested;
    c.playerValue = k.playerValue;
    c.loginDeadlineMs = now + k.loginMsLeft;
    std::memcpy(c.peerIp, k.peerIp, sizeof c.peerIp);
    c.recvLen = k.recvLen;
    std::memcpy(c.recvBuf, k.recvBuf, static_cast<std::size_t>(k.recvLen));
    c.sendLen = k.sendLen;
    std::memcpy(c.sendBuf, k.sendBuf, k.sendLen);
    // A drop line within the last second still holds the next one back.
    bool recent = k.dropReportAgoMs >= 0 && k.dropReportAgoMs < kDropReportIntervalMs;
    c.dropReportMs = recent ? (now - k.dropReportAgoMs != 0 ? now - k.dropReportAgoMs : 1) : 0;
    c.dropsUnreported = k.dropsUnreported;
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
    keepInheritedSocket(state.listenSocket);
    // The mode belongs to the socket, not to the program: set as the server
    // works with it.
    netSetNonBlocking(state.listenSocket, false);
    server.listenSocket = state.listenSocket;
}

// The clients that were left out have gone, as far as the others know: they
// are told, and the host role moves on as when a host leaves.
void tellOfLeftOut(GameServer& server, const HandoverState& state, const bool (&gone)[256]) {
    std::uint8_t packet[2];
    for (int id = 1; id <= kMaxClientId; ++id) {
        if (!gone[id] || findClientById(server, static_cast<std::uint8_t>(id))) continue;
        for (auto& c : server.clients) {
            packet[0] = kPlayerLeft;
            packet[1] = static_cast<std::uint8_t>(id);
            queuePacket(server, c, packet);
        }
    }
    if (state.hostId == 0 || findClientById(server, state.hostId)) return;
    if (server.clients.empty()) {
        resetLobby(server);
        return;
    }
    server.hostId = server.clients.front().id;
    server.clients.front().isHost = 1;
    for (auto& c : server.clients) {
        packet[0] = kHostAssigned;
        packet[1] = server.hostId;
        queuePacket(server, c, packet);
    }
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

    state.hostId = server.hostId;
    state.songId = server.songId;
    copyText(state.songName, server.songName);
    state.songArg1 = server.songArg1;
    state.songArg2 = server.songArg2;
    state.songArg3 = server.songArg3;
    state.lobbyValue = server.lobbyValue;
    state.songRunning = server.songRunning;
    state.songStartTime = server.songStartTime;

    state.clientCount = 0;
    for (const auto& c : server.clients) captureClient(c, now, state.clients[state.clientCount++]);
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

GameServer* restoreServer(HandoverState& state) {
    GameServer* server = createServer(state.name, state.port, state.maxPlayers);
    copyText(server->password, state.password);
    server->hostId = state.hostId;
    server->songId = state.songId;
    copyText(server->songName, state.songName);
    server->songArg1 = state.songArg1;
    server->songArg2 = state.songArg2;
    server->songArg3 = state.songArg3;
    server->lobbyValue = state.lobbyValue;
    server->songRunning = state.songRunning;
    server->songStartTime = state.songStartTime;

    for (int i = 0; i < state.problemCount; ++i) report(state.problems[i]);
    long long now = monotonicMs();
    restoreListener(state, *server, now);

    bool gone[256] = {};
    for (std::uint32_t i = 0; i < state.clientCount; ++i) {
        const HandoverClient& k = state.clients[i];
        if (inspectInheritedSocket(k.sock) != InheritedSocket::Connected) {
            reportSocket("a client's socket", k.sock, "is no TCP connection: the client is left out.");
            gone[k.id] = true;
            continue;
        }
        ClientConnection* c = appendClient(*server, k.sock, k.id);
        if (!c) {
            reportSocket("a client", k.sock, "finds no memory: it is left out.");
            gone[k.id] = true;
            continue;
        }
        server->idInUse[k.id] = 1;
        restoreClient(k, now, *c);
        keepInheritedSocket(k.sock);
        netSetNonBlocking(k.sock, true);
        netSetNoDelay(k.sock);
    }
    // Sockets of clients that were left out, as far as the server does not
    // hold them otherwise.
    for (std::uint32_t i = 0; i < state.refusedSocketCount; ++i) closeUntrusted(*server, state.refusedSockets[i]);
    for (std::uint32_t i = 0; i < state.clientCount; ++i)
        if (gone[state.clients[i].id]) closeUntrusted(*server, state.clients[i].sock);
    if (state.listenSocket != kInvalidSocket && server->listenSocket == kInvalidSocket)
        closeUntrusted(*server, state.listenSocket);

    tellOfLeftOut(*server, state, gone);
    // The host is the one record the lobby names, and only that one.
    for (auto& c : server->clients) c.isHost = c.id == server->hostId ? 1 : 0;
    return server;
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
