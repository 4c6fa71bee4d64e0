#include "leftovers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "program_copy.h"

namespace {

struct Leftovers {
    std::atomic<pid_t> server{-1};
    char dir[64] = "";
    char program[128] = "";
    char newProgram[128] = "";
};
Leftovers gLeftovers;

void clearLeftovers() {
    pid_t pid = gLeftovers.server.exchange(-1);
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (gLeftovers.dir[0] != 0) {
        ::unlink(gLeftovers.newProgram);
        ::unlink(gLeftovers.program);
        ::rmdir(gLeftovers.dir);
    }
}

void onStopSignal(int sig) {
    clearLeftovers();
    ::_exit(128 + sig);
}

}  // namespace

void leaveServer(pid_t pid) { gLeftovers.server = pid; }

void leaveProgram(const driver::ProgramCopy& program) {
    std::snprintf(gLeftovers.program, sizeof gLeftovers.program, "%s", program.path().c_str());
    std::snprintf(gLeftovers.newProgram, sizeof gLeftovers.newProgram, "%s", program.newPath().c_str());
    std::snprintf(gLeftovers.dir, sizeof gLeftovers.dir, "%s", program.folder().c_str());
}

void programRemoved() { gLeftovers.dir[0] = 0; }

void clearOnStopSignals() {
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &stop, nullptr);
}

void fail(const std::string& why) {
    std::fprintf(stderr, "upgrade_bench: %s\n", why.c_str());
    std::fflush(stderr);
    clearLeftovers();
    std::_Exit(1);
}
