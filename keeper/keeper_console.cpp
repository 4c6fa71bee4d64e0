// The console's input goes to the server that serves, as it comes; during a
// switch it waits, so that a line typed then is carried out once, by the
// server that serves after it.
#include "keeper/keeper_state.h"
#include "platform/streams/console_input.h"

namespace {
constexpr std::size_t kHeldInputMax = 1024 * 1024;
}  // namespace

void passConsoleOn() {
    KeeperState& k = keeperState();
    char buf[4096];
    for (;;) {
        long n = readStandardInput(buf, sizeof buf);
        std::lock_guard<std::mutex> input(k.inputLock);
        if (n <= 0) {
            k.inputEnded = true;
            if (!k.inputSwitching) {
                std::lock_guard<std::mutex> guard(k.lock);
                endInputOf(*k.current);
            }
            return;
        }
        if (k.inputSwitching) {
            // A switch lasts seconds; input beyond this meanwhile is lost.
            if (k.heldInput.size() + static_cast<std::size_t>(n) <= kHeldInputMax)
                k.heldInput.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        std::shared_ptr<Kept> serving;
        {
            std::lock_guard<std::mutex> guard(k.lock);
            serving = k.current;
        }
        pipeWrite(serving->process.input, buf, static_cast<std::size_t>(n));
    }
}
