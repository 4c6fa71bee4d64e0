// The server record and the client record.
//
// What the threads share, and what guards it:
//  - tableLock: the client table, every client record's fields other than its
//    send buffer, the lobby and song state, idInUse and the socket sets. The
//    network thread holds it over each pass of the connection loop (never
//    while waiting in select); the console holds it over each command; the
//    announcement thread holds it to read the client count.
//  - sendLock: every client's sendBuf, sendLen and drop tally, and every
//    send. Always taken after tableLock, never the other way round.
//  - stopFlag and maxPlayers: single bytes, atomic. stopFlag is set, and
//    networkDone read and written, under stopLock, so that stopChanged can
//    wake whoever waits for either (the announcement's pause, the stop).
//  - name, port, version, password: written once before the threads start.
//  - counters and the fleet's numbers (playerCount and the others below
//    them): atomics, written by the thread that sees the change and read by
//    the health and metrics endpoint and the orchestrator's client without a
//    lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/network/socket.h"
#include "server/counters.h"

inline constexpr int kBufferSize = 1024;
inline constexpr int kMaxClientId = 255;
// A connection that has not logged in by then is closed.
inline constexpr long long kLoginTimeoutMs = 10000;

// Limits on what one peer can hold or cause.
// Connections from one IPv4 address that may be open without a completed
// login; a further one is closed at once.
inline constexpr int kMaxPendingLoginsPerAddress = 8;
// Receives with which a close takes in what the peer still sends; then the
// socket is closed anyway.
inline constexpr int kCloseDrainReceives = 16;
// After a failed accept the listener rests this long; clients are served on.
inline constexpr long long kAcceptPauseMs = 100;
// Per recipient, at most one line about dropped packets this often; drops in
// between are counted.
inline constexpr long long kDropReportIntervalMs = 1000;

// What an upgrade in place carries of a client to the program that takes
// over: everything but the network thread's notes of the pass under way. A
// field added here is carried once it is also named in walkCarriedClient
// below, the one list that the state's writer and its reader both walk. The
// fields go from the widest to the narrowest, so that the record has no
// padding: every byte of it is a field's, and a test that fills every byte
// finds one that the walk leaves out.
struct CarriedClient {
    Socket sock;
    long long loginDeadlineMs;  // on the monotonic clock (monotonicMs)
    long long dropReportMs;     // when the last drop line was written; 0: none yet
    std::int32_t recvLen;
    std::uint32_t sendLen;
    std::int32_t playerValue;
    std::uint32_t dropsUnreported;  // drops counted since that line
    std::uint8_t id;
    char name[64];
    std::uint8_t recvBuf[kBufferSize];
    std::uint8_t sendBuf[kBufferSize];
    std::uint8_t gatedFlag;
    std::uint8_t songFlag;
    std::uint8_t startVote;
    std::uint8_t streamOptIn;
    std::uint8_t isHost;
    std::uint8_t authenticated;
    std::uint8_t kickRequested;  // kicked from the console; the network thread closes it
    char peerIp[16];             // dotted decimal, for the per-address limit
};
static_assert(std::has_unique_object_representations_v<CarriedClient>,
              "CarriedClient has padding: order its fields from the widest to the narrowest");

// Every carried field in the order the state holds them, each with how it
// travels: a socket, a number of its width, a text field, a buffer with its
// length, a moment on the monotonic clock still to come (a deadline) or
// passed (0: none). Walk is the state's writer or reader; Client is
// CarriedClient, const for the writer.
template <typename Walk, typename Client>
void walkCarriedClient(Walk& w, Client& c) {
    w.socket(c.sock);
    w.number(c.id);
    w.text(c.name);
    w.number(c.gatedFlag);
    w.number(c.songFlag);
    w.number(c.startVote);
    w.number(c.streamOptIn);
    w.number(c.isHost);
    w.number(c.authenticated);
    w.number(c.kickRequested);
    w.number(c.playerValue);
    w.deadline(c.loginDeadlineMs);
    w.text(c.peerIp);
    w.buffer(c.recvBuf, c.recvLen);
    w.buffer(c.sendBuf, c.sendLen);
    w.moment(c.dropReportMs);
    w.number(c.dropsUnreported);
}

// One accepted connection: what an upgrade carries, and the network thread's
// notes of the pass under way.
struct ClientConnection : CarriedClient {
    int failCode;               // the socket error a failed read or write found
    std::uint8_t flushPending;  // a relay filled sendBuf in this pass
    Counter closeCause;         // what its close counts as; a socket error unless said otherwise
};

// The lobby: who is host, the song selected and its arguments, the lobby
// value, whether the song runs and since when. The server keeps it, and an
// upgrade carries it whole; walkCarriedLobby is its one list of fields.
struct CarriedLobby {
    std::uint8_t hostId;
    std::int32_t songId;
    char songName[65];
    std::int32_t songArg1;
    std::int32_t songArg2;
    std::int32_t songArg3;
    std::int32_t lobbyValue;
    std::uint8_t songRunning;
    std::int64_t songStartTime;  // calendar seconds
};
// The lobby of a server that has just started: no host, no song.
inline constexpr CarriedLobby kNewLobby{0, 0, {}, 0, 0, -1, 0, 0, 0};

// Every field of the lobby in the order the state holds them, as
// walkCarriedClient walks a client's.
template <typename Walk, typename Lobby>
void walkCarriedLobby(Walk& w, Lobby& l) {
    w.number(l.hostId);
    w.number(l.songId);
    w.text(l.songName);
    w.number(l.songArg1);
    w.number(l.songArg2);
    w.number(l.songArg3);
    w.number(l.lobbyValue);
    w.number(l.songRunning);
    w.number(l.songStartTime);
}

struct MasterListState;

struct GameServer : CarriedLobby {
    char name[64];
    std::int32_t port;
    float version;
    std::vector<ClientConnection> clients;
    MasterListState* masterList;
    std::atomic<std::uint8_t> stopFlag;
    std::uint32_t maxSocket;
    std::atomic<std::uint8_t> maxPlayers;
    char password[64];
    std::uint8_t idInUse[256];
    std::mutex sendLock;
    Socket listenSocket;
    SocketSet readSet;
    SocketSet writeSet;
    SocketSet exceptSet;

    std::mutex tableLock;
    long long listenerRestsUntilMs;  // network thread only; 0: listening
    NetWaker waker;          // ends the network thread's wait: a stop, a console command
    std::mutex stopLock;
    std::condition_variable stopChanged;
    bool networkDone;  // the network thread has finished its work

    ServerCounters counters;
    // What the network thread last saw, for those who must not wait for its
    // lock: when its loop last came round (on the monotonic clock; 0: not
    // yet), the clients logged in and connected, whether the listener is open.
    std::atomic<long long> lastPassMs;
    std::atomic<std::int32_t> playerCount;
    std::atomic<std::int32_t> connectionCount;
    std::atomic<std::uint8_t> listening;
    std::atomic<std::uint8_t> songRunningSeen;  // songRunning as the last pass left it
    // The port players reach the server on, as the list is told: the game
    // port, unless an orchestrator maps another one to it.
    std::atomic<std::int32_t> publicPort;
    // The orchestrator is still to tell publicPort: the list's first
    // announcement waits for it, a while at most.
    std::atomic<std::uint8_t> publicPortPending;
    // A draining stop: logins are answered as by a full server, and the
    // server stops when the last player leaves or at drainEndsAtMs (on the
    // monotonic clock).
    std::atomic<std::uint8_t> draining;
    std::atomic<long long> drainEndsAtMs;
    // When the server first started, in calendar seconds: an upgrade in place
    // carries it, so the process's start time seen by a scraper stays put.
    std::atomic<double> startedAtSeconds;
};

// Forgets the lobby: no host, no song selected, none running, lobby value 0.
// The state of a server without players, at start and after the last leaves.
void resetLobby(GameServer& server);

// Waits until a stop is requested, or for ms at most.
void waitForStop(GameServer& server, long long ms);
