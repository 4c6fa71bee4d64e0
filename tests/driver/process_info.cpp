#include "process_info.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace driver {

namespace {

std::string procPath(pid_t pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

// The names in a folder of /proc, "." and ".." left out; false where it
// cannot be read.
bool listEntries(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    while (dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    ::closedir(dir);
    return true;
}

}  // namespace

int openDescriptors(pid_t pid) {
    std::vector<std::string> fds;
    return listEntries(procPath(pid, "fd"), fds) ? static_cast<int>(fds.size()) : -1;
}

long residentKb(pid_t pid) {
    std::ifstream status(procPath(pid, "status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

bool refuseNewHandles(pid_t pid) {
    std::vector<std::string> fds;
    if (!listEntries(procPath(pid, "fd"), fds)) return false;
    std::vector<bool> used;
    for (const auto& name : fds) {
        auto n = static_cast<std::size_t>(std::atoi(name.c_str()));
        if (used.size() <= n) used.resize(n + 1);
        used[n] = true;
    }
    std::size_t lowestFree = 0;
    while (lowestFree < used.size() && used[lowestFree]) ++lowestFree;
    rlimit old{};
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &old) != 0) return false;
    rlimit lowered = old;
    lowered.rlim_cur = lowestFree;
    return ::prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr) == 0;
}

int threadInPipeWrite(pid_t pid) {
    const std::string tasks = procPath(pid, "task");
    std::vector<std::string> threads;
    if (!listEntries(tasks, threads)) return -1;
    bool told = false, writing = false;
    for (const auto& thread : threads) {
        std::ifstream file(tasks + "/" + thread + "/wchan");
        std::string where;
        std::getline(file, where);
        if (where.empty() || where == "0") continue;
        told = true;
        if (where.find("pipe_write") != std::string::npos) writing = true;
    }
    return writing ? 1 : told ? 0 : -1;
}

FileId fileId(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino};
}

FileId runningProgram(pid_t pid) { return fileId(procPath(pid, "exe")); }

std::string runningFile(pid_t pid) {
    std::error_code error;
    return std::filesystem::read_symlink(procPath(pid, "exe"), error).string();
}

}  // namespace driver
