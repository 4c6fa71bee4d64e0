// The process entry: options, start, the console loop, stop; or, in a
// program that an upgrade started, the taking over; or, in a program being
// checked for an upgrade, the answer; or, where programs are not replaced in
// place, the keeper of the server's processes.
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "console/commands.h"
#include "console/options.h"
#include "console/server_control.h"
#include "fleet/agones.h"
#include "fleet/drain.h"
#include "fleet/fleet_settings.h"
#include "keeper/keeper.h"
#include "masterlist/master_list.h"
#include "monitoring/http_endpoint.h"
#include "platform/process/kept_server.h"
#include "platform/process/process.h"
#include "platform/process/program_check.h"
#include "platform/process/stop_signal.h"
#include "platform/process/upgrade_request.h"
#include "platform/service/service_mode.h"
#include "platform/service/service_stop.h"
#include "server/lifecycle.h"
#include "streams/output.h"
#include "upgrade/keeper_link.h"
#include "upgrade/take_over.h"
#include "upgrade/upgrade_in_place.h"

namespace {

ServerProcess gProcess;

// "exit" on the console and a stop signal end the process the same way,
// once: whoever comes second waits for the first to end it.
[[noreturn]] void stopAndExit(ServerProcess& process) {
    static std::mutex once;
    once.lock();
    killProbe();
    stopServer(*process.server);
    agonesShutdown();
    // A console nobody reads must not keep the process alive: what the
    // writer cannot write out within the bound is lost.
    drainOutput(kOutputDrainMs);
    if (keptByKeeper()) tellKeeper("ending");
    endProcess(0);
}

void stopAndExitFrom(void* process) { stopAndExit(*static_cast<ServerProcess*>(process)); }

// A termination drains first where the operator asked for it; anything else,
// and a termination during a drain, stops at once.
void onStopRequest(void* context, StopRequest request) {
    ServerProcess& process = *static_cast<ServerProcess*>(context);
    if (request == StopRequest::Terminate &&
        beginDrain(*process.server, process.fleet.drainSeconds, stopAndExitFrom, &process))
        return;
    stopAndExit(process);
}

void startAfresh(int argc, char** argv) {
    StartOptions options;
    scanOptions(argc, argv, options);
    gProcess.onlylan = options.onlylan;
    gProcess.fleet = readFleetSettings(true);
    gProcess.server = createServer(options.name, options.port, options.maxPlayers);
    gProcess.server->masterList =
        createMasterList(chooseMasterHost(std::getenv("GAMESERVER_MASTER_HOST"), defaultMasterHost()));
    writeLine(Stream::Out, "Enter 'exit' to end the server, 'help' for a list of supported commands.");
    writeLine(Stream::Out, "");
    startAgones(*gProcess.server, gProcess.fleet.agonesPort);
    startServer(*gProcess.server, gProcess.onlylan);
}

// The server, as a console program or as a service; it ends the process
// itself.
int serve(int argc, char** argv) {
    holdControlSignals();
    if (answerCheckRequest()) endProcess(0);
    // Where the program cannot be replaced in place, the process started is
    // the keeper, and the server runs in a process of its own.
    bool takesOver = false;
    const bool kept = joinKeeper(&takesOver);
    if (!kept && canKeepServers()) keepServers(argc, argv);
    rememberCommandLine(argc, argv);
    // The list host was reported on at the first start, if at all.
    const char* listHost = chooseMasterHost(std::getenv("GAMESERVER_MASTER_HOST"), defaultMasterHost(), false);
    TakenOver taken;
    if (kept ? takesOver && takeOverFromKeeper(gProcess.console, listHost, taken)
             : takeOver(gProcess.console, listHost, taken)) {
        gProcess.server = taken.server;
        gProcess.onlylan = taken.onlylan;
        // Its settings were reported on at the first start.
        gProcess.fleet = readFleetSettings(false);
        startAgones(*gProcess.server, gProcess.fleet.agonesPort);
        serveAfterTakeOver(taken);
        if (gProcess.server->draining.load() != 0) resumeDrain(*gProcess.server, stopAndExitFrom, &gProcess);
    } else {
        startAfresh(argc, argv);
    }
    // The server taken over from another process holds the address until it
    // has ended, a moment after this one serves.
    if (gProcess.fleet.httpAddress[0] != 0)
        startHttpEndpoint(*gProcess.server, gProcess.fleet.httpAddress, kept && takesOver ? 3000 : 0);
    // A stop or an upgrade asked for while the server took over is taken now.
    watchStopSignals(
        onStopRequest,
        [](void* p) {
            ServerProcess& process = *static_cast<ServerProcess*>(p);
            upgradeInPlace(*process.server, process.console, process.onlylan);
        },
        &gProcess);
    if (kept) followKeeper(*gProcess.server, gProcess.console, gProcess.onlylan, onStopRequest, &gProcess);

    ConsoleReader& console = gProcess.console;
    std::string line;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(console.lock);
            if (takeConsoleLine(console, line)) {
                if (!handleConsoleLine(*gProcess.server, line)) stopAndExit(gProcess);
                continue;
            }
            if (console.ended) break;
        }
        readConsoleInput(console);
    }
    // No console any more (end of input or a read error): serve on until a
    // stop signal ends the process.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

int main(int argc, char** argv) {
    askForUpgradeIfAsked(argc, argv);
    stopServiceIfAsked(argc, argv);
    runAsServiceIfAsked(argc, argv, serve);
    return serve(argc, argv);
}
