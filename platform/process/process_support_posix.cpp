#include "platform/process/posix/process_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace process_support {

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

void setCloseOnExec(int f, bool on) {
    int flags = ::fcntl(f, F_GETFD);
    if (flags < 0) return;
    ::fcntl(f, F_SETFD, on ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC));
}

void putText(char* area, std::size_t size, const std::string& text) { std::snprintf(area, size, "%s", text.c_str()); }

std::vector<char*> environmentWith(std::vector<std::string>& extra, bool forProbe) {
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        bool ours = false;
        for (const char* name : {kStateVariable, kFallbackVariable, kProbeVariable, kCheckVariable, kHandBackVariable})
            ours = ours || (startsWith(*e, name) && (*e)[std::strlen(name)] == '=');
        if (ours || (forProbe && startsWith(*e, "NOTIFY_SOCKET="))) continue;
        env.push_back(*e);
    }
    for (auto& entry : extra) env.push_back(entry.data());
    env.push_back(nullptr);
    return env;
}

int descriptorNumber(const char* text) {
    if (text[0] == 0 || std::strlen(text) > 9) return -1;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return -1;
    int n = std::atoi(text);
    return n >= 3 ? n : -1;
}

int sealedStateFile(const std::uint8_t* state, std::size_t len, char* why, std::size_t whySize) {
    int f = ::memfd_create(kStateFileName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (f < 0) {
        putText(why, whySize, std::string("the state has no place to go: ") + std::strerror(errno));
        return -1;
    }
    for (std::size_t done = 0; done < len;) {
        ssize_t n = ::write(f, state + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            putText(why, whySize, std::string("the state could not be written: ") + std::strerror(errno));
            ::close(f);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fcntl(f, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        putText(why, whySize, std::string("the state could not be sealed: ") + std::strerror(errno));
        ::close(f);
        return -1;
    }
    return f;
}

std::size_t readWhole(int f, std::uint8_t* area, std::size_t want) {
    std::size_t got = 0;
    while (got < want) {
        ssize_t r = ::pread(f, area + got, want - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

bool isStateFile(int f, bool* sealed, std::string& why) {
    char link[256] = "";
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(f)).c_str(), link, sizeof link - 1);
    struct stat st{};
    if (n <= 0 || ::fstat(f, &st) != 0) {
        why = "is not open";
        return false;
    }
    link[n] = 0;
    if (!S_ISREG(st.st_mode) || !startsWith(link, (std::string("/memfd:") + kStateFileName).c_str())) {
        why = std::string("names no state a server left (") + link + ")";
        return false;
    }
    int seals = ::fcntl(f, F_GET_SEALS);
    int needed = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK;
    *sealed = seals >= 0 && (seals & needed) == needed;
    return true;
}

}  // namespace process_support
