// What the system tells of this process, for the metrics a scraper expects
// of every process: its memory, its CPU time and its open handles.
#pragma once

#include <cstdint>

// A figure the platform cannot tell is -1 (and then left out of the metrics).
struct ProcessStats {
    double cpuSeconds;           // user and system time of every thread
    std::int64_t residentBytes;  // memory resident now
    std::int64_t openFds;        // descriptors (handles on Windows) open now
    std::int64_t maxFds;         // the soft limit on descriptors; -1: none
};

// Reads the figures now: a few system calls, nothing allocated, no lock
// taken that the server's threads hold.
void readProcessStats(ProcessStats& stats);
