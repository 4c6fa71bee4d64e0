#include "server_console.h"

#include <cstdio>

#include "leftovers.h"

namespace {

void onOutLine(Console& console, const std::string& line, long long at) {
    std::lock_guard<std::mutex> guard(console.lock);
    if (line.rfind("Upgrading server to ", 0) == 0) {
        console.upgradingNs.push_back(at);
    } else if (line.rfind("Server upgraded to release ", 0) == 0) {
        console.upgradedNs.push_back(at);
        console.lastUpgraded = line;
        ++console.upgradesDone;
        console.changed.notify_all();
    }
}

void onErrLine(Console& console, const std::string& line, long long at) {
    std::lock_guard<std::mutex> guard(console.lock);
    long more = 0;
    unsigned long long lost = 0;
    char tail[2];
    if (line == "Send buffer to small, packet was dropped.") {
        ++console.drops;
        ++console.dropLines;
    } else if (std::sscanf(line.c_str(), "Send buffer to small, %ld more packets were dropped.", &more) == 1) {
        console.drops += more;
        ++console.dropLines;
    } else if (std::sscanf(line.c_str(), "%llu lines of output were dropped%1[.]", &lost, tail) == 2) {
        console.outputDropped += lost;
        ++console.outputDropReports;
    } else {
        if (line.rfind("Upgrade failed", 0) == 0) {
            ++console.upgradesFailed;
            console.failedNs.push_back(at);
            console.failedLines.push_back(line);
            console.changed.notify_all();
            if (console.handBacksExpected) return;
        }
        ++console.otherErrorCount;
        if (console.otherErrors.size() < 10) console.otherErrors.push_back(line);
    }
}

void onEnd(Console& console, int stream) {
    std::lock_guard<std::mutex> guard(console.lock);
    console.ended[stream] = true;
    console.changed.notify_all();
}

}  // namespace

std::unique_ptr<driver::Process> startServer(const std::vector<std::string>& command, Console& console, int& port) {
    driver::Process::Options options;
    // A bench killed outright takes the server with it, up to the first
    // upgrade: the server re-executes from a thread of its own, which does
    // not carry this setting. A failure or a stop signal ends the server in
    // any case (leftovers.h).
    options.endsWithUs = true;
    options.onOut = [&console](const std::string* line, long long at) {
        if (line)
            onOutLine(console, *line, at);
        else
            onEnd(console, 0);
    };
    options.onErr = [&console](const std::string* line, long long at) {
        if (line)
            onErrLine(console, *line, at);
        else
            onEnd(console, 1);
    };
    std::string failure;
    auto server = driver::startListening<driver::Process>(
        [&](int p) {
            port = p;
            std::vector<std::string> words = command;
            words.insert(words.end(), {"-onlylan", "-port", std::to_string(p), "-maxplayers", "63"});
            return std::make_unique<driver::Process>(words, options);
        },
        failure);
    if (!server) fail(failure);
    leaveServer(server->pid());
    // A server that found its port taken has ended meanwhile: its lines and
    // its end count for nothing.
    std::lock_guard<std::mutex> guard(console.lock);
    console.ended[0] = console.ended[1] = false;
    console.otherErrors.clear();
    console.otherErrorCount = 0;
    return server;
}
