// The servers the keeper keeps: starting one, and the threads that read what
// it says and what it prints.
#include <chrono>
#include <cstring>
#include <thread>

#include "keeper/keeper_state.h"
#include "platform/network/socket_share.h"
#include "platform/process/upgrade_request.h"
#include "platform/service/service_notify.h"
#include "streams/output.h"

namespace {

// A block is never larger than a state with a description of every socket.
constexpr std::size_t kBlockMax = 8 * 1024 * 1024;

bool isCurrent(const Kept* kept) {
    KeeperState& k = keeperState();
    std::lock_guard<std::mutex> guard(k.lock);
    return k.current.get() == kept;
}

// "ready PORT" from the server that serves: the keeper serves too, and takes
// upgrade requests for that port.
void onReady(const Kept* kept, const std::string& rest) {
    if (!isCurrent(kept)) return;
    notifyReady();
    int port = std::atoi(rest.c_str());
    if (port > 0 && !takeUpgradeRequests(port, switchServers, nullptr))
        writeLine(Stream::Err, "Upgrade requests from another window cannot be taken: no event can be made for them.");
}

void readMessages(std::shared_ptr<Kept> kept) {
    MessageReader reader;
    reader.pipe = kept->process.fromServer;
    std::string line, rest;
    while (readMessage(reader, line)) {
        Kept::Message message{line, {}};
        std::string word = messageWord(line, &rest);
        if (word == "ready") {
            onReady(kept.get(), rest);
            continue;
        }
        if (word == "ending") {
            std::lock_guard<std::mutex> guard(kept->lock);
            kept->ending = true;
            continue;
        }
        if (word == "state") {
            std::size_t len = 0, count = 0;
            constexpr std::size_t kDescription = sizeof(SharedSocket);
            if (!blockSizes(rest, kBlockMax, kBlockMax / kDescription, &len, &count) ||
                len + count * kDescription > kBlockMax)
                break;
            message.block.resize(len + count * kDescription);
            if (!readMessageBytes(reader, message.block.data(), message.block.size())) break;
        }
        std::lock_guard<std::mutex> guard(kept->lock);
        kept->inbox.push_back(std::move(message));
        kept->said.notify_all();
    }
    std::lock_guard<std::mutex> guard(kept->lock);
    kept->silent = true;
    kept->said.notify_all();
}

// The server's lines go out as the keeper's own, on the same stream.
void readOutput(std::shared_ptr<Kept> kept, PipeEnd pipe, Stream stream) {
    char buf[4096];
    Line line;
    lineStart(line);
    for (;;) {
        long got = pipeRead(pipe, buf, sizeof buf);
        if (got <= 0) break;
        for (long i = 0; i < got; ++i) {
            if (buf[i] == '\n') {
                if (line.len > 0 && line.text[line.len - 1] == '\r') --line.len;
                lineWrite(line, stream);
                lineStart(line);
            } else if (line.len + 1 < sizeof line.text) {
                line.text[line.len++] = buf[i];
            }
        }
    }
    if (line.len > 0) lineWrite(line, stream);
    std::lock_guard<std::mutex> guard(kept->lock);
    --kept->outputsOpen;
    kept->said.notify_all();
}

}  // namespace

std::shared_ptr<Kept> startKept(const char* program, bool takesOver, std::string& why) {
    KeeperState& k = keeperState();
    auto kept = std::make_shared<Kept>();
    char text[512];
    if (!startKeptServer(program, k.argc, k.argv, takesOver, kept->process, text, sizeof text)) {
        why = text;
        return nullptr;
    }
    std::thread(readMessages, kept).detach();
    std::thread(readOutput, kept, kept->process.output, Stream::Out).detach();
    std::thread(readOutput, kept, kept->process.errors, Stream::Err).detach();
    return kept;
}

bool nextMessage(Kept& kept, int waitMs, Kept::Message& message, bool* timedOut) {
    std::unique_lock<std::mutex> guard(kept.lock);
    *timedOut = !kept.said.wait_for(guard, std::chrono::milliseconds(waitMs),
                                    [&kept] { return !kept.inbox.empty() || kept.silent; });
    if (kept.inbox.empty()) return false;
    message = std::move(kept.inbox.front());
    kept.inbox.pop_front();
    return true;
}

void waitForPipesEnd(Kept& kept, int waitMs) {
    std::unique_lock<std::mutex> guard(kept.lock);
    kept.said.wait_for(guard, std::chrono::milliseconds(waitMs),
                       [&kept] { return kept.outputsOpen == 0 && kept.silent; });
}
