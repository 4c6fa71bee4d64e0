// Everything a running server hands to the program that takes its place in
// an upgrade in place: settings, listener, lobby, every client with its
// buffers, the list entry's schedule, the console's unread input and the
// output not yet written. A plain record; state_codec.h turns it into bytes
// and back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/output.h"
#include "net/socket.h"
#include "server/game_server.h"

// The state format this release writes. A release reads the formats it
// names when probed; each record carries its length, so a reader skips the
// records it does not know and the fields a newer writer appended.
inline constexpr std::uint32_t kHandoverFormat = 1;
// Console input carried over: what was read but not yet handed out as lines.
inline constexpr std::size_t kHandoverConsoleBytes = 64 * 1024;
// The encoded state is never larger than this.
inline constexpr std::size_t kHandoverMaxBytes = 4 * 1024 * 1024;
// Problems a reader reports about the records it refused.
inline constexpr int kHandoverMaxProblems = 8;

struct HandoverClient {
    Socket sock;
    std::uint8_t id;
    char name[64];
    std::uint8_t gatedFlag;
    std::uint8_t songFlag;
    std::uint8_t startVote;
    std::uint8_t streamOptIn;
    std::uint8_t isHost;
    std::uint8_t authenticated;
    std::uint8_t kickRequested;
    std::int32_t playerValue;
    long long loginMsLeft;      // until the login deadline
    char peerIp[16];
    std::int32_t recvLen;
    std::uint8_t recvBuf[kBufferSize];
    std::uint32_t sendLen;
    std::uint8_t sendBuf[kBufferSize];
    long long dropReportAgoMs;  // since the last drop line; -1: none yet
    std::uint32_t dropsUnreported;
};

struct HandoverState {
    // The server's settings and its listener.
    char name[64];
    std::int32_t port;
    std::uint8_t maxPlayers;
    std::uint8_t onlylan;
    char password[64];
    Socket listenSocket;
    long long listenerRestMsLeft;  // 0: listening

    // The lobby.
    std::uint8_t hostId;
    std::int32_t songId;
    char songName[65];
    std::int32_t songArg1;
    std::int32_t songArg2;
    std::int32_t songArg3;
    std::int32_t lobbyValue;
    std::uint8_t songRunning;
    std::int64_t songStartTime;  // calendar seconds

    std::uint32_t clientCount;
    HandoverClient clients[kMaxClientId];

    // The entry on the internet server list and its schedule.
    std::uint8_t listRegistered;
    std::uint8_t listRedirectResolved;  // listHost is the host the start page named
    char listHost[1024];
    std::int32_t announcedCount;
    std::int32_t checksSinceAnnounce;
    long long nextCheckMsLeft;
    std::uint8_t listRequestUnderWay;  // an add was under way: its outcome is unknown

    std::uint32_t consoleLen;
    char console[kHandoverConsoleBytes];

    std::uint64_t outputDropped;
    std::uint32_t outputLen;
    std::uint8_t output[kOutputQueueBytes];  // queued lines, as the output queue keeps them

    // Filled by the reader: what it refused, and the sockets of refused
    // client records, which cannot be trusted.
    int problemCount;
    char problems[kHandoverMaxProblems][160];
    std::uint32_t refusedSocketCount;
    Socket refusedSockets[kMaxClientId];
};
