// The switch: this process's program replaced by the one opened, which
// inherits the sealed state, the sockets and the program it replaces.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/network/posix/descriptor.h"
#include "platform/process/posix/process_support.h"
#include "platform/process/process.h"

using namespace process_support;

void replaceProcess(ProgramFile program, const char* name, ProgramFile fallback, const std::uint8_t* state,
                    std::size_t len, const Socket* sockets, std::size_t count, char* why, std::size_t whySize) {
    int stateFd = sealedStateFile(state, len, why, whySize);
    if (stateFd < 0) return;
    // Only what must travel stays open across the start: the state, the old
    // program and the sockets. The new program's own file is run from its
    // descriptor and closes.
    for (std::size_t i = 0; i < count; ++i) setCloseOnExec(descriptorOf(sockets[i]), false);
    setCloseOnExec(stateFd, false);
    setCloseOnExec(fallback, false);
    std::vector<std::string> extra{std::string(kStateVariable) + "=" + std::to_string(stateFd),
                                   std::string(kFallbackVariable) + "=" + std::to_string(fallback)};
    std::vector<char*> env = environmentWith(extra, false);

    ::syscall(SYS_execveat, program, "", savedArgv(), env.data(), AT_EMPTY_PATH);
    int code = errno;
    for (std::size_t i = 0; i < count; ++i) setCloseOnExec(descriptorOf(sockets[i]), true);
    setCloseOnExec(fallback, true);
    ::close(stateFd);
    putText(why, whySize, std::string("cannot start ") + name + ": " + std::strerror(code));
}
