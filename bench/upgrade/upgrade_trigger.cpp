#include "upgrade_trigger.h"

#include <signal.h>

#include "leftovers.h"
#include "timing.h"

using namespace std::chrono_literals;

long long UpgradeTrigger::ask() {
    const long long at = driver::nowNs();
    if (!command_.windows) {
        server_.signal(SIGUSR2);
        return at;
    }
    // The request comes from the program built, not from the copy the
    // server runs, which may be the faulty one just now.
    driver::Process request(command_.runFrom(command_.program(), {"-upgrade", std::to_string(port_)}), {});
    if (!request.started()) fail("cannot start the upgrade request: " + request.startFailure());
    std::optional<int> code = request.waitForExit(10s);
    runsNs_.push_back(driver::nowNs() - at);
    if (code != 0) {
        std::string said;
        for (const auto& line : request.lines(driver::Stream::Err)) said += "\n  " + line;
        fail(code ? "the upgrade request ended with code " + std::to_string(*code) + said
                  : "the upgrade request did not end within 10 s");
    }
    return at;
}

const char* UpgradeTrigger::name() const { return command_.windows ? "request" : "SIGUSR2"; }

std::string wineVersion(const ServerCommand& command) {
    std::vector<std::string> ask = command.loader();
    if (ask.empty()) return "Wine";
    ask.push_back("--version");
    driver::Process version(ask, {});
    if (!version.started() || version.waitForExit(10s) != 0) return "Wine";
    std::vector<std::string> lines = version.lines(driver::Stream::Out);
    return lines.empty() || lines.front().empty() ? "Wine" : lines.front();
}
