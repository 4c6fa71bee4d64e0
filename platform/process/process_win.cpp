// Windows cannot replace the program of a running process and keep its
// sockets as POSIX systems can: the upgrade in place, its check and its
// hand-back are not offered there.
#include <cstdio>

#include "platform/process/hand_back.h"
#include "platform/process/process.h"
#include "platform/process/program_check.h"

bool canReplaceProcess() { return false; }

void rememberCommandLine(int, char**) {}

const char* programPath() { return ""; }

ProgramFile openProgram(const char*, int* error) {
    *error = 0;
    return kNoProgram;
}

ProgramFile openOwnProgram(int* error) {
    *error = 0;
    return kNoProgram;
}

void closeProgram(ProgramFile) {}

bool isScript(ProgramFile) { return false; }

void replaceProcess(ProgramFile, const char*, ProgramFile, const std::uint8_t*, std::size_t, const Socket*,
                    std::size_t, char* why, std::size_t whySize) {
    std::snprintf(why, whySize, "this system cannot replace a running program");
}

Inherited takeInheritedState(std::size_t, std::size_t*, bool*, char*, std::size_t) { return Inherited::None; }

std::size_t readInheritedState(std::uint8_t*, std::size_t) { return 0; }

void releaseInheritedState() {}

InheritedSocket inspectInheritedSocket(Socket) { return InheritedSocket::NotASocket; }

void keepInheritedSocket(Socket) {}

void closeInheritedSockets() {}

ProbeResult checkProgram(ProgramFile, const char*, const std::uint8_t*, std::size_t, int) {
    ProbeResult result{};
    result.kind = ProbeResult::CannotRun;
    return result;
}

void killProbe() {}

CheckRequest takeCheckRequest() { return CheckRequest::None; }

std::size_t readCheckState(std::uint8_t*, std::size_t, char*, std::size_t) { return 0; }

void answerCheck(const char*) {}

bool armHandBack(const char*, int) { return false; }

void handBack(const char*) {}

bool handBackArmed() { return false; }

void giveThreadCrashStack() {}

void disarmHandBack() {}

const char* takeHandBackReason() { return nullptr; }
