#include "platform/process/process_stats.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <psapi.h>

void readProcessStats(ProcessStats& stats) {
    HANDLE self = ::GetCurrentProcess();
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(self, &created, &exited, &kernel, &user)) {
        // FILETIME counts 100-nanosecond steps.
        auto steps = [](const FILETIME& t) {
            return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        stats.cpuSeconds = static_cast<double>(steps(kernel) + steps(user)) / 1e7;
    } else {
        stats.cpuSeconds = -1;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    stats.residentBytes =
        ::K32GetProcessMemoryInfo(self, &memory, sizeof memory) ? static_cast<std::int64_t>(memory.WorkingSetSize) : -1;
    DWORD handles = 0;
    stats.openFds = ::GetProcessHandleCount(self, &handles) ? static_cast<std::int64_t>(handles) : -1;
    // Windows sets no limit a scraper could compare the handles with.
    stats.maxFds = -1;
}
