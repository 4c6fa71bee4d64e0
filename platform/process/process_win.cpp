// Windows cannot replace the program of a running process and keep its
// sockets as POSIX systems can: the upgrade in place, its check and its
// hand-back are not offered there. Its servers hand their sockets to a new
// process instead (kept_server.h), which inspects them as below.
#include <cstdio>

#include "platform/process/hand_back.h"
#include "platform/process/process.h"
#include "platform/process/program_check.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>

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

InheritedSocket inspectInheritedSocket(Socket s) {
    SOCKET h = static_cast<SOCKET>(s);
    int type = 0;
    int size = sizeof type;
    if (::getsockopt(h, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) != 0)
        return InheritedSocket::NotASocket;
    WSAPROTOCOL_INFOW info{};
    size = sizeof info;
    bool tcp = type == SOCK_STREAM &&
               ::getsockopt(h, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &size) == 0 &&
               info.iAddressFamily == AF_INET && info.iProtocol == IPPROTO_TCP;
    if (!tcp) return InheritedSocket::OtherSocket;
    BOOL listening = FALSE;
    size = sizeof listening;
    if (::getsockopt(h, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &size) != 0)
        return InheritedSocket::OtherSocket;
    // A connection its peer has ended meanwhile is still the client's: the
    // connection loop finds the end and tells the others, as it would have.
    return listening ? InheritedSocket::Listening : InheritedSocket::Connected;
}

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
