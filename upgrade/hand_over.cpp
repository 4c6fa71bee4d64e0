#include "upgrade/hand_over.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/network/error_text.h"
#include "platform/network/socket_share.h"
#include "platform/process/stop_signal.h"
#include "platform/service/service_notify.h"
#include "streams/output.h"
#include "upgrade/keeper_link.h"
#include "upgrade/state_codec.h"
#include "upgrade/upgrade_in_place.h"

namespace {

// A console that takes its output finishes the batch under way by then.
constexpr int kOutputFreezeWaitMs = 100;

// Every socket the server holds, the listener first, each described for the
// process that takes over: the order is the state's.
bool describeSockets(const GameServer& server, std::uint32_t pid, SharedSocket* shared, std::size_t* count,
                     std::string& why) {
    *count = 0;
    auto describe = [&](Socket s, const char* what) {
        int error = 0;
        if (shareSocket(s, pid, shared[*count], &error)) {
            ++*count;
            return true;
        }
        why = socketErrorMessage(
            error, (std::string(what) + " cannot be given to process " + std::to_string(pid)).c_str());
        return false;
    };
    if (!describe(server.listenSocket, "the listener")) return false;
    for (const auto& c : server.clients)
        if (!describe(c.sock, "a client's connection")) return false;
    return true;
}

// The new process serves: this one's descriptors close, which leaves every
// socket to it, and the process ends without a word to any client.
[[noreturn]] void leave(GameServer& server) {
    netClose(server.listenSocket);
    for (const auto& c : server.clients) netClose(c.sock);
    endProcess(0);
}

}  // namespace

void handOverTo(GameServer& server, ConsoleReader& console, bool onlylan, std::uint32_t pid) {
    static SharedSocket shared[kMaxClientId + 1];
    HandoverState& state = handoverState();
    std::uint8_t* area = handoverArea();
    std::string why;
    freezeOutput(kOutputFreezeWaitMs);
    {
        std::lock_guard<std::mutex> consoleGuard(console.lock);
        std::lock_guard<std::mutex> table(server.tableLock);
        if (server.stopFlag.load() != 0 || server.listenSocket == kInvalidSocket) {
            thawOutput();
            tellKeeper(server.stopFlag.load() != 0 ? "cannot the server is stopping"
                                                   : "cannot the server has no listener open yet");
            return;
        }
        std::lock_guard<std::mutex> send(server.sendLock);
        captureAll(server, console, onlylan, state, true);
        std::size_t len = encodeHandover(state, area, kHandoverMaxBytes);
        std::size_t count = 0;
        if (len == 0) why = "the state does not fit in " + std::to_string(kHandoverMaxBytes) + " bytes";
        if (len == 0 || !describeSockets(server, pid, shared, &count, why)) {
            // Nothing went to the new process: the keeper ends it.
            tellKeeper("cannot " + why);
        } else {
            // Lines other threads queue from now on are lost if the new
            // process serves: they are counted in the state.
            patchOutputDropped(area, len, holdOutputForSwitch());
            // Anything but "switched" (the keeper's "serveon WHY", or a
            // keeper gone) leaves this server serving.
            std::string verdict;
            if (tellKeeper("state " + std::to_string(len) + " " + std::to_string(count)) &&
                tellKeeperBytes(area, len) && tellKeeperBytes(shared, count * sizeof(SharedSocket)) &&
                readMessage(keeperMessages(), verdict) && messageWord(verdict, nullptr) == "switched")
                leave(server);
            releaseOutput();
        }
    }
    thawOutput();
    // The keeper tells why; the server counts it and notes that it serves on.
    count(server.counters, Counter::UpgradesHandedBack);
    notifyReady();
}
