// What the keeper's threads share: the servers it keeps, each with what it
// has said, and the switch between two of them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "keeper/keeper_protocol.h"
#include "platform/process/kept_server.h"
#include "platform/process/stop_signal.h"

// A server process and what it said that nobody has taken yet. One thread
// reads its messages (a block with the line that announces it), two its
// output; "ready" is taken at once, the rest waits in the inbox.
struct Kept {
    ~Kept() { releaseKeptServer(process); }  // its threads have ended by then
    KeptServer process;
    std::mutex lock;
    std::condition_variable said;
    struct Message {
        std::string line;
        std::vector<std::uint8_t> block;
    };
    std::deque<Message> inbox;
    bool silent = false;  // its message pipe has ended
    bool ending = false;  // it said it stops
    int outputsOpen = 2;  // its output pipes not yet at their end
};

// The next message within waitMs; false when none came (timedOut says
// whether the time ran out, rather than the server going silent).
bool nextMessage(Kept& kept, int waitMs, Kept::Message& message, bool* timedOut);
// Starts the program as a kept server with its three reading threads.
std::shared_ptr<Kept> startKept(const char* program, bool takesOver, std::string& why);
// Waits until its output and message pipes have ended, at most waitMs.
void waitForPipesEnd(Kept& kept, int waitMs);

struct KeeperState {
    int argc = 0;
    char** argv = nullptr;
    std::mutex lock;  // current, switching, heldStops
    std::shared_ptr<Kept> current;
    bool switching = false;
    std::vector<StopRequest> heldStops;
    // The console's input: what came during a switch waits here, for the
    // server that serves after it.
    std::mutex inputLock;
    bool inputSwitching = false;
    bool inputEnded = false;
    std::string heldInput;
};
KeeperState& keeperState();

// Closes the server's console input: the keeper's own has ended.
void endInputOf(Kept& kept);

// Passes a stop request on to the server, or holds it during a switch.
void passStopOn(StopRequest request);
// The console's input as it comes, for ever (keeper_console.cpp).
void passConsoleOn();
// Holds the console's input and the stop requests back; resumes, passing
// what was held to the server that serves now.
void holdForSwitch();
void resumeAfterSwitch();
// The upgrade request, on the request thread (keeper_switch.cpp).
void switchServers(void*);
