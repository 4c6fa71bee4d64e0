// The process around the server, for the upgrade in place: the program file
// it was started from, program files opened once and run from what was
// opened, and the replacement of this process's program by another one, with
// the same process ID, the same standard streams and the same command line,
// which inherits the server's state and its sockets together with the program
// that was replaced, to hand back to should it fail. Only POSIX systems can do
// this; on Windows each call reports that it cannot.
//
// program_path_posix.cpp: the path and the program files; switch_posix.cpp:
// the replacement; inherit_posix.cpp: what the new program inherits. The
// check of a program is in program_check.h, the hand-back in hand_back.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/network/socket.h"

// Whether this platform can replace the program of a running process.
bool canReplaceProcess();

// At start: keeps the command line for the replacement and resolves the
// program's path as it stands now: argv[0] made absolute, or looked up on PATH
// where it names no folder. The path is kept as a name, not as the file: a
// package upgrade renames a new file over the old one.
void rememberCommandLine(int argc, char** argv);
// The program's path as resolved at start; empty where it could not be.
const char* programPath();

// A program file held open: whatever is put at its path later, what is
// checked and run is the file that was opened.
using ProgramFile = int;
inline constexpr ProgramFile kNoProgram = -1;
// The file at the path now; kNoProgram with the system's error number in
// *error where there is none.
ProgramFile openProgram(const char* path, int* error);
// The file this process runs, even where another has been renamed over its
// path since it started.
ProgramFile openOwnProgram(int* error);
void closeProgram(ProgramFile program);
// Whether the file opened is a script ("#!" first), which the replacement
// cannot run from the file opened: its interpreter would look for it by a
// name that the new program no longer has. False where it cannot be read.
bool isScript(ProgramFile program);

// Replaces this process's program with `program` (named `name` in the
// reason of a failure). The state bytes, the
// sockets named and `fallback` (the program replaced, to hand back to) travel
// with it: the new program finds them with takeInheritedState and
// armHandBack; every other descriptor of the server closes. The state goes in
// a memory file sealed against any change, so that what the new program reads
// is what the old one finds again if it is handed back. Returns only when the
// replacement failed, with the reason in why (the sockets are then as they
// were).
void replaceProcess(ProgramFile program, const char* name, ProgramFile fallback, const std::uint8_t* state,
                    std::size_t len, const Socket* sockets, std::size_t count, char* why, std::size_t whySize);

// In the new program: the state the old one left in the environment's
// descriptor; readInheritedState reads it. The variable is removed either
// way; a state (taken, or too large) stays open until releaseInheritedState,
// so that a hand-back finds it as it was.
enum class Inherited {
    None,       // no state was handed over
    NotState,   // the variable names no state: why says what it names instead
    TooLarge,   // a state larger than a state can be
    Taken,      // a state of *len bytes; *sealed: it can no longer change
};
Inherited takeInheritedState(std::size_t maxLen, std::size_t* len, bool* sealed, char* why, std::size_t whySize);
// Reads the state taken into area, which has room for its length: the bytes read.
std::size_t readInheritedState(std::uint8_t* area, std::size_t len);
// The new program serves: the state's descriptor closes.
void releaseInheritedState();

// What an inherited descriptor is, as far as the server is concerned.
enum class InheritedSocket { Listening, Connected, OtherSocket, NotASocket };
InheritedSocket inspectInheritedSocket(Socket s);
// An inherited socket the server keeps: it closes again when a program is
// started, as every socket of the server does. Until then it stays open
// across a hand-back.
void keepInheritedSocket(Socket s);
// Closes every inherited socket from descriptor 3 up that is still open when
// a state has been refused: none of them can be trusted.
void closeInheritedSockets();
