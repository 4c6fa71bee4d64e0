#include "console/upgrade.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "console/options.h"
#include "masterlist/master_list.h"
#include "net/output.h"
#include "net/process.h"
#include "net/service_notify.h"
#include "net/stop_signal.h"
#include "server/client_table.h"
#include "upgrade/handover.h"
#include "upgrade/state_codec.h"

#ifndef GAMESERVER_RELEASE
#define GAMESERVER_RELEASE "0"
#endif

namespace {

// A program that takes over answers the probe at once; one that has not
// answered by then never will.
constexpr int kProbeWaitMs = 3000;
// A console that takes its output finishes the batch under way by then.
constexpr int kOutputFreezeWaitMs = 100;

void reportFailure(const std::string& why) {
    forgetUpgradeRequests();
    Line line;
    lineStart(line);
    lineAdd(line, "Upgrade failed: ");
    lineAdd(line, why.c_str());
    lineAdd(line, "; the server serves on.");
    lineWrite(line, Stream::Err);
    notifyReady();
}

// Why the probed program cannot take over, or "" when it can.
std::string probeVerdict(const char* path, const ProbeResult& probe) {
    std::string program = path;
    char why[256];
    switch (probe.kind) {
    case ProbeResult::Answered:
        if (probeAnswerAccepts(probe.answer, why, sizeof why)) return "";
        return program + ": " + why;
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

// The state and its bytes, made at the first upgrade and kept for the next.
HandoverState& handoverState() {
    static HandoverState* state = new HandoverState();
    return *state;
}

std::uint8_t* handoverArea() {
    static std::uint8_t* area = new std::uint8_t[kHandoverMaxBytes];
    return area;
}

}  // namespace

const char* probeAnswer() {
    static const std::string answer =
        std::string(kProbeAnswerPrefix) + std::to_string(kHandoverFormat) + " release " + GAMESERVER_RELEASE;
    return answer.c_str();
}

void upgradeInPlace(ServerProcess& process) {
    GameServer& server = *process.server;
    if (!canReplaceProcess()) return reportFailure("this system cannot replace a running program");
    {
        std::lock_guard<std::mutex> table(server.tableLock);
        if (server.stopFlag.load() != 0) return;  // the stop under way ends the process
        if (server.listenSocket == kInvalidSocket) return reportFailure("the server has no listener open yet");
    }
    const char* path = programPath();
    if (path[0] == 0) return reportFailure("the path the server was started from is not known");
    Line line;
    lineStart(line);
    lineAdd(line, "Upgrading server to ");
    lineAdd(line, path);
    lineAdd(line, "...");
    lineWrite(line, Stream::Out);
    notifyReloading();

    // Nothing is given up before the new program has said that it can take over.
    std::string verdict = probeVerdict(path, probeProgram(path, kProbeWaitMs));
    if (!verdict.empty()) return reportFailure(verdict);

    // The state's memory is made (and zeroed, 1.3 MB) while the server still
    // serves: the clients wait for no more than the capture itself.
    HandoverState& state = handoverState();
    std::uint8_t* area = handoverArea();

    // From here on nothing changes under the upgrade's hands: the console is
    // between two commands, the network thread between two passes, no send
    // is under way, and the writer of the output stands still.
    char why[512];
    {
        std::lock_guard<std::mutex> console(process.console.lock);
        std::lock_guard<std::mutex> table(server.tableLock);
        if (server.stopFlag.load() != 0) return;
        std::lock_guard<std::mutex> send(server.sendLock);
        captureServer(server, process.onlylan, state);
        captureList(*server.masterList, state);
        std::size_t console_len = process.console.pending.size();
        state.consoleLen = static_cast<std::uint32_t>(console_len < kHandoverConsoleBytes ? console_len
                                                                                           : kHandoverConsoleBytes);
        std::memcpy(state.console, process.console.pending.data(), state.consoleLen);
        state.outputLen = static_cast<std::uint32_t>(
            freezeOutput(kOutputFreezeWaitMs, state.output, sizeof state.output, &state.outputDropped));
        std::size_t len = encodeHandover(state, area, kHandoverMaxBytes);
        Socket sockets[kMaxClientId + 1];
        std::size_t count = 0;
        sockets[count++] = server.listenSocket;
        for (const auto& c : server.clients) sockets[count++] = c.sock;
        // A request that came meanwhile was this one: the new program must
        // not start another.
        forgetUpgradeRequests();
        if (len == 0) std::snprintf(why, sizeof why, "the state does not fit in %zu bytes", kHandoverMaxBytes);
        else replaceProcess(path, area, len, sockets, count, why, sizeof why);
        // Still here: the new program never started, and nothing was given up.
        thawOutput();
    }
    reportFailure(why);
}

bool takeOver(ServerProcess& process, AnnounceStart& announce) {
    std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[kHandoverMaxBytes]);
    std::size_t len = 0;
    char why[512];
    Inherited inherited = takeInheritedState(area.get(), kHandoverMaxBytes, &len, why, sizeof why);
    if (inherited == Inherited::None) return false;
    Line line;
    if (inherited != Inherited::Taken) {
        lineStart(line);
        lineAdd(line, why);
        lineAdd(line, "; the server starts afresh.");
        lineWrite(line, Stream::Err);
        if (inherited == Inherited::TooLarge) closeInheritedSockets();
        return false;
    }
    std::unique_ptr<HandoverState> state(new HandoverState());
    if (!decodeHandover(area.get(), len, *state, why, sizeof why)) {
        // Nothing it names can be trusted: the old server's sockets close.
        closeInheritedSockets();
        lineStart(line);
        lineAdd(line, "The state handed over was refused: ");
        lineAdd(line, why);
        lineAdd(line, "; its connections are closed and the server starts afresh.");
        lineWrite(line, Stream::Err);
        return false;
    }
    // The old program's lines come first, as they were queued.
    restoreOutput(state->output, state->outputLen, state->outputDropped);
    process.onlylan = state->onlylan != 0;
    process.server = restoreServer(*state);
    process.server->masterList =
        createMasterList(chooseMasterHost(std::getenv("GAMESERVER_MASTER_HOST"), defaultMasterHost(), false));
    restoreList(*state, *process.server->masterList);
    announce = announceStartFrom(*state, kAnnounceSchedule);
    process.console.pending.assign(state->console, state->consoleLen);

    lineStart(line);
    lineAdd(line, "Server upgraded to release ");
    lineAdd(line, GAMESERVER_RELEASE);
    lineAdd(line, ", ");
    lineAddUnsigned(line, clientCount(*process.server));
    lineAdd(line, clientCount(*process.server) == 1 ? " client kept." : " clients kept.");
    lineWrite(line, Stream::Out);
    return true;
}
