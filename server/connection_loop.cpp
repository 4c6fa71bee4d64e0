#include "server/connection_loop.h"

#include <cstring>

#include "platform/network/error_text.h"
#include "platform/network/graceful_close.h"
#include "server/client_table.h"
#include "server/protocol/departures.h"
#include "server/protocol/parser.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

namespace {

void raiseMaxSocket(GameServer& server, Socket s) {
    if (s > server.maxSocket) server.maxSocket = static_cast<std::uint32_t>(s);
}

void reportError(const char* prefix, int code) { writeLine(Stream::Err, socketErrorMessage(code, prefix)); }

// How long select may wait: until the first login deadline or the end of the
// listener's rest, or for ever.
long long waitLimitMs(const GameServer& server) {
    long long first = server.listenerRestsUntilMs != 0 ? server.listenerRestsUntilMs : -1;
    for (const auto& c : server.clients)
        if (c.authenticated == 0 && (first < 0 || c.loginDeadlineMs < first)) first = c.loginDeadlineMs;
    if (first < 0) return -1;
    long long left = first - monotonicMs();
    return left > 0 ? left : 0;
}

// False when the accept failed.
bool acceptOne(GameServer& server, Socket listener) {
    PeerAddress peer;
    Socket s = netAccept(listener, &peer);
    if (s == kInvalidSocket) {
        reportError("accept() failed", 0);
        return false;
    }
    Line line;
    lineStart(line);
    lineAdd(line, "Accepted connection from ");
    lineAdd(line, peer.ip);
    lineAdd(line, ":");
    lineAddUnsigned(line, peer.port);
    lineAdd(line, ", socket ");
    lineAddUnsigned(line, s);
    lineAdd(line, ".");
    lineWrite(line, Stream::Out);

    // One machine must not hold every ID with connections that never log in.
    if (pendingLoginsFrom(server, peer.ip) >= kMaxPendingLoginsPerAddress) {
        lineStart(line);
        lineAdd(line, "Too many connections from ");
        lineAdd(line, peer.ip);
        lineAdd(line, " without login, connection closed.");
        lineWrite(line, Stream::Out);
        netClose(s);
        return true;
    }

    std::uint8_t id = allocateClientId(server);
    if (id == 0) {
        writeLine(Stream::Out, "All client IDs are taken, connection closed.");
        netClose(s);
        return true;
    }
    lineStart(line);
    lineAdd(line, "number of clients: ");
    lineAddUnsigned(line, clientCount(server) + 1);
    lineWrite(line, Stream::Out);
    lineStart(line);
    lineAdd(line, "Client ID ");
    lineAddInt(line, id);
    lineWrite(line, Stream::Out);

    ClientConnection* client = appendClient(server, s, id);
    if (!client) {
        writeLine(Stream::Out, "Out of memory for another client, connection closed.");
        releaseClientId(server, id);
        netClose(s);
        return true;
    }
    std::memcpy(client->peerIp, peer.ip, sizeof client->peerIp);
    count(server.counters, Counter::ConnectionsAccepted);
    if (clientCount(server) + 1 > 64)
        writeLine(Stream::Out,
                  "WARNING: More than 63 client connections accepted.  This will not work reliably on some Winsock "
                  "stacks!");
    netSetNonBlocking(s, true);
    // Relayed frames are small and real-time: no waiting to fill a segment.
    netSetNoDelay(s);
    // The handle may be one a client closed earlier in this pass; the new
    // connection is first watched in the next pass.
    socketSetRemove(server.readSet, s);
    socketSetRemove(server.writeSet, s);
    socketSetRemove(server.exceptSet, s);
    return true;
}

// The failure path: the error line, if the failed read or write (or the
// socket) has an error to tell, then the close.
void failClient(GameServer& server, ClientConnection& c, const char* failure) {
    int code = c.failCode != 0 ? c.failCode : netPendingError(c.sock);
    if (code != 0) reportError(failure, code);
    closeClient(server, c);
}

void scanClients(GameServer& server) {
    for (std::size_t i = 0; i < server.clients.size(); ++i) {
        ClientConnection& c = server.clients[i];
        bool keep = true;
        const char* failure = nullptr;
        if (socketSetHas(server.exceptSet, c.sock)) {
            failure = "General socket error";
            socketSetRemove(server.exceptSet, c.sock);
            keep = false;
        } else {
            if (socketSetHas(server.readSet, c.sock)) {
                keep = readData(server, c);
                failure = "Read error";
                socketSetRemove(server.readSet, c.sock);
            }
            if (keep && socketSetHas(server.writeSet, c.sock)) {
                keep = flushSendBuffer(server, c);
                failure = "Write error";
                socketSetRemove(server.writeSet, c.sock);
            }
        }
        if (keep) continue;
        failClient(server, c, failure);
        i = static_cast<std::size_t>(-1);  // the table changed: walk it again from the start
    }
}

// Frames relayed in this pass go out now, not a pass later when select has
// reported the socket writable. What the socket does not take waits for that
// as before.
void flushFilledBuffers(GameServer& server) {
    forEachClientClosing(server, [&server](ClientConnection& c) {
        if (c.flushPending == 0) return;
        c.flushPending = 0;
        if (!flushSendBuffer(server, c)) failClient(server, c, "Write error");
    });
}

// Connections that never logged in must not hold IDs and slots for ever.
void closeLateLogins(GameServer& server) {
    long long now = monotonicMs();
    forEachClientClosing(server, [&server, now](ClientConnection& c) {
        if (c.authenticated != 0 || c.loginDeadlineMs > now) return;
        c.closeCause = Counter::DisconnectsLoginTimeout;
        closeClient(server, c);
    });
}

// What the pass leaves for those who read without the lock.
void notePass(GameServer& server, Socket watched) {
    server.connectionCount = static_cast<std::int32_t>(server.clients.size());
    server.listening = watched != kInvalidSocket || server.listenerRestsUntilMs != 0 ? 1 : 0;
    server.songRunningSeen = server.songRunning;
}

void stopCleanUp(GameServer& server) {
    while (!server.clients.empty()) {
        Socket s = server.clients.front().sock;
        int code = netPendingError(s);
        if (code != 0) reportError("Closing connection at stop", code);
        count(server.counters, Counter::DisconnectsStop);
        releaseConnection(s, kCloseDrainReceives);
        removeClientAt(server, 0);
    }
}

}  // namespace

void setupFdSets(GameServer& server, Socket listener, SocketSet& readSet, SocketSet& writeSet, SocketSet& exceptSet) {
    socketSetClear(readSet);
    socketSetClear(writeSet);
    socketSetClear(exceptSet);
    if (listener != kInvalidSocket) {
        socketSetAdd(readSet, listener);
        socketSetAdd(exceptSet, listener);
        raiseMaxSocket(server, listener);
    }
    for (const auto& c : server.clients) {
        if (c.recvLen < kBufferSize) socketSetAdd(readSet, c.sock);
        if (c.sendLen > 0) socketSetAdd(writeSet, c.sock);
        socketSetAdd(exceptSet, c.sock);
        raiseMaxSocket(server, c.sock);
    }
}

LoopEnd acceptConnections(GameServer& server, Socket listener) {
    std::unique_lock<std::mutex> table(server.tableLock);
    while (server.stopFlag.load() == 0) {
        if (server.listenerRestsUntilMs != 0 && monotonicMs() >= server.listenerRestsUntilMs)
            server.listenerRestsUntilMs = 0;
        Socket watched = server.listenerRestsUntilMs == 0 ? listener : kInvalidSocket;
        setupFdSets(server, watched, server.readSet, server.writeSet, server.exceptSet);
        long long limit = waitLimitMs(server);
        table.unlock();
        int ready = netSelect(server.maxSocket + 1, &server.readSet, &server.writeSet, &server.exceptSet, limit,
                              &server.waker);
        table.lock();
        server.lastPassMs = monotonicMs();
        if (ready < 0) {
            reportError("select() failed", 0);
            return LoopEnd::Failed;
        }
        carryOutKicks(server);
        if (socketSetHas(server.readSet, listener)) {
            // A failure that lasts (no handles left, say) must neither spin
            // nor stop serving the clients: only the listener rests.
            if (!acceptOne(server, listener)) server.listenerRestsUntilMs = monotonicMs() + kAcceptPauseMs;
        } else if (socketSetHas(server.exceptSet, listener)) {
            reportError("Exception on listening socket", netPendingError(listener));
            return LoopEnd::Failed;
        }
        scanClients(server);
        closeLateLogins(server);
        flushFilledBuffers(server);
        notePass(server, watched);
    }
    stopCleanUp(server);
    server.listening = 0;
    countPlayers(server, -server.playerCount.load());
    server.connectionCount = 0;
    return LoopEnd::Stopped;
}
