// Server processes started and followed by the process the operator (or the
// service manager) started: the keeper. It stays for the server's whole life,
// holding the console, the service's status and the exit code, while the
// server it keeps is replaced by a new process that takes the sockets over.
// Windows implements it (kept_server_win.cpp); POSIX systems upgrade in place
// instead, and report here that they cannot.
//
// A kept server talks to its keeper over four pipes: its console input, its
// output and errors, and two for messages (keeper_link.h in upgrade/).
#pragma once

#include <cstddef>
#include <cstdint>

using PipeEnd = std::intptr_t;
inline constexpr PipeEnd kNoPipe = -1;

// Whether this platform can start kept servers.
bool canKeepServers();

struct KeptServer {
    std::intptr_t process = -1;
    std::uint32_t pid = 0;
    PipeEnd input = kNoPipe;       // the keeper writes its console input here
    PipeEnd output = kNoPipe;      // and reads its standard output
    PipeEnd errors = kNoPipe;      // and its standard error
    PipeEnd toServer = kNoPipe;    // messages to it
    PipeEnd fromServer = kNoPipe;  // messages from it
};

// Starts `program` with the arguments (argv[0] excluded) and the pipes, in no
// console of the keeper's, so that the console's stop events reach the keeper
// alone. takesOver: it is to take a server's state and sockets over. Only the
// pipes are inherited. False, with the system's reason in why, where it
// could not be started.
bool startKeptServer(const char* program, int argc, char** argv, bool takesOver, KeptServer& server, char* why,
                     std::size_t whySize);
// Waits up to waitMs for the server process to end: true, with its exit code,
// once it has.
bool keptServerEnded(const KeptServer& server, int waitMs, std::uint32_t* code);
// Ends the process at once (one that does not take over in time).
void killKeptServer(const KeptServer& server);
// Closes the keeper's pipe ends and its hold on the process.
void releaseKeptServer(KeptServer& server);

// The program the keeper was started from, as a path (UTF-8); empty where
// unknown.
const char* keeperProgramPath();
std::uint32_t ownProcessId();

// Byte counts, 0 once the other end has closed, or -1. A write writes all.
long pipeRead(PipeEnd pipe, void* buf, std::size_t len);
bool pipeWrite(PipeEnd pipe, const void* buf, std::size_t len);
void pipeClose(PipeEnd pipe);

// In a kept server: the message pipes its keeper gave it, and whether it is
// to take a server over. False in any other process. The variable that names
// them is removed, so that no program this one starts takes it for its own.
bool keeperPipes(PipeEnd* fromKeeper, PipeEnd* toKeeper, bool* takesOver);
