#include "platform/process/process_stats.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The resident pages, the second figure of /proc/self/statm (Linux).
std::int64_t residentBytes() {
    int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[128];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return -1;
    text[n] = 0;
    char* end = nullptr;
    std::strtoll(text, &end, 10);
    long long pages = std::strtoll(end, &end, 10);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return -1;
    return static_cast<std::int64_t>(pages) * pageSize;
}

// The entries of /proc/self/fd, less the one the count itself opens.
std::int64_t openDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    std::int64_t count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;
}

}  // namespace

void readProcessStats(ProcessStats& stats) {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) == 0) {
        stats.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    } else {
        stats.cpuSeconds = -1;
    }
    stats.residentBytes = residentBytes();
    stats.openFds = openDescriptors();
    rlimit limit{};
    stats.maxFds = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<std::int64_t>(limit.rlim_cur)
                       : -1;
}
