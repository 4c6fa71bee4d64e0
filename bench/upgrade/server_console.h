// The server's console as the upgrade bench watches it: the server runs from
// the program's copy under the bench, its output read all the time (but where
// the bench stalls it on purpose), and the lines that tell of upgrades and of
// dropped frames and lines noted, with the time they were read.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "process.h"

struct Console {
    std::mutex lock;
    std::condition_variable changed;
    int upgradesDone = 0;
    int upgradesFailed = 0;
    std::vector<long long> upgradingNs;  // "Upgrading server to ..." seen
    std::vector<long long> upgradedNs;   // "Server upgraded ..." seen
    std::string lastUpgraded;
    std::vector<long long> failedNs;  // "Upgrade failed ..." seen
    std::vector<std::string> failedLines;
    // While set, "Upgrade failed" lines are the bench's doing and not among
    // the other lines on standard error.
    bool handBacksExpected = false;
    long drops = 0;
    long dropLines = 0;
    unsigned long long outputDropped = 0;  // the server's own count of console lines it lost
    long outputDropReports = 0;
    std::vector<std::string> otherErrors;
    long otherErrorCount = 0;
    bool ended[2] = {false, false};  // standard output, standard error
};

// The server started with this command (the program's path the last word)
// on a free port, with room for 63 players, listening; it is killed should
// the bench end without stopping it. Its lines go to the console.
std::unique_ptr<driver::Process> startServer(const std::vector<std::string>& command, Console& console, int& port);
