// The check of a program before an upgrade in place: it is run once, from
// the file opened, with no console, no socket of the server's and arguments
// that keep a program of another kind off the network; it is given the state
// as it stands, and answers on a pipe with one line: the formats it reads, its
// release, and what it makes of the state. Only POSIX systems can do this; on
// Windows the calls report that they cannot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process/process.h"

// What a check found.
struct ProbeResult {
    enum Kind { Answered, CannotPrepare, CannotRun, ExitedSilently, NoAnswer } kind;
    int code;          // CannotRun: the system's error number; ExitedSilently: the exit code, or -signal
    char answer[256];  // Answered: the first line of the answer, without its line end;
                       // CannotPrepare: why the state or the answer's pipe could not be made
};
// Runs program (named path, as its command line names it) with the state and
// waits at most timeoutMs for its answer. A program still running then is
// killed.
ProbeResult checkProgram(ProgramFile program, const char* path, const std::uint8_t* state, std::size_t len,
                         int timeoutMs);

// A check still running is killed: the process is about to end, and a
// program that does not answer would outlive it.
void killProbe();

// In a program started as a check: what it is asked. The variables are
// removed.
enum class CheckRequest {
    None,          // no check: the process is a server
    Ignored,       // the variable named no pipe to answer on: a line said so, the process is a server
    WithoutState,  // asked by a release that gives no state
    WithState,     // readCheckState reads it
};
CheckRequest takeCheckRequest();
// The state a check was given, read whole into area: its length, or 0 with
// why it cannot be read (no state a server left, too large, not sealed).
std::size_t readCheckState(std::uint8_t* area, std::size_t size, char* why, std::size_t whySize);
// Writes the answer line on the check's pipe.
void answerCheck(const char* answer);
