#include "keeper/keeper.h"

#include <cstdio>
#include <thread>

#include "keeper/keeper_state.h"
#include "streams/output.h"

namespace {

void onStop(void*, StopRequest request) { passStopOn(request); }

// Sends what the keeper holds for the server that serves now.
void tellCurrent(const std::string& line) {
    KeeperState& k = keeperState();
    if (k.current) writeMessage(k.current->process.toServer, line);
}

const char* stopWord(StopRequest request) {
    return request == StopRequest::Terminate ? "stop terminate" : "stop interrupt";
}

}  // namespace

KeeperState& keeperState() {
    static KeeperState* state = new KeeperState();
    return *state;
}

void endInputOf(Kept& kept) {
    pipeClose(kept.process.input);
    kept.process.input = kNoPipe;
}

void passStopOn(StopRequest request) {
    KeeperState& k = keeperState();
    std::lock_guard<std::mutex> guard(k.lock);
    if (k.switching) k.heldStops.push_back(request);
    else tellCurrent(stopWord(request));
}

void holdForSwitch() {
    KeeperState& k = keeperState();
    {
        std::lock_guard<std::mutex> guard(k.lock);
        k.switching = true;
    }
    // A write under way to the old server's console ends first.
    std::lock_guard<std::mutex> input(k.inputLock);
    k.inputSwitching = true;
}

void resumeAfterSwitch() {
    KeeperState& k = keeperState();
    {
        std::lock_guard<std::mutex> input(k.inputLock);
        k.inputSwitching = false;
        PipeEnd to = k.current->process.input;
        if (!k.heldInput.empty()) pipeWrite(to, k.heldInput.data(), k.heldInput.size());
        k.heldInput.clear();
        if (k.inputEnded) endInputOf(*k.current);
    }
    std::lock_guard<std::mutex> guard(k.lock);
    k.switching = false;
    for (StopRequest request : k.heldStops) tellCurrent(stopWord(request));
    k.heldStops.clear();
}

void keepServers(int argc, char** argv) {
    KeeperState& k = keeperState();
    k.argc = argc;
    k.argv = argv;
    std::string why;
    std::shared_ptr<Kept> first = startKept(keeperProgramPath(), false, why);
    if (!first) {
        why = "The server runs in this process, without upgrades: no server process can be started: " + why;
        writeLine(Stream::Err, why.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> guard(k.lock);
        k.current = first;
    }
    watchStopSignals(onStop, nullptr, nullptr);
    std::thread(passConsoleOn).detach();
    // The keeper ends when the server that serves ends, with its exit code;
    // a server replaced ends too, but is no longer the one serving.
    for (;;) {
        std::shared_ptr<Kept> serving;
        {
            std::lock_guard<std::mutex> guard(k.lock);
            serving = k.current;
        }
        std::uint32_t code = 0;
        if (!keptServerEnded(serving->process, 200, &code)) continue;
        std::lock_guard<std::mutex> guard(k.lock);
        if (k.current != serving) continue;
        waitForPipesEnd(*serving, 1000);
        bool asked = false;
        {
            std::lock_guard<std::mutex> said(serving->lock);
            asked = serving->ending;
        }
        // A server that ended without stopping (killed, crashed) is a
        // failure, whatever code the system gave it, so that a service
        // manager runs its recovery actions.
        if (!asked) {
            char line[160];
            std::snprintf(line, sizeof line, "The server process ended without stopping (exit code %lu).",
                          static_cast<unsigned long>(code));
            writeLine(Stream::Err, line);
            if (code == 0) code = 1;
        }
        drainOutput(kOutputDrainMs);
        endProcess(static_cast<int>(code));
    }
}
