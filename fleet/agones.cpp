#include "fleet/agones.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fleet/gameserver_port.h"
#include "fleet/sdk_http.h"
#include "server/lifecycle.h"
#include "streams/output.h"

namespace {

// What the thread shares with the stop.
struct SdkClient {
    std::uint16_t port = 0;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
};

SdkClient gSdk;

// What the thread knows of its own progress.
struct SdkProgress {
    bool told = false;          // a first state was taken
    bool inUse = false;         // the state the SDK took last: allocated or ready
    bool asked = false;         // the state asked for last, taken or not
    long long retryAtMs = 0;    // a failed state request goes again then; 0: none due
    int portTries = 0;          // the public port was asked for this often
    long long nextHealthMs = 0;
    long long lastAnswerMs = 0;  // when the SDK last took a request (or the thread started)
    long long reportedMs = 0;    // when its silence was last reported; 0: not now
};

void sdkLine(const char* text, long long number = -1, const char* after = "") {
    Line line;
    lineStart(line);
    lineAdd(line, "Agones SDK on port ");
    lineAddInt(line, gSdk.port);
    lineAdd(line, text);
    if (number >= 0) {
        lineAddInt(line, number);
        lineAdd(line, after);
    }
    lineWrite(line, Stream::Out);
}

// One line when the SDK has been silent for a while, and one in a long
// while after that; not one per retry.
void noteAnswer(SdkProgress& p, bool took) {
    long long now = monotonicMs();
    if (took) {
        if (p.reportedMs != 0) sdkLine(" answers again.");
        p.lastAnswerMs = now;
        p.reportedMs = 0;
    } else if (now - p.lastAnswerMs >= kSdkSilenceReportMs &&
               (p.reportedMs == 0 || now - p.reportedMs >= kSdkReportEveryMs)) {
        sdkLine(" cannot be reached for ", (now - p.lastAnswerMs) / 1000, " s.");
        p.reportedMs = now;
    }
}

bool post(SdkProgress& p, const char* path) {
    char body[256];
    bool took = sdkTook(sdkRequest(gSdk.port, "POST", path, kSdkRequestLimitMs, body, sizeof body));
    noteAnswer(p, took);
    return took;
}

// Ready while the lobby is empty, allocated while a player is on.
void tellState(GameServer& server, SdkProgress& p) {
    bool inUse = server.playerCount.load() > 0;
    // A draining lobby ends when it empties: told ready, it would be handed
    // out or deleted first. Noted as asked, so that the wait does not wake
    // for it.
    if (p.told && server.draining.load() != 0) {
        p.asked = inUse;
        return;
    }
    if (p.told && inUse == p.inUse) return;
    if (inUse == p.asked && p.retryAtMs != 0 && monotonicMs() < p.retryAtMs) return;
    p.asked = inUse;
    if (!post(p, inUse ? "/allocate" : "/ready")) {
        p.retryAtMs = monotonicMs() + kSdkRetryMs;
        return;
    }
    if (!p.told) sdkLine(inUse ? ": allocated." : ": ready.");
    p.told = true;
    p.inUse = inUse;
    p.retryAtMs = 0;
}

// The public port, asked for after the first state was taken (the
// orchestrator fills it in by then).
void learnPort(GameServer& server, SdkProgress& p) {
    if (!p.told || server.publicPortPending.load() == 0 || monotonicMs() < p.retryAtMs) return;
    static char record[64 * 1024];  // this thread's only
    SdkAnswer answer = sdkRequest(gSdk.port, "GET", "/gameserver", kSdkRequestLimitMs, record, sizeof record);
    noteAnswer(p, sdkTook(answer));
    std::int32_t port = sdkTook(answer) ? publicPortIn(record, answer.bodyLen) : -1;
    if (port > 0) server.publicPort = port;
    if (port > 0 || ++p.portTries >= kPortTries) server.publicPortPending = 0;
    else p.retryAtMs = monotonicMs() + kSdkRetryMs;
}

// Pings only while the network loop shows that it runs: a stuck loop goes
// unhealthy and is replaced.
void pingHealth(GameServer& server, SdkProgress& p) {
    if (!p.told || monotonicMs() < p.nextHealthMs) return;
    if (networkLoopRuns(server, 1000)) post(p, "/health");
    p.nextHealthMs = monotonicMs() + kHealthEveryMs;
}

// Until the next thing due, a change of the players' number or the stop.
void waitForWork(GameServer& server, const SdkProgress& p) {
    long long until = p.told ? p.nextHealthMs : p.retryAtMs;
    if (p.retryAtMs != 0) until = std::min(until, p.retryAtMs);
    long long ms = std::max(until - monotonicMs(), 1LL);
    std::unique_lock<std::mutex> guard(server.stopLock);
    server.stopChanged.wait_for(guard, std::chrono::milliseconds(ms), [&server, &p] {
        return server.stopFlag.load() != 0 || (server.playerCount.load() > 0) != p.asked;
    });
}

void sdkThread(GameServer& server) {
    while (server.stopFlag.load() == 0 && server.listening.load() == 0) waitForStop(server, 50);
    SdkProgress p;
    p.lastAnswerMs = monotonicMs();
    p.asked = server.playerCount.load() > 0;
    while (server.stopFlag.load() == 0) {
        tellState(server, p);
        learnPort(server, p);
        pingHealth(server, p);
        waitForWork(server, p);
    }
    {
        std::lock_guard<std::mutex> guard(gSdk.lock);
        gSdk.done = true;
    }
    gSdk.ended.notify_all();
}

}  // namespace

void startAgones(GameServer& server, std::uint16_t sdkPort) {
    if (sdkPort == 0) return;
    gSdk.port = sdkPort;
    server.publicPortPending = 1;
    std::thread([&server] { sdkThread(server); }).detach();
}

void agonesShutdown() {
    if (gSdk.port == 0) return;
    long long deadline = monotonicMs() + kSdkShutdownWaitMs;
    {
        // A ping under way goes before the shutdown, not after it.
        std::unique_lock<std::mutex> guard(gSdk.lock);
        gSdk.ended.wait_for(guard, std::chrono::milliseconds(kSdkThreadStopWaitMs), [] { return gSdk.done; });
    }
    char body[256];
    SdkAnswer answer = sdkRequest(gSdk.port, "POST", "/shutdown", static_cast<int>(deadline - monotonicMs()), body,
                                  sizeof body);
    if (!sdkTook(answer)) sdkLine(": the shutdown was not taken.");
}
