// The process around the server, for the upgrade in place: the program file
// it was started from, the probe of a program file, and the replacement of
// this process's program by another one, with the same process ID, the same
// standard streams and the same command line, which inherits the server's
// state and its sockets. Only POSIX systems can do this; on Windows each call
// reports that it cannot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/socket.h"

// Whether this platform can replace the program of a running process.
bool canReplaceProcess();

// At start: keeps the command line for the replacement and resolves the
// program's path as it stands now: argv[0] made absolute, or looked up on PATH
// where it names no folder. The path is kept as a name, not as the file: a
// package upgrade renames a new file over the old one.
void rememberCommandLine(int argc, char** argv);
// The program's path as resolved at start; empty where it could not be.
const char* programPath();

// What a probe of a program file found.
struct ProbeResult {
    enum Kind { Answered, CannotRun, ExitedSilently, NoAnswer } kind;
    int code;          // CannotRun: the system's error number; ExitedSilently: the exit code, or -signal
    char answer[256];  // Answered: the first line of the answer, without its line end
};
// Runs the program once as a probe, with no console and arguments that keep
// a program of another kind off the network, and waits at most timeoutMs for
// the first line it writes to the descriptor named in its environment. A
// program still running then is killed.
ProbeResult probeProgram(const char* path, int timeoutMs);

// A probe still running is killed: the process is about to end, and a
// program that does not answer would outlive it.
void killProbe();

// In a program started as a probe: writes the answer line and returns true;
// the caller then ends the process. False (and nothing written) in any other
// process.
bool answerProbe(const char* answer);

// Replaces this process's program with the one at path. The state bytes and
// the sockets named travel with it: the new program finds them with
// takeInheritedState; every other descriptor of the server closes. Returns only
// when the replacement failed, with the reason in why (the sockets are then
// as they were).
void replaceProcess(const char* path, const std::uint8_t* state, std::size_t len, const Socket* sockets,
                    std::size_t count, char* why, std::size_t whySize);

// In the new program: the state the old one left in the environment's
// descriptor, read whole into area. The variable is removed either way.
enum class Inherited {
    None,       // no state was handed over
    NotState,   // the variable names no state: why says what it names instead
    TooLarge,   // a state larger than area
    Taken,      // *len bytes of state are in area
};
Inherited takeInheritedState(std::uint8_t* area, std::size_t size, std::size_t* len, char* why, std::size_t whySize);

// What an inherited descriptor is, as far as the server is concerned.
enum class InheritedSocket { Listening, Connected, OtherSocket, NotASocket };
InheritedSocket inspectInheritedSocket(Socket s);
// An inherited socket the server keeps: it closes again when a program is
// started, as every socket of the server does.
void keepInheritedSocket(Socket s);
// Closes every inherited socket from descriptor 3 up that is still open when
// a state has been refused: none of them can be trusted.
void closeInheritedSockets();
