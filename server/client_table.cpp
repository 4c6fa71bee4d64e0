#include "server/client_table.h"

#include <cstring>
#include <new>

std::uint8_t allocateClientId(GameServer& server) {
    for (int id = 1; id <= kMaxClientId; ++id) {
        if (server.idInUse[id] == 0) {
            server.idInUse[id] = 1;
            return static_cast<std::uint8_t>(id);
        }
    }
    return 0;
}

void releaseClientId(GameServer& server, std::uint8_t id) { server.idInUse[id] = 0; }

ClientConnection* appendClient(GameServer& server, Socket sock, std::uint8_t id) {
    auto& table = server.clients;
    try {
        if (table.size() == table.capacity()) {
            // Grows by half; the records are large and the table is small.
            std::size_t grown = table.capacity() + table.capacity() / 2;
            table.reserve(grown > table.size() + 1 ? grown : table.size() + 1);
        }
        table.emplace_back();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    ClientConnection& c = table.back();
    std::memset(&c, 0, sizeof c);
    c.sock = sock;
    c.id = id;
    c.playerValue = -1;
    c.closeCause = Counter::DisconnectsError;
    c.loginDeadlineMs = monotonicMs() + kLoginTimeoutMs;
    return &c;
}

void countPlayers(GameServer& server, std::int32_t change) {
    if (change == 0) return;
    {
        std::lock_guard<std::mutex> guard(server.stopLock);
        server.playerCount.fetch_add(change);
    }
    server.stopChanged.notify_all();
}

void removeClientAt(GameServer& server, std::size_t index) {
    server.clients.erase(server.clients.begin() + static_cast<std::ptrdiff_t>(index));
}

void removeClientById(GameServer& server, std::uint8_t id) {
    for (std::size_t i = 0; i < server.clients.size(); ++i) {
        if (server.clients[i].id == id) {
            removeClientAt(server, i);
            return;
        }
    }
}

ClientConnection* findClientById(GameServer& server, std::uint8_t id) {
    if (id == 0) return nullptr;
    for (auto& c : server.clients)
        if (c.id == id) return &c;
    return nullptr;
}

std::uint32_t clientCount(const GameServer& server) { return static_cast<std::uint32_t>(server.clients.size()); }

bool failureKeepsConnection(ClientConnection& client) {
    int code = netPendingError(client.sock);
    if (code == kErrWouldBlock) return true;
    client.failCode = code;
    return false;
}

int pendingLoginsFrom(const GameServer& server, const char* ip) {
    int n = 0;
    for (const auto& c : server.clients)
        if (c.authenticated == 0 && std::strcmp(c.peerIp, ip) == 0) ++n;
    return n;
}
