// What the upgrade bench leaves behind if it ends early, on a failure or a
// stop signal: the server it started and the folder of its program, cleared
// with async-signal-safe calls only.
#pragma once

#include <sys/types.h>

#include <string>

namespace driver {
class ProgramCopy;
}

// The server's process, once started, and -1 again once it is stopped.
void leaveServer(pid_t pid);
// The program's folder and its files, until the copy removes them.
void leaveProgram(const driver::ProgramCopy& program);
void programRemoved();
// SIGINT, SIGTERM and SIGHUP clear them and end the bench.
void clearOnStopSignals();

// Prints why, clears them and ends the bench.
[[noreturn]] void fail(const std::string& why);
