#include "server/connection_loop.h"

#include "net/error_text.h"
#include "net/graceful_close.h"
#include "net/output.h"
#include "server/client_table.h"
#include "server/protocol/departures.h"
#include "server/protocol/framing.h"

namespace {

void raiseMaxSocket(GameServer& server, Socket s) {
    if (s > server.maxSocket) server.maxSocket = static_cast<std::uint32_t>(s);
}

void reportError(const char* prefix, int code) { writeLine(Stream::Err, socketErrorMessage(code, prefix)); }

// How long select may wait: until the first login deadline, or for ever.
long long waitLimitMs(const GameServer& server) {
    long long first = -1;
    for (const auto& c : server.clients)
        if (c.authenticated == 0 && (first < 0 || c.loginDeadlineMs < first)) first = c.loginDeadlineMs;
    if (first < 0) return -1;
    long long left = first - monotonicMs();
    return left > 0 ? left : 0;
}

// False when the pass has to end (accept failed).
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

    if (!appendClient(server, s, id)) {
        writeLine(Stream::Out, "Out of memory for another client, connection closed.");
        releaseClientId(server, id);
        netClose(s);
        return true;
    }
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
        int code = netPendingError(c.sock);
        if (code != 0) reportError(failure, code);
        closeClient(server, c);
        i = static_cast<std::size_t>(-1);  // the table changed: walk it again from the start
    }
}

// Connections that never logged in must not hold IDs and slots for ever.
void closeLateLogins(GameServer& server) {
    long long now = monotonicMs();
    for (std::size_t i = 0; i < server.clients.size(); ++i) {
        ClientConnection& c = server.clients[i];
        if (c.authenticated != 0 || c.loginDeadlineMs > now) continue;
        closeClient(server, c);
        i = static_cast<std::size_t>(-1);
    }
}

void stopCleanUp(GameServer& server) {
    while (!server.clients.empty()) {
        Socket s = server.clients.front().sock;
        int code = netPendingError(s);
        if (code != 0) reportError("Closing connection at stop", code);
        releaseConnection(s);
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
        setupFdSets(server, listener, server.readSet, server.writeSet, server.exceptSet);
        long long limit = waitLimitMs(server);
        table.unlock();
        int ready = netSelect(server.maxSocket + 1, &server.readSet, &server.writeSet, &server.exceptSet, limit,
                              &server.waker);
        table.lock();
        if (ready < 0) {
            reportError("select() failed", 0);
            return LoopEnd::Failed;
        }
        if (socketSetHas(server.readSet, listener)) {
            if (!acceptOne(server, listener)) return LoopEnd::Failed;
        } else if (socketSetHas(server.exceptSet, listener)) {
            reportError("Exception on listening socket", netPendingError(listener));
            return LoopEnd::Failed;
        }
        scanClients(server);
        closeLateLogins(server);
    }
    stopCleanUp(server);
    return LoopEnd::Stopped;
}
