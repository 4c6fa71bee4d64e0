// The upgrade, as the keeper carries it out: the new program starts as a
// kept server of its own; the one serving gives the keeper its state and a
// description of every socket for the new process, which the keeper passes
// on; the new one says that it serves, and only then is the old one told to
// close its descriptors and end. Until then the old one is the fallback:
// whatever the new one does (it ends, crashes, hangs, refuses the state) the
// old one serves on with nothing given up.
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "keeper/keeper_state.h"
#include "platform/process/upgrade_request.h"
#include "streams/output.h"

namespace {

// The server serving gives its state within this; the new one serves within
// this after the state came.
constexpr int kStateWaitMs = 5000;
constexpr int kTakeOverLimitSeconds = 5;

// How a program that did not take over ended, after its name.
std::string endedHow(std::uint32_t code) {
    char text[96];
    if (code >= 0xC0000000u) std::snprintf(text, sizeof text, "crashed with exception 0x%08X", code);
    else std::snprintf(text, sizeof text, "ended with exit code %u", code);
    return text;
}

// The new program's verdict once it has the state: "" when it serves.
std::string verdictOf(Kept& next, const std::string& name) {
    Kept::Message message;
    bool timedOut = false;
    std::string rest;
    while (nextMessage(next, kTakeOverLimitSeconds * 1000, message, &timedOut)) {
        std::string word = messageWord(message.line, &rest);
        if (word == "serving") return "";
        if (word == "refused") return name + " refused the state: " + rest;
    }
    if (timedOut)
        return name + " did not take over within " + std::to_string(kTakeOverLimitSeconds) + " seconds";
    std::uint32_t code = 0;
    if (!keptServerEnded(next.process, 2000, &code)) return name + " stopped talking while taking over";
    return name + " " + endedHow(code) + " while taking over";
}

// The new program's name in what is told: its path and, once it said, its
// release.
std::string nameOf(Kept& next, const std::string& path) {
    std::string rest;
    std::lock_guard<std::mutex> guard(next.lock);
    if (!next.inbox.empty() && messageWord(next.inbox.front().line, &rest) == "release") {
        next.inbox.pop_front();
        return path + " (release " + rest + ")";
    }
    return path;
}

// Carries the switch out, from the request to the server that serves after
// it; "" when the new program serves.
std::string carryOut(const std::shared_ptr<Kept>& old, const std::string& path) {
    {
        // What the old server said after an earlier switch gave up on it.
        std::lock_guard<std::mutex> guard(old->lock);
        old->inbox.clear();
    }
    std::string cannot;
    std::shared_ptr<Kept> next = startKept(path.c_str(), true, cannot);
    if (!next || next->process.pid == 0) {
        // The server counts it, as it counts those that fail later.
        writeMessage(old->process.toServer, "failed");
        if (!next) return "cannot run " + path + ": " + cannot;
        // Wine runs a program of its host system that way, with no process
        // that could take sockets.
        killKeptServer(next->process);
        return path + " is no Windows program";
    }
    if (!writeMessage(old->process.toServer, "handover " + std::to_string(next->process.pid))) {
        killKeptServer(next->process);
        return "the server does not take the request";
    }
    Kept::Message state;
    bool timedOut = false;
    std::string rest;
    if (!nextMessage(*old, kStateWaitMs, state, &timedOut) || messageWord(state.line, &rest) != "state") {
        killKeptServer(next->process);
        if (timedOut) {
            // Should it give its state after all, it hears the verdict.
            writeMessage(old->process.toServer, "serveon the keeper waited for the state in vain");
            return "the server gave no state within " + std::to_string(kStateWaitMs / 1000) + " seconds";
        }
        return rest.empty() ? "the server gave no state" : rest;
    }
    std::string name = path;
    std::string head = "takeover " + state.line.substr(6);
    std::string why;
    if (writeMessage(next->process.toServer, head) &&
        pipeWrite(next->process.toServer, state.block.data(), state.block.size())) {
        // Its release comes first, before it reads the state.
        Kept::Message first;
        if (nextMessage(*next, kTakeOverLimitSeconds * 1000, first, &timedOut)) {
            std::lock_guard<std::mutex> guard(next->lock);
            next->inbox.push_front(std::move(first));
        }
        name = nameOf(*next, path);
        why = verdictOf(*next, name);
    } else {
        std::uint32_t code = 0;
        why = keptServerEnded(next->process, 2000, &code) ? name + " " + endedHow(code) + " before it took the state"
                                                          : name + " does not take the state";
    }
    if (!why.empty()) {
        killKeptServer(next->process);
        writeMessage(old->process.toServer, "serveon " + why);
        return why;
    }
    {
        KeeperState& k = keeperState();
        std::lock_guard<std::mutex> guard(k.lock);
        k.current = next;
    }
    writeMessage(old->process.toServer, "switched");
    return "";
}

}  // namespace

void switchServers(void*) {
    static std::mutex one;
    std::lock_guard<std::mutex> guard(one);
    KeeperState& k = keeperState();
    std::shared_ptr<Kept> old;
    {
        std::lock_guard<std::mutex> state(k.lock);
        old = k.current;
    }
    const std::string path = keeperProgramPath();
    writeLine(Stream::Out, ("Upgrading server to " + path + "...").c_str());
    holdForSwitch();
    std::string why = path.empty() ? "the path the server was started from is not known" : carryOut(old, path);
    // A request that came meanwhile was this one.
    forgetWindowUpgradeRequests();
    if (!why.empty()) writeLine(Stream::Err, ("Upgrade failed: " + why + "; the server serves on.").c_str());
    resumeAfterSwitch();
}
