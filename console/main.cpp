// The process entry: options, start, the console loop, stop.
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "console/commands.h"
#include "console/options.h"
#include "net/console_input.h"
#include "net/output.h"
#include "net/stop_signal.h"
#include "console/server_control.h"
#include "masterlist/master_list.h"
#include "server/lifecycle.h"

namespace {

// "exit" on the console and a stop signal end the process the same way,
// once: whoever comes second waits for the first to end it.
[[noreturn]] void stopAndExit(GameServer& server) {
    static std::mutex once;
    once.lock();
    stopServer(server);
    // A console nobody reads must not keep the process alive: what the
    // writer cannot write out within the bound is lost.
    drainOutput(kOutputDrainMs);
    endProcess(0);
}

// The next console line without its line end; false once input has ended
// (or failed) with nothing left. A last line without a line end counts.
bool nextConsoleLine(std::string& line) {
    static char buf[4096];
    static std::size_t have = 0;
    static std::size_t next = 0;
    line.clear();
    for (;;) {
        while (next < have) {
            char c = buf[next++];
            if (c == '\n') return true;
            line.push_back(c);
        }
        long n = readStandardInput(buf, sizeof buf);
        if (n <= 0) return !line.empty();
        have = static_cast<std::size_t>(n);
        next = 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    StartOptions options;
    scanOptions(argc, argv, options);
    GameServer* server = createServer(options.name, options.port, options.maxPlayers);
    server->masterList = createMasterList(chooseMasterHost(std::getenv("GAMESERVER_MASTER_HOST"), defaultMasterHost()));
    watchStopSignals([](void* s) { stopAndExit(*static_cast<GameServer*>(s)); }, server);

    writeLine(Stream::Out, "Enter 'exit' to end the server, 'help' for a list of supported commands.");
    writeLine(Stream::Out, "");
    startServer(*server, options.onlylan);

    std::string line;
    while (nextConsoleLine(line)) {
        if (!handleConsoleLine(*server, line)) stopAndExit(*server);
    }
    // No console any more (end of input or a read error): serve on until a
    // stop signal ends the process.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
