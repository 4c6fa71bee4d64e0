#include "masterlist/bounded_lookup.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int kMostAddresses = 16;

// Shared by the caller and the lookup thread; whichever lets go last frees
// it, so a caller that gave up leaves nothing dangling.
struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int count = -1;
    int maxAddrs = 0;
    char host[1024] = {};
    Ipv4Address addrs[kMostAddresses] = {};
};

void runLookup(const std::shared_ptr<Lookup>& lookup) {
    netStartup();
    Ipv4Address addrs[kMostAddresses];
    int count = netResolveIpv4(lookup->host, addrs, lookup->maxAddrs);
    netCleanup();
    {
        std::lock_guard<std::mutex> guard(lookup->lock);
        lookup->count = count;
        if (count > 0) std::memcpy(lookup->addrs, addrs, sizeof(Ipv4Address) * static_cast<std::size_t>(count));
        lookup->done = true;
    }
    lookup->finished.notify_all();
}

}  // namespace

int resolveWithin(const char* host, Ipv4Address* addrs, int maxAddrs, int waitMs) {
    if (maxAddrs > kMostAddresses) maxAddrs = kMostAddresses;
    if (maxAddrs <= 0 || waitMs <= 0) return -1;
    auto lookup = std::make_shared<Lookup>();
    std::strncpy(lookup->host, host, sizeof lookup->host - 1);
    lookup->maxAddrs = maxAddrs;
    try {
        std::thread([lookup] { runLookup(lookup); }).detach();
    } catch (const std::system_error&) {
        return -1;  // no thread to be had: as a name that does not resolve
    }
    std::unique_lock<std::mutex> guard(lookup->lock);
    if (!lookup->finished.wait_for(guard, std::chrono::milliseconds(waitMs), [&] { return lookup->done; })) return -1;
    if (lookup->count > 0)
        std::memcpy(addrs, lookup->addrs, sizeof(Ipv4Address) * static_cast<std::size_t>(lookup->count));
    return lookup->count;
}
