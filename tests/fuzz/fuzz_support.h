// What the fuzz targets share: a server record with clients on sockets that
// never exist (every send fails at once, nothing leaves the process), and the
// checks that every input must leave true.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "server/client_table.h"
#include "server/game_server.h"
#include "server/lifecycle.h"
#include "server/protocol/packets.h"
#include "streams/output.h"

namespace fuzz {

// Console lines are thrown away: the fuzzer's own output stays readable.
inline void silenceOutput() {
    setOutputSink([](Stream, const char*, std::size_t, void*) {}, nullptr);
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(cond) \
    do {                 \
        if (!(cond)) ::fuzz::fail(#cond); \
    } while (0)

// Handles far above any descriptor: each send and receive fails at once.
inline Socket fakeSocket(std::uint32_t n) { return (Socket(1) << 40) + n; }

inline std::unique_ptr<GameServer> newServer(int maxPlayers) {
    return std::unique_ptr<GameServer>(createServer("fuzz server", 0, maxPlayers));
}

// Appends a client as an accept does; false when no ID is free.
inline bool connectClient(GameServer& server, std::uint32_t& nextSocket) {
    std::uint8_t id = allocateClientId(server);
    if (id == 0) return false;
    return appendClient(server, fakeSocket(nextSocket++), id) != nullptr;
}

// The bytes queued for a client must be whole frames back to back, each as
// long as its id says.
inline void checkQueuedFrames(const ClientConnection& c) {
    FUZZ_CHECK(c.sendLen <= static_cast<std::uint32_t>(kBufferSize));
    std::uint32_t at = 0;
    while (at < c.sendLen) {
        FUZZ_CHECK(at + 2 <= c.sendLen);
        std::uint8_t id = c.sendBuf[at + 1];
        FUZZ_CHECK(id < kPacketIdCount);
        at += 1 + PacketLengthTable[id];
        FUZZ_CHECK(at <= c.sendLen);
    }
}

// The table: IDs unique and marked in use, no other ID marked, buffers within
// bounds, at most one host and it is the one the server names.
inline void checkTable(const GameServer& server) {
    bool seen[256] = {};
    int hosts = 0;
    for (const auto& c : server.clients) {
        FUZZ_CHECK(c.id != 0);
        FUZZ_CHECK(!seen[c.id]);
        seen[c.id] = true;
        FUZZ_CHECK(server.idInUse[c.id] == 1);
        FUZZ_CHECK(c.recvLen >= 0 && c.recvLen <= kBufferSize);
        FUZZ_CHECK(c.name[sizeof c.name - 1] == 0);
        checkQueuedFrames(c);
        if (c.isHost == 1) {
            ++hosts;
            FUZZ_CHECK(c.id == server.hostId);
        }
    }
    for (int id = 1; id < 256; ++id) FUZZ_CHECK((server.idInUse[id] == 1) == seen[id]);
    FUZZ_CHECK(server.idInUse[0] == 0);
    FUZZ_CHECK(hosts <= 1);
    FUZZ_CHECK(server.hostId == 0 || hosts == 1);
    FUZZ_CHECK(server.songName[sizeof server.songName - 1] == 0);
}

// The peers read everything queued for them.
inline void deliverAll(GameServer& server) {
    for (auto& c : server.clients) c.sendLen = 0;
}

}  // namespace fuzz
