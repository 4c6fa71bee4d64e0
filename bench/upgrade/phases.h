// The phases of the upgrade bench, in the order they run, each with the
// figures it leaves for the report: regular upgrades under load, upgrades
// with the console stalled, and a new program that crashes while it takes
// over (hand-backs).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "players.h"
#include "process.h"
#include "process_info.h"
#include "program_copy.h"
#include "server_console.h"
#include "upgrade_trigger.h"

using namespace std::chrono_literals;

inline constexpr auto kWarmUp = 5s;  // traffic without upgrades, for comparison
inline constexpr auto kUpgradeEvery = 1s;
inline constexpr auto kTail = 1s;          // traffic after the last upgrade
inline constexpr auto kUpgradeWait = 10s;  // for "Server upgraded"
inline constexpr auto kDeliveryWait = 3s;  // for the last frames, once sending stops

// The console stalled at the upgrade.
inline constexpr int kHelpCommands = 300;  // each prints some 420 bytes: twice what the pipe holds
// More, as many again each time, where the server wrote out all that the
// commands printed without waiting on the pipe; at most this many in all.
inline constexpr int kMostHelpCommands = 3000;
inline constexpr auto kStallWait = 10s;  // for the pipe to fill
// The pipe's fill unchanged this long, with the reader stopped, counts as
// stalled.
inline constexpr auto kStallSteady = 300ms;
inline constexpr int kStalledUpgrades = 3;

// The new program that crashes while it takes over.
inline constexpr int kHandBacks = 5;

// What the phases drive and watch.
struct Bench {
    driver::ProgramCopy& program;
    driver::Process& server;
    Console& console;
    Receipts& receipts;
    UpgradeTrigger& trigger;
};

// Asks for the upgrade numbered `upgrade` in the run (SIGUSR2, or the
// request to the Windows server); the time of asking.
long long requestUpgrade(Bench& b, int upgrade);
void sleepUntilNs(long long at);
// The good program, or another one, copied to the path; the file now there.
driver::FileId install(Bench& b, const std::string& source = "");

struct SteadyFigures {
    std::vector<long long> signalNs;
    int failedAt = 0;  // the upgrade that did not complete, or 0
    int fdsBefore = 0, fdsAfter = 0;
    long rssBefore = 0, rssAfter = 0;
    int upgradesDone = 0;
    std::string lastUpgraded;
    bool serverGone = false;
};
// `upgrades` upgrades, kUpgradeEvery apart, then kTail more traffic.
SteadyFigures upgradeSteadily(Bench& b, int upgrades);

struct StallFigures {
    bool ran = false;
    std::string skippedWhy;  // where it did not run by design
    bool stalled = false;
    int helpCommands = 0;  // written to the server
    int pipeCapacity = 0;
    int pipeFill = 0;          // when the console counted as stalled
    int writerInPipe = -1;     // then: a server thread sleeping in a pipe write (threadInPipeWrite)
    int pipeFullAtSignal = 0;  // upgrades whose signal found the pipe as full as when stalled
    int writerInPipeAtSignal = 0;
    bool writerUntold = false;  // the kernel did not tell where threads sleep
    int firstUpgrade = 0;
    int attempted = 0;
    int completed = 0;
    // Once reading resumed: the "Server upgraded" lines that came, the time
    // from resuming to the last of them, and the console lines the server
    // said it lost in this phase.
    int upgradedLines = 0;
    long long linesAfterNs = 0;
    unsigned long long linesLost = 0;
    long lossReports = 0;
};
// kStalledUpgrades upgrades, a second apart, against a stalled console; then
// reading resumes and their lines are waited for.
StallFigures upgradeWithConsoleStalled(Bench& b, int firstUpgrade);

struct HandBackFigures {
    bool ran = false;
    int firstUpgrade = 0;
    int attempted = 0;
    int handedBack = 0;
    int tookOver = 0;         // the faulty program served: its fault did not strike
    int unexpectedLines = 0;  // "Upgrade failed" lines that do not tell of the crash
    std::string firstLine;
    std::vector<long long> toLineNs;   // the request to "Upgrade failed"
    std::vector<long long> toFrameNs;  // the request to the first frame relayed after that line
    // The good program installed again, and one more upgrade.
    bool goodTried = false;
    bool goodDone = false;
    long long goodNs = 0;  // the request to "Server upgraded"
    std::string goodLine;
};
// The program that crashes while it takes over, installed and asked to take
// over kHandBacks times a second apart; then the good program and one more upgrade.
HandBackFigures upgradeToCrashingProgram(Bench& b, const std::string& crashing, int firstUpgrade);
