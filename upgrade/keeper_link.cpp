#include "upgrade/keeper_link.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/service/service_notify.h"
#include "upgrade/hand_over.h"

namespace {

MessageReader gFromKeeper;
PipeEnd gToKeeper = kNoPipe;
std::mutex gWriteLock;
std::atomic<GameServer*> gServer{nullptr};

void forward(Notice notice) {
    // The keeper tells the service manager once the server listens; what the
    // keeper needs of a reload or a stop it hears as it asks for them.
    if (notice != Notice::Ready || !gServer.load()) return;
    tellKeeper("ready " + std::to_string(gServer.load()->port));
}

}  // namespace

bool joinKeeper(bool* takesOver) {
    if (!keeperPipes(&gFromKeeper.pipe, &gToKeeper, takesOver)) return false;
    forwardNotices(forward);
    return true;
}

bool keptByKeeper() { return gToKeeper != kNoPipe; }

MessageReader& keeperMessages() { return gFromKeeper; }

bool tellKeeper(const std::string& line) {
    std::lock_guard<std::mutex> guard(gWriteLock);
    return writeMessage(gToKeeper, line);
}

bool tellKeeperBytes(const void* bytes, std::size_t len) {
    std::lock_guard<std::mutex> guard(gWriteLock);
    return pipeWrite(gToKeeper, bytes, len);
}

void followKeeper(GameServer& server, ConsoleReader& console, bool onlylan, void (*onStop)(void*, StopRequest),
                  void* context) {
    gServer = &server;
    // The keeper asked for the listener's port before this thread started.
    if (server.listening.load()) forward(Notice::Ready);
    std::thread([&server, &console, onlylan, onStop, context] {
        std::string line, rest;
        while (readMessage(gFromKeeper, line)) {
            std::string word = messageWord(line, &rest);
            if (word == "stop") {
                onStop(context, rest == "terminate" ? StopRequest::Terminate : StopRequest::Interrupt);
            } else if (word == "failed") {
                count(server.counters, Counter::UpgradesFailedCheck);
            } else if (word == "handover") {
                char* end = nullptr;
                unsigned long pid = std::strtoul(rest.c_str(), &end, 10);
                if (end != rest.c_str() && *end == 0) handOverTo(server, console, onlylan, static_cast<std::uint32_t>(pid));
                else tellKeeper("cannot the hand-over names no process");
            }
        }
        onStop(context, StopRequest::Interrupt);
    }).detach();
}
