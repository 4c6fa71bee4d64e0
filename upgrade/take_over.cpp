#include "upgrade/take_over.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "masterlist/master_list.h"
#include "platform/network/error_text.h"
#include "platform/network/socket_share.h"
#include "platform/process/hand_back.h"
#include "platform/process/process.h"
#include "platform/process/program_check.h"
#include "platform/process/stop_signal.h"
#include "platform/service/service_notify.h"
#include "server/client_table.h"
#include "server/lifecycle.h"
#include "streams/output.h"
#include "upgrade/check_answer.h"
#include "upgrade/handover.h"
#include "upgrade/keeper_link.h"
#include "upgrade/state_codec.h"

#ifndef GAMESERVER_RELEASE
#define GAMESERVER_RELEASE "0"
#endif

namespace {

// A program that takes over serves within this, or hands back.
constexpr int kTakeOverLimitSeconds = 5;

// A reader's problem as a reason: its sentence without the full stop.
std::string reasonOf(const char* sentence) {
    std::string reason = sentence;
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    return reason;
}

// What the checked program makes of the state: read as at the switch, where
// whatever would be left out is a refusal.
CheckAnswer verdictOn(const std::uint8_t* data, std::size_t len, const char* unreadable) {
    CheckAnswer verdict{CheckAnswer::Refuses, 0, ""};
    if (unreadable[0] != 0) {
        std::snprintf(verdict.why, sizeof verdict.why, "%s", unreadable);
        return verdict;
    }
    std::unique_ptr<HandoverState> state(new HandoverState());
    if (!decodeHandover(data, len, *state, verdict.why, sizeof verdict.why)) return verdict;
    if (state->problemCount > 0) {
        std::snprintf(verdict.why, sizeof verdict.why, "%s", reasonOf(state->problems[0]).c_str());
        return verdict;
    }
    return CheckAnswer{CheckAnswer::Keeps, state->clientCount, ""};
}

// The outcome of taking over, told before the first pass of the connection
// loop, when nothing can be handed back any more.
struct Outcome {
    GameServer* server = nullptr;
    std::string line;
    Stream stream = Stream::Out;
    std::uint64_t consoleLeftOut = 0;
    LeftOut leftOut;
    std::mutex lock;
    std::condition_variable told;
    bool serving = false;
};
Outcome& outcome() {
    static Outcome* o = new Outcome();
    return *o;
}

// On the network thread, before its first pass: the program serves.
void beginServing(void*) {
    Outcome& o = outcome();
    // The server it took over closes its own descriptors only now.
    if (keptByKeeper()) tellKeeper("serving");
    disarmHandBack();
    {
        // Only now may a client's socket be written to or closed: what
        // rebuilding the server left out is told.
        std::lock_guard<std::mutex> table(o.server->tableLock);
        keepRestoredSockets(*o.server);
        tellOfLeftOut(*o.server, o.leftOut);
    }
    releaseInheritedState();
    // A request that came while it took over was the one it answers.
    forgetUpgradeRequests();
    writeLine(o.stream, o.line.c_str());
    if (o.consoleLeftOut > 0) {
        Line line;
        lineStart(line);
        lineAddUnsigned(line, o.consoleLeftOut);
        lineAdd(line, " bytes of console input were not carried over: an upgrade carries ");
        lineAddUnsigned(line, kHandoverConsoleBytes / 1024);
        lineAdd(line, " KiB of it at most.");
        lineWrite(line, Stream::Err);
    }
    thawOutput();
    notifyReady();
    {
        std::lock_guard<std::mutex> guard(o.lock);
        o.serving = true;
    }
    o.told.notify_all();
}

// The state cannot be used. Where the program it came from can run again, it
// does, with everything as it came. Otherwise the server starts afresh: where
// the state came from an upgrade (or a hand-back), nothing it names can be
// trusted and what it inherited closes; a variable set by hand names
// descriptors that may be another's, and they are left alone.
void refuse(const std::string& reason, bool fromUpgrade, const char* handedBack) {
    handBack(("refused the state: " + reason).c_str());
    disarmHandBack();
    std::string line = handedBack ? std::string("Upgrade failed: ") + handedBack +
                                        ", and the state handed back cannot be taken: " + reason
                                  : fromUpgrade ? "The state handed over was refused: " + reason : reason;
    if (fromUpgrade) {
        releaseInheritedState();
        closeInheritedSockets();
        line += "; its connections are closed and the server starts afresh.";
    } else {
        line += "; the server starts afresh.";
    }
    writeLine(Stream::Err, line.c_str());
    thawOutput();
}

// The server rebuilt from the state: its list, its announcement, the
// console's unread input, and the outcome to tell once it serves.
void finishTakeOver(const HandoverState& state, ConsoleReader& console, const char* listHost, TakenOver& taken,
                    const char* handedBack) {
    Outcome& o = outcome();
    taken.server->masterList = createMasterList(listHost);
    restoreList(state, *taken.server->masterList);
    taken.announce = announceStartFrom(state, kAnnounceSchedule);
    console.pending.assign(state.console, state.consoleLen);
    console.skipToLineEnd = state.consoleSkipLine != 0;

    o.server = taken.server;
    o.consoleLeftOut = state.consoleLeftOut;
    count(taken.server->counters, handedBack ? Counter::UpgradesHandedBack : Counter::UpgradesDone);
    if (handedBack) {
        o.line = std::string("Upgrade failed: ") + handedBack + "; the server serves on.";
        o.stream = Stream::Err;
    } else {
        std::uint32_t kept = clientCount(*taken.server);
        o.line = std::string("Server upgraded to release ") + GAMESERVER_RELEASE + ", " + std::to_string(kept) +
                 (kept == 1 ? " client kept." : " clients kept.");
    }
}

}  // namespace

bool answerCheckRequest() {
    switch (takeCheckRequest()) {
    case CheckRequest::None:
    case CheckRequest::Ignored: return false;
    case CheckRequest::WithoutState:
        answerCheck(checkAnswerLine(GAMESERVER_RELEASE, CheckAnswer{CheckAnswer::Unknown, 0, ""}).c_str());
        return true;
    case CheckRequest::WithState: {
        std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[kHandoverMaxBytes]);
        char unreadable[256] = "";
        std::size_t len = readCheckState(area.get(), kHandoverMaxBytes, unreadable, sizeof unreadable);
        answerCheck(checkAnswerLine(GAMESERVER_RELEASE, verdictOn(area.get(), len, unreadable)).c_str());
        return true;
    }
    }
    return false;
}

bool takeOver(ConsoleReader& console, const char* listHost, TakenOver& taken) {
    const char* handedBack = takeHandBackReason();
    const std::string self = std::string(programPath()) + " (release " + GAMESERVER_RELEASE + ")";
    // Armed, every refusal below hands back, and returns only where the old
    // program could not be run again: from then on nothing is armed.
    const bool fromUpgrade = armHandBack(self.c_str(), kTakeOverLimitSeconds) || handedBack;
    // Nothing is written before the program serves: lines wait in the queue.
    freezeOutput(0);

    std::size_t len = 0;
    bool sealed = false;
    char why[512];
    Inherited inherited = takeInheritedState(kHandoverMaxBytes, &len, &sealed, why, sizeof why);
    if (inherited == Inherited::None) {
        if (handedBack) writeLine(Stream::Err, "GAMESERVER_HANDBACK came without a state; the variable is ignored.");
        disarmHandBack();
        thawOutput();
        return false;
    }
    // A state too large comes from nobody but a server, set by hand or not.
    if (inherited != Inherited::Taken) {
        refuse(why, fromUpgrade || inherited == Inherited::TooLarge, handedBack);
        return false;
    }
    std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[len > 0 ? len : 1]);
    len = readInheritedState(area.get(), len);
    std::unique_ptr<HandoverState> state(new HandoverState());
    bool read = decodeHandover(area.get(), len, *state, why, sizeof why);
    if (read && state->format >= 2 && !sealed) {
        std::snprintf(why, sizeof why, "its memory file is not sealed against change");
        read = false;
    }
    if (!read) {
        // Nothing it names can be trusted: the old server's sockets close.
        refuse(why, true, handedBack);
        return false;
    }
    if (state->problemCount > 0) handBack(("refused the state: " + reasonOf(state->problems[0])).c_str());

    // The old program's lines come first, as they were queued.
    if (!restoreOutput(state->output, state->outputLen, state->outputDropped)) {
        handBack("refused the state: the output carried over does not fit in the queue");
        writeLine(Stream::Err, "Taking over: the output carried over does not fit in the queue: it is lost.");
    }
    taken.onlylan = state->onlylan != 0;
    Outcome& o = outcome();
    taken.server = restoreServer(*state, handBackArmed(), o.leftOut, why, sizeof why);
    if (!taken.server) {
        handBack((std::string("refused the state: ") + why).c_str());
        taken.server = restoreServer(*state, false, o.leftOut, why, sizeof why);
    }
    finishTakeOver(*state, console, listHost, taken, handedBack);
    return true;
}

void serveAfterTakeOver(const TakenOver& taken) {
    resumeNetwork(*taken.server, beginServing, nullptr);
    Outcome& o = outcome();
    {
        std::unique_lock<std::mutex> guard(o.lock);
        o.told.wait(guard, [&o] { return o.serving; });
    }
    // A draining server has left the list.
    if (!taken.onlylan && taken.server->draining.load() == 0) startAnnouncer(*taken.server, taken.announce);
}

namespace {

// A state the new process cannot take: the keeper hears why, and the server
// it was to take over serves on. Nothing here was written to a socket.
[[noreturn]] void refuseToKeeper(const std::string& why) {
    tellKeeper("refused " + why);
    endProcess(1);
}

// The sockets described by the server handed over, as this process's own,
// put where the state names the server's: the listener first, then its
// clients in the state's order.
void adoptSockets(HandoverState& state, const SharedSocket* shared, std::size_t count) {
    if (count != state.clientCount + 1)
        refuseToKeeper(std::to_string(count) + " sockets came for a listener and " + std::to_string(state.clientCount) +
                       " clients");
    Socket adopted[kMaxClientId + 1];
    if (int code = netStartup(); code != 0) refuseToKeeper(socketErrorMessage(code, "the socket library cannot start"));
    for (std::size_t i = 0; i < count; ++i) {
        int error = 0;
        adopted[i] = adoptSharedSocket(shared[i], &error);
        if (adopted[i] == kInvalidSocket) refuseToKeeper(socketErrorMessage(error, "a socket cannot be taken"));
    }
    state.listenSocket = adopted[0];
    for (std::uint32_t i = 0; i < state.clientCount; ++i) state.clients[i].sock = adopted[i + 1];
}

}  // namespace

bool takeOverFromKeeper(ConsoleReader& console, const char* listHost, TakenOver& taken) {
    tellKeeper(std::string("release ") + GAMESERVER_RELEASE);
    // Nothing is written before the program serves: lines wait in the queue.
    freezeOutput(0);
    std::string line, rest;
    std::size_t len = 0, count = 0;
    MessageReader& from = keeperMessages();
    if (!readMessage(from, line)) refuseToKeeper("no state came");
    if (messageWord(line, &rest) != "takeover" || !blockSizes(rest, kHandoverMaxBytes, kMaxClientId + 1, &len, &count))
        refuseToKeeper("\"" + line.substr(0, 64) + "\" is no state");
    std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[len > 0 ? len : 1]);
    std::unique_ptr<SharedSocket[]> shared(new SharedSocket[count > 0 ? count : 1]);
    if (!readMessageBytes(from, area.get(), len) || !readMessageBytes(from, shared.get(), count * sizeof(SharedSocket)))
        refuseToKeeper("the state was cut short");

    char why[512];
    std::unique_ptr<HandoverState> state(new HandoverState());
    if (!decodeHandover(area.get(), len, *state, why, sizeof why)) refuseToKeeper(why);
    if (state->problemCount > 0) refuseToKeeper(reasonOf(state->problems[0]));
    adoptSockets(*state, shared.get(), count);
    if (!restoreOutput(state->output, state->outputLen, state->outputDropped))
        refuseToKeeper("the output carried over does not fit in the queue");
    taken.onlylan = state->onlylan != 0;
    Outcome& o = outcome();
    taken.server = restoreServer(*state, true, o.leftOut, why, sizeof why);
    if (!taken.server) refuseToKeeper(why);
    finishTakeOver(*state, console, listHost, taken, nullptr);
    return true;
}
