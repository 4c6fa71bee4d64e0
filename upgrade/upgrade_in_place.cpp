#include "upgrade/upgrade_in_place.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "masterlist/master_list.h"
#include "platform/process/process.h"
#include "platform/process/program_check.h"
#include "platform/process/stop_signal.h"
#include "platform/service/service_notify.h"
#include "streams/output.h"
#include "upgrade/check_answer.h"
#include "upgrade/handover.h"
#include "upgrade/state_codec.h"

namespace {

// The running process as an upgrade carries it: the server record (with its
// list's), the console's unread input, and whether it stays off the list.
struct Running {
    GameServer& server;
    ConsoleReader& console;
    bool onlylan;
};

// A program that can take over answers the check at once; one that has not
// answered by then never will.
constexpr int kProbeWaitMs = 3000;
// A console that takes its output finishes the batch under way by then.
constexpr int kOutputFreezeWaitMs = 100;

}  // namespace

void reportUpgradeFailure(GameServer& server, const std::string& why, Counter counter) {
    forgetUpgradeRequests();
    count(server.counters, counter);
    Line line;
    lineStart(line);
    lineAdd(line, "Upgrade failed: ");
    lineAdd(line, why.c_str());
    lineAdd(line, "; the server serves on.");
    lineWrite(line, Stream::Err);
    notifyReady();
}

namespace {

// Why the checked program cannot take over the state of `clients` clients,
// or "" when it can.
std::string checkVerdict(const std::string& program, const ProbeResult& probe, std::uint32_t clients) {
    char why[256];
    switch (probe.kind) {
    case ProbeResult::Answered: {
        CheckAnswer answer = readCheckAnswer(probe.answer);
        switch (answer.kind) {
        case CheckAnswer::Keeps:
            if (answer.kept == clients) return "";
            return program + " would keep " + std::to_string(answer.kept) + " of " + std::to_string(clients) +
                   " clients";
        case CheckAnswer::Refuses: return program + " refuses the state: " + answer.why;
        case CheckAnswer::NoFormat:
        case CheckAnswer::Unknown: return program + ": " + answer.why;
        }
        return program + ": no verdict";
    }
    case ProbeResult::CannotPrepare: return "cannot check " + program + ": " + probe.answer;
    case ProbeResult::CannotRun: return "cannot run " + program + ": " + std::strerror(probe.code);
    case ProbeResult::ExitedSilently:
        std::snprintf(why, sizeof why, probe.code < 0 ? "was ended by signal %d" : "ended with exit code %d",
                      probe.code < 0 ? -probe.code : probe.code);
        return program + " " + why + " without answering: it is no server that can take over";
    case ProbeResult::NoAnswer:
        std::snprintf(why, sizeof why, "did not answer within %d seconds: a release that cannot take over",
                      kProbeWaitMs / 1000);
        return program + " " + why;
    }
    return program + ": no verdict";
}

}  // namespace

HandoverState& handoverState() {
    static HandoverState* state = new HandoverState();
    return *state;
}

std::uint8_t* handoverArea() {
    static std::uint8_t* area = new std::uint8_t[kHandoverMaxBytes];
    return area;
}

// The console's unread input, as much of it as a state carries.
void captureConsole(const ConsoleReader& console, HandoverState& state) {
    std::size_t leftOut = 0;
    bool skip = false;
    std::string_view input = inputToCarry(console, kHandoverConsoleBytes, &leftOut, &skip);
    std::memcpy(state.console, input.data(), input.size());
    state.consoleLen = static_cast<std::uint32_t>(input.size());
    state.consoleLeftOut = leftOut;
    state.consoleSkipLine = skip ? 1 : 0;
}

void captureAll(GameServer& server, const ConsoleReader& console, bool onlylan, HandoverState& state,
                bool forSwitch) {
    captureServer(server, onlylan, state);
    captureList(*server.masterList, state);
    captureConsole(console, state);
    state.outputLen = static_cast<std::uint32_t>(
        forSwitch ? snapshotOutput(state.output, sizeof state.output, &state.outputDropped)
                  : copyOutput(state.output, sizeof state.output, &state.outputDropped));
}

namespace {

void captureState(Running& run, HandoverState& state, bool forSwitch) {
    captureAll(run.server, run.console, run.onlylan, state, forSwitch);
}

// The check: the program is given the state as it stands, without the
// sockets, and reads it as it would at the switch. The players wait for the
// capture only. False where the upgrade ends here: why says why, or is empty
// when a stop is under way.
bool check(Running& run, const std::string& path, ProgramFile next, std::string& why) {
    HandoverState& state = handoverState();
    std::uint8_t* area = handoverArea();
    {
        std::lock_guard<std::mutex> console(run.console.lock);
        std::lock_guard<std::mutex> table(run.server.tableLock);
        if (run.server.stopFlag.load() != 0) return false;
        std::lock_guard<std::mutex> send(run.server.sendLock);
        captureState(run, state, false);
    }
    std::size_t len = encodeHandover(state, area, kHandoverMaxBytes);
    if (len == 0) {
        why = "the state does not fit in " + std::to_string(kHandoverMaxBytes) + " bytes";
        return false;
    }
    why = checkVerdict(path, checkProgram(next, path.c_str(), area, len, kProbeWaitMs), state.clientCount);
    // The check ran it by a name the switch cannot give it.
    if (why.empty() && isScript(next))
        why = path + " is a script: an upgrade in place runs the server's program itself; put that at the path";
    return why.empty();
}

// The switch. From here on nothing changes under the upgrade's hands: the
// output writer stands still (stopped first, so that a stalled console does
// not lengthen the players' pause), the console is between two commands, the
// network thread between two passes, and no send is under way. Returns only
// when the new program could not be started; why is then empty when a stop
// is under way.
void switchTo(Running& run, const std::string& path, ProgramFile next, ProgramFile own, std::string& why) {
    GameServer& server = run.server;
    HandoverState& state = handoverState();
    std::uint8_t* area = handoverArea();
    freezeOutput(kOutputFreezeWaitMs);
    {
        std::lock_guard<std::mutex> console(run.console.lock);
        std::lock_guard<std::mutex> table(server.tableLock);
        if (server.stopFlag.load() != 0) {
            thawOutput();
            return;
        }
        std::lock_guard<std::mutex> send(server.sendLock);
        captureState(run, state, true);
        std::size_t len = encodeHandover(state, area, kHandoverMaxBytes);
        Socket sockets[kMaxClientId + 1];
        std::size_t count = 0;
        sockets[count++] = server.listenSocket;
        for (const auto& c : server.clients) sockets[count++] = c.sock;
        // A request that comes from now on stays pending across the switch;
        // the program that tells the outcome forgets it first.
        char text[512];
        if (len == 0) {
            std::snprintf(text, sizeof text, "the state does not fit in %zu bytes", kHandoverMaxBytes);
        } else {
            // Lines other threads queue from now on are lost at the switch:
            // they are counted in the state, up to the moment it goes.
            patchOutputDropped(area, len, holdOutputForSwitch());
            replaceProcess(next, path.c_str(), own, area, len, sockets, count, text, sizeof text);
            releaseOutput();
        }
        // Still here: the new program never started, and nothing was given up.
        thawOutput();
        why = text;
    }
}

}  // namespace

void upgradeInPlace(GameServer& server, ConsoleReader& console, bool onlylan) {
    Running run{server, console, onlylan};
    if (!canReplaceProcess()) return reportUpgradeFailure(server, "this system cannot replace a running program");
    {
        std::lock_guard<std::mutex> table(server.tableLock);
        if (server.stopFlag.load() != 0) return;  // the stop under way ends the process
        if (server.listenSocket == kInvalidSocket) return reportUpgradeFailure(server, "the server has no listener open yet");
    }
    const std::string path = programPath();
    if (path.empty()) return reportUpgradeFailure(server, "the path the server was started from is not known");
    Line line;
    lineStart(line);
    lineAdd(line, "Upgrading server to ");
    lineAdd(line, path.c_str());
    lineAdd(line, "...");
    lineWrite(line, Stream::Out);
    notifyReloading();

    // The new program is opened once: what is checked is what is run, whatever
    // is put at the path meanwhile. The program running now stays open to be
    // run again should the new one fail while it takes over.
    int error = 0;
    ProgramFile next = openProgram(path.c_str(), &error);
    if (next == kNoProgram) return reportUpgradeFailure(server, "cannot run " + path + ": " + std::strerror(error));
    ProgramFile own = openOwnProgram(&error);
    if (own == kNoProgram) {
        closeProgram(next);
        return reportUpgradeFailure(server, std::string("the program this server runs cannot be held open to return to: ") +
                             std::strerror(error));
    }
    std::string why;
    if (check(run, path, next, why)) switchTo(run, path, next, own, why);
    closeProgram(next);
    closeProgram(own);
    if (!why.empty()) reportUpgradeFailure(server, why);
}
