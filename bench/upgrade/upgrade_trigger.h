// How the bench asks the server to upgrade: SIGUSR2 to the Linux server; to
// the Windows one, the request "gameserver.exe -upgrade PORT" run as another
// Windows program beside it, as an operator runs it from another window.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "server_command.h"

class UpgradeTrigger {
public:
    UpgradeTrigger(const ServerCommand& command, driver::Process& server, int port)
        : command_(command), server_(server), port_(port) {}
    // Asks for an upgrade; the time of asking. A request program returns
    // first, and one that ends otherwise than with code 0 (the request not
    // taken) ends the bench.
    long long ask();
    // "SIGUSR2", or "request" for the Windows server.
    const char* name() const;
    // For each request program: from its start to its end.
    const std::vector<long long>& requestRunsNs() const { return runsNs_; }

private:
    const ServerCommand& command_;
    driver::Process& server_;
    const int port_;
    std::vector<long long> runsNs_;
};

// The Wine loader's version ("wine-8.0 ..."), asked of the words before the
// program; "Wine" where it does not say.
std::string wineVersion(const ServerCommand& command);
