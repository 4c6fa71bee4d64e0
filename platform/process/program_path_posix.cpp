// The program's path as resolved at start, and program files held open.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process/posix/process_support.h"
#include "platform/process/process.h"

namespace {

char** gArgv = nullptr;
char gPath[4096] = "";

// The path without "." and ".." steps and doubled slashes, as the operator
// would write it.
std::string tidyPath(const std::string& path) {
    std::vector<std::string> steps;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string step = path.substr(start, end - start);
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        start = end + 1;
    }
    std::string tidy;
    for (const auto& step : steps) tidy += "/" + step;
    return tidy.empty() ? "/" : tidy;
}

// O_PATH: a program that may be run but not read is held all the same.
ProgramFile openFile(const char* path, int* error) {
    int f = ::open(path, O_PATH | O_CLOEXEC);
    if (f < 0) *error = errno;
    return f;
}

}  // namespace

char** process_support::savedArgv() { return gArgv; }

bool canReplaceProcess() { return true; }

void rememberCommandLine(int argc, char** argv) {
    gArgv = argv;
    gPath[0] = 0;
    const char* name = argc > 0 && argv[0] ? argv[0] : "";
    std::string path;
    if (std::strchr(name, '/')) {
        if (name[0] == '/') {
            path = name;
        } else {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + name;
        }
    } else if (name[0] != 0) {
        const char* searchPath = std::getenv("PATH");
        std::string dirs = searchPath ? searchPath : "";
        for (std::size_t start = 0; start <= dirs.size();) {
            std::size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            std::string dir = dirs.substr(start, end - start);
            std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                break;
            }
            start = end + 1;
        }
    }
    if (path.empty()) {
        // The file this process runs now: right until a new one replaces it.
        char link[sizeof gPath];
        ssize_t n = ::readlink("/proc/self/exe", link, sizeof link - 1);
        if (n > 0) path.assign(link, static_cast<std::size_t>(n));
    }
    if (!path.empty() && path[0] == '/') path = tidyPath(path);
    if (path.size() < sizeof gPath) std::memcpy(gPath, path.c_str(), path.size() + 1);
}

const char* programPath() { return gPath; }

ProgramFile openProgram(const char* path, int* error) { return openFile(path, error); }

// The kernel's link names the file this process runs, also once it is no
// longer at any path.
ProgramFile openOwnProgram(int* error) { return openFile("/proc/self/exe", error); }

void closeProgram(ProgramFile program) {
    if (program >= 0) ::close(program);
}

bool isScript(ProgramFile program) {
    int f = ::open(("/proc/self/fd/" + std::to_string(program)).c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) return false;
    char start[2] = {};
    bool script = ::pread(f, start, sizeof start, 0) == 2 && start[0] == '#' && start[1] == '!';
    ::close(f);
    return script;
}
