// The program the hand-back tests hand back to, in place of the old server.
// It writes what it was given to standard error (the reason, the state's
// descriptor, the blocked and pending signals, the descriptors open) and
// ends with exit code 42; or with 43, naming the difference, where that is
// not what WITNESS_EXPECT says: "open=A,B closed=C blocked=S,T pending=U",
// each list optional, descriptors and signal numbers in decimal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

unsigned long long statusMask(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1), nullptr, 16);
    return 0;
}

std::vector<int> numbers(const std::string& list) {
    std::vector<int> out;
    std::stringstream in(list);
    std::string n;
    while (std::getline(in, n, ',')) out.push_back(std::stoi(n));
    return out;
}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

}  // namespace

int main() {
    const char* reason = std::getenv("GAMESERVER_HANDBACK");
    const char* state = std::getenv("GAMESERVER_HANDOVER_FD");
    std::fprintf(stderr, "GAMESERVER_HANDBACK=%s\nGAMESERVER_HANDOVER_FD=%s\n", reason ? reason : "(none)",
                 state ? state : "(none)");
    const unsigned long long blocked = statusMask("SigBlk");
    const unsigned long long pending = statusMask("SigPnd") | statusMask("ShdPnd");
    std::fprintf(stderr, "blocked %llx, pending %llx\n", blocked, pending);

    bool as = true;
    auto differs = [&as](const std::string& what) {
        as = false;
        std::fprintf(stderr, "%s\n", what.c_str());
    };
    std::stringstream expect(std::getenv("WITNESS_EXPECT") ? std::getenv("WITNESS_EXPECT") : "");
    std::string item;
    while (expect >> item) {
        std::size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::vector<int> list = numbers(item.substr(eq + 1));
        unsigned long long mask = 0;
        for (int n : list) mask |= 1ULL << (n - 1);
        for (int fd : list) {
            if (key == "open" && !isOpen(fd)) differs("descriptor " + std::to_string(fd) + " is not open");
            if (key == "closed" && isOpen(fd)) differs("descriptor " + std::to_string(fd) + " is open");
        }
        if (key == "blocked" && blocked != mask) differs("blocked: not as WITNESS_EXPECT says");
        if (key == "pending" && (pending & mask) != mask) differs("pending: not as WITNESS_EXPECT says");
    }
    return as ? 42 : 43;
}
