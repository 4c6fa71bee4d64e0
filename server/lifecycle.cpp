#include "server/lifecycle.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/network/error_text.h"
#include "platform/process/hand_back.h"
#include "platform/service/service_notify.h"
#include "server/connection_loop.h"
#include "server/protocol/packets.h"
#include "streams/output.h"

GameServer* createServer(const char* name, std::int32_t port, std::int32_t maxPlayers) {
    auto* server = new GameServer();
    std::memset(server->idInUse, 0, sizeof server->idInUse);
    std::memset(server->name, 0, sizeof server->name);
    std::strncpy(server->name, name, sizeof server->name - 1);
    server->version = kProtocolVersion;
    server->port = port;
    server->stopFlag = 0;
    server->password[0] = 0;
    server->maxPlayers = static_cast<std::uint8_t>(maxPlayers);
    static_cast<CarriedLobby&>(*server) = kNewLobby;
    server->maxSocket = 0;
    server->listenSocket = kInvalidSocket;
    server->masterList = nullptr;
    server->networkDone = false;
    server->listenerRestsUntilMs = 0;
    server->waker.readEnd = server->waker.writeEnd = kInvalidSocket;
    server->lastPassMs = 0;
    server->playerCount = 0;
    server->connectionCount = 0;
    server->listening = 0;
    server->songRunningSeen = 0;
    server->publicPort = port;
    server->publicPortPending = 0;
    server->draining = 0;
    server->drainEndsAtMs = 0;
    server->startedAtSeconds = calendarSecondsPrecise();
    return server;
}

namespace {

// How long the stop waits for the network thread to close the clients.
constexpr long long kNetworkStopWaitMs = 2500;

Socket setUpListener(std::uint16_t port) {
    Socket s = netTcpSocket();
    if (s == kInvalidSocket) return kInvalidSocket;
    if (netBindAny(s, port) != 0) {
        int code = netLastError();
        writeLine(Stream::Err, socketErrorMessage(code, "bind() failed"));
        netClose(s);
        netSetLastError(code);
        return kInvalidSocket;
    }
    netListen(s);
    return s;
}

// Opens the listener, with its lines; false when it could not be opened.
bool establishListener(GameServer& server, std::int32_t port) {
    writeLine(Stream::Out, "Establishing the listener...");
    Socket listener = setUpListener(static_cast<std::uint16_t>(port));
    if (listener == kInvalidSocket) {
        writeLine(Stream::Out, "");
        writeLine(Stream::Out, socketErrorMessage(0, "establish listener"));
        return false;
    }
    {
        // An upgrade reads it under the table's lock.
        std::lock_guard<std::mutex> table(server.tableLock);
        server.listenSocket = listener;
    }
    // Seen at once by those who wait for it, though an idle loop makes no
    // pass until a client comes.
    server.listening = 1;
    Line line;
    lineStart(line);
    lineAdd(line, "Waiting for connections on port ");
    lineAddInt(line, port);
    lineWrite(line, Stream::Out);
    notifyReady();
    return true;
}

int runServer(GameServer& server, std::int32_t port, void (*beforeFirstPass)(void*), void* context) {
    if (beforeFirstPass) {
        beforeFirstPass(context);
        // The first wait ends at once: what came with the clients (a kick,
        // say) is carried out in the first pass, even where no client has
        // anything to say.
        netWake(server.waker);
    }
    // A server that took over from an upgrade has its listener already.
    if (server.listenSocket == kInvalidSocket && !establishListener(server, port)) return 3;

    while (server.stopFlag.load() == 0) {
        if (acceptConnections(server, server.listenSocket) == LoopEnd::Failed && server.stopFlag.load() == 0) {
            // A failure that persists (no file handles left, say) must not
            // spin a core and flood the console.
            waitForStop(server, 100);
        }
    }
    netClose(server.listenSocket);
    return 0;
}

void startNetworkThread(GameServer& server, void (*beforeFirstPass)(void*), void* context) {
    // The wake-up channel is made of sockets, so the socket library must be
    // started before it opens. This reference is kept for the process's life,
    // as the channel is; a failure shows as the channel's failure here and as
    // the network thread's own start-up failure.
    netStartup();
    if (!netWakerOpen(server.waker)) writeLine(Stream::Err, socketErrorMessage(0, "wake-up channel"));
    std::thread([&server, beforeFirstPass, context] { networkThread(server, beforeFirstPass, context); }).detach();
}

}  // namespace

void startNetwork(GameServer& server) {
    writeLine(Stream::Out, "Starting server...");
    startNetworkThread(server, nullptr, nullptr);
}

void resumeNetwork(GameServer& server, void (*beforeFirstPass)(void*), void* context) {
    startNetworkThread(server, beforeFirstPass, context);
}

int networkThread(GameServer& server, void (*beforeFirstPass)(void*), void* context) {
    // A server that takes over runs this thread before it serves: a stack
    // overflow on it still hands back.
    giveThreadCrashStack();
    // stopFlag is not reset here: a stop requested before this thread ran
    // must not be lost.
    int result;
    int code = netStartup();
    if (code != 0) {
        Line line;
        lineStart(line);
        lineAdd(line, "WSAStartup() returned error code ");
        lineAddInt(line, code);
        lineAdd(line, ".");
        lineWrite(line, Stream::Err);
        result = 255;
    } else {
        result = runServer(server, server.port, beforeFirstPass, context);
        netCleanup();
    }
    {
        std::lock_guard<std::mutex> guard(server.stopLock);
        server.networkDone = true;
    }
    server.stopChanged.notify_all();
    return result;
}

bool networkLoopRuns(GameServer& server, long long waitMs) {
    long long seen = server.lastPassMs.load();
    if (seen != 0 && monotonicMs() - seen <= kLoopShownRecentlyMs) return true;
    netWake(server.waker);
    long long until = monotonicMs() + waitMs;
    while (monotonicMs() < until) {
        if (server.lastPassMs.load() != seen) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void requestStop(GameServer& server) {
    {
        std::lock_guard<std::mutex> guard(server.stopLock);
        server.stopFlag = 1;
    }
    server.stopChanged.notify_all();
}

void waitForStop(GameServer& server, long long ms) {
    std::unique_lock<std::mutex> guard(server.stopLock);
    server.stopChanged.wait_for(guard, std::chrono::milliseconds(ms), [&server] { return server.stopFlag.load() != 0; });
}

void stopNetwork(GameServer& server) {
    notifyStopping();
    writeLine(Stream::Out, "Stopping server...");
    requestStop(server);
    // The network thread closes the listener itself once it has left select;
    // closing it from here would not wake select on every platform.
    netWake(server.waker);
    // The process ends right after this: the clients are closed by then,
    // unless the network thread is stuck.
    std::unique_lock<std::mutex> guard(server.stopLock);
    server.stopChanged.wait_for(guard, std::chrono::milliseconds(kNetworkStopWaitMs),
                                [&server] { return server.networkDone; });
}
