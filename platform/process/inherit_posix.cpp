// What a program that takes over inherits: the state's memory file and the
// server's sockets, each checked to be what it should be.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/network/posix/descriptor.h"
#include "platform/process/posix/process_support.h"
#include "platform/process/process.h"

using namespace process_support;

namespace {

int gStateFd = -1;  // the state's descriptor, open until the new program serves

}  // namespace

Inherited takeInheritedState(std::size_t maxLen, std::size_t* len, bool* sealed, char* why, std::size_t whySize) {
    const char* value = std::getenv(kStateVariable);
    if (!value) return Inherited::None;
    std::string given = value;
    ::unsetenv(kStateVariable);
    std::string named = std::string(kStateVariable) + "=" + given;
    int in = descriptorNumber(given.c_str());
    if (in < 0) {
        putText(why, whySize, named + " is no descriptor number from 3 up");
        return Inherited::NotState;
    }
    // Only the memory file a server left is read, and only that is closed:
    // a number set by hand may name a descriptor that belongs elsewhere.
    std::string what;
    if (!isStateFile(in, sealed, what)) {
        putText(why, whySize, named + " " + what);
        return Inherited::NotState;
    }
    setCloseOnExec(in, true);
    // Taken either way: a state refused for its size is handed back as it
    // came, or closed by releaseInheritedState.
    gStateFd = in;
    struct stat st{};
    if (::fstat(in, &st) != 0 || st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxLen) {
        putText(why, whySize, named + " holds " + std::to_string(st.st_size) + " bytes, more than a state can have");
        return Inherited::TooLarge;
    }
    *len = static_cast<std::size_t>(st.st_size);
    return Inherited::Taken;
}

std::size_t readInheritedState(std::uint8_t* area, std::size_t len) {
    return gStateFd >= 0 ? readWhole(gStateFd, area, len) : 0;
}

void releaseInheritedState() {
    if (gStateFd >= 0) ::close(gStateFd);
    gStateFd = -1;
}

InheritedSocket inspectInheritedSocket(Socket s) {
    int f = descriptorOf(s);
    struct stat st{};
    if (f < 0 || ::fstat(f, &st) != 0 || !S_ISSOCK(st.st_mode)) return InheritedSocket::NotASocket;
    int type = 0, domain = 0, protocol = 0, listening = 0;
    socklen_t size = sizeof(int);
    bool tcp = ::getsockopt(f, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM &&
               (size = sizeof(int), ::getsockopt(f, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0) &&
               domain == AF_INET &&
               (size = sizeof(int), ::getsockopt(f, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) == 0) &&
               protocol == IPPROTO_TCP;
    if (!tcp) return InheritedSocket::OtherSocket;
    size = sizeof(int);
    if (::getsockopt(f, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) return InheritedSocket::OtherSocket;
    // A connection its peer has ended meanwhile is still the client's: the
    // connection loop finds the end and tells the others, as it would have.
    return listening ? InheritedSocket::Listening : InheritedSocket::Connected;
}

void keepInheritedSocket(Socket s) { setCloseOnExec(descriptorOf(s), true); }

void closeInheritedSockets() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return;
    std::vector<int> sockets;
    while (dirent* entry = ::readdir(dir)) {
        int f = descriptorNumber(entry->d_name);
        struct stat st{};
        if (f >= 0 && f != ::dirfd(dir) && ::fstat(f, &st) == 0 && S_ISSOCK(st.st_mode)) sockets.push_back(f);
    }
    ::closedir(dir);
    for (int f : sockets) ::close(f);
}
