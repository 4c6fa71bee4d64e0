// Everything a running server hands to the program that takes its place in
// an upgrade in place: settings, listener, lobby, every client with its
// buffers, the list entry's schedule, the console's unread input and the
// output not yet written. A plain record; state_codec.h turns it into bytes
// and back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/network/socket.h"
#include "server/game_server.h"
#include "streams/output.h"

// The state format this release writes, and the oldest it reads. Each
// record carries its length, so a reader skips the records it does not know
// and the fields a newer writer appended to those it knows. Format 2 added
// the lengths that let the console's and the output's records grow too.
inline constexpr std::uint32_t kHandoverFormat = 2;
inline constexpr std::uint32_t kHandoverOldestFormat = 1;
// Console input carried over: what was read but not yet handed out as lines.
inline constexpr std::size_t kHandoverConsoleBytes = 64 * 1024;
// The encoded state is never larger than this.
inline constexpr std::size_t kHandoverMaxBytes = 4 * 1024 * 1024;
// Problems a reader reports about the records it refused.
inline constexpr int kHandoverMaxProblems = 8;

// The server's settings and its listener, as the state carries them;
// walkCarriedSettings is their one list of fields.
struct CarriedSettings {
    char name[64];
    std::int32_t port;
    std::uint8_t maxPlayers;
    std::uint8_t onlylan;
    char password[64];
    Socket listenSocket;
    long long listenerRestMsLeft;  // 0: listening
};

template <typename Walk, typename Settings>
void walkCarriedSettings(Walk& w, Settings& s) {
    w.text(s.name);
    w.number(s.port);
    w.number(s.maxPlayers);
    w.number(s.onlylan);
    w.text(s.password);
    w.socket(s.listenSocket);
    w.number(s.listenerRestMsLeft);
}

// The settings and the lobby, then everything else.
struct HandoverState : CarriedSettings, CarriedLobby {
    std::uint32_t clientCount;
    CarriedClient clients[kMaxClientId];  // times on this boot's monotonic clock

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
    std::uint64_t consoleLeftOut;  // bytes of input beyond what is carried, dropped
    std::uint8_t consoleSkipLine;  // the line under way lost its start: its rest is no command

    std::uint64_t outputDropped;
    std::uint32_t outputLen;
    std::uint8_t output[kOutputQueueBytes];  // queued lines, as the output queue keeps them

    // What the fleet's operators see: a drain under way, when the server
    // first started, and the totals, so that a scraper sees no reset. A
    // state without them (an older release's) starts them afresh.
    std::uint8_t draining;
    long long drainMsLeft;
    std::int64_t startedAtMs;  // calendar milliseconds; 0: not carried
    std::uint64_t consoleLinesDropped;
    std::uint64_t counters[kCounterCount];

    // Filled by the reader: the format it read, what it refused, and the
    // client records it refused: their sockets cannot be trusted, and the
    // others are told that they have left.
    std::uint32_t format;
    int problemCount;
    char problems[kHandoverMaxProblems][160];
    std::uint32_t refusedCount;
    struct Refused {
        Socket sock;     // kInvalidSocket where the record named none
        std::uint8_t id;  // 0 where the record named none
    } refused[kMaxClientId];
    std::uint8_t hostLeftOut;  // the host the state named, refused: hostId is then 0
};
