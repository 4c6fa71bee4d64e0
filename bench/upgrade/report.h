// The upgrade bench's figures as it prints them at the end of the run, and
// the machine's load they are to be read against.
#pragma once

#include <string>
#include <vector>

#include "phases.h"

struct RunFigures {
    int players = 0, rate = 0, upgrades = 0;
    std::string crashing;  // the program that crashes while taking over, if given
    // The Windows server, under this Wine (its version line); asked to
    // upgrade by a request program rather than a signal.
    bool windows = false;
    std::string wine;
    std::string trigger = "SIGUSR2";
    std::vector<long long> requestRunsNs;  // each request program, start to end
    std::string loadAtStart;
    long long cpuWaitAtStartUs = -1;
    long long startNs = 0;
    SteadyFigures steady;
    bool laterPhases = false;  // the stalled console and the hand-backs ran
    StallFigures stalled;
    HandBackFigures handBacks;
    int fdsAtEnd = 0;
    long rssAtEnd = 0;
    long expected = 0;  // frames all players should have got
    long sendFailures = 0;
    int exitStatus = 0;  // the server's, as waitpid tells it
};

void printReport(const RunFigures& run, const Receipts& receipts, const Console& console);

// The load average over 1, 5 and 15 minutes.
std::string loadAverage();
// The time, in microseconds since boot, that some task waited for a core
// (the kernel's pressure figure), or -1 where it is not kept.
long long cpuWaitUs();
