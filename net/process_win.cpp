// Windows cannot replace the program of a running process and keep its
// sockets as POSIX systems can: the upgrade in place is not offered there.
#include "net/process.h"

#include <cstdio>

bool canReplaceProcess() { return false; }

void rememberCommandLine(int, char**) {}

const char* programPath() { return ""; }

ProbeResult probeProgram(const char*, int) {
    ProbeResult result{};
    result.kind = ProbeResult::CannotRun;
    return result;
}

void killProbe() {}

bool answerProbe(const char*) { return false; }

void replaceProcess(const char*, const std::uint8_t*, std::size_t, const Socket*, std::size_t, char* why,
                    std::size_t whySize) {
    std::snprintf(why, whySize, "this system cannot replace a running program");
}

Inherited takeInheritedState(std::uint8_t*, std::size_t, std::size_t*, char*, std::size_t) { return Inherited::None; }

InheritedSocket inspectInheritedSocket(Socket) { return InheritedSocket::NotASocket; }

void keepInheritedSocket(Socket) {}

void closeInheritedSockets() {}
