// POSIX systems upgrade in place (process.h): the server is its own keeper.
#include "platform/process/kept_server.h"

#include <unistd.h>

bool canKeepServers() { return false; }

bool startKeptServer(const char*, int, char**, bool, KeptServer&, char* why, std::size_t whySize) {
    if (whySize > 0) why[0] = 0;
    return false;
}

bool keptServerEnded(const KeptServer&, int, std::uint32_t*) { return false; }
void killKeptServer(const KeptServer&) {}
void releaseKeptServer(KeptServer&) {}
const char* keeperProgramPath() { return ""; }
std::uint32_t ownProcessId() { return static_cast<std::uint32_t>(::getpid()); }
long pipeRead(PipeEnd, void*, std::size_t) { return -1; }
bool pipeWrite(PipeEnd, const void*, std::size_t) { return false; }
void pipeClose(PipeEnd) {}
bool keeperPipes(PipeEnd*, PipeEnd*, bool*) { return false; }
