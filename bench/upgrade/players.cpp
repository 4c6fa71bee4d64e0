// The players' side of the upgrade bench: logins, the sending thread and the
// receiving thread, which checks every frame as it comes.
#include "players.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "leftovers.h"
#include "packets.h"
#include "timing.h"

namespace pkt = driver::pkt;
using driver::Clock;
using driver::nowNs;
using namespace std::chrono_literals;

void startArrivalLog(Receipts& r) {
    std::lock_guard<std::mutex> guard(r.arrivalsLock);
    r.arrivals.clear();
    r.logArrivals = true;
}

long long firstArrivalFrom(Receipts& r, long long from) {
    r.logArrivals = false;
    std::lock_guard<std::mutex> guard(r.arrivalsLock);
    for (long long at : r.arrivals)
        if (at >= from) return at;
    return 0;
}

namespace {

void onRelay6(Receipts& r, Player& p, int self, std::uint8_t sender, std::uint32_t number, long long at) {
    if (sender >= p.from.size() || static_cast<int>(sender) == self) {
        ++r.unknownIds;
        return;
    }
    FromSender& f = p.from[sender];
    if (number >= f.seen.size()) f.seen.resize(std::max<std::size_t>(number + 1, f.seen.size() * 2), 0);
    if (f.seen[number]) {
        ++r.repeated;
        return;
    }
    f.seen[number] = 1;
    r.distinct.fetch_add(1, std::memory_order_relaxed);
    int phase = r.phase.load(std::memory_order_relaxed);
    int sentPhase = phase;
    long long tick = number < r.tickNs.size() ? r.tickNs[number].load(std::memory_order_acquire) : 0;
    if (tick != 0) sentPhase = r.tickPhase[number].load(std::memory_order_relaxed);
    ++r.distinctIn[sentPhase];
    if (number != f.last + 1) {
        ++r.outOfOrder;
        ++r.outOfOrderIn[sentPhase];
    }
    if (number > f.last) f.last = number;
    if (number > r.newest.load(std::memory_order_relaxed)) r.newest.store(number, std::memory_order_relaxed);
    int k = r.upgrade.load(std::memory_order_relaxed);
    bool inUpgrade = k > 0 && static_cast<std::size_t>(k) < r.longestGapInUpgradeNs.size();
    if (tick != 0) {
        r.longestDelayNs[phase] = std::max(r.longestDelayNs[phase], at - tick);
        if (inUpgrade) r.longestDelayInUpgradeNs[k] = std::max(r.longestDelayInUpgradeNs[k], at - tick);
    }
    if (f.lastNs != 0) {
        long long gap = at - f.lastNs;
        r.longestGapNs[phase] = std::max(r.longestGapNs[phase], gap);
        if (inUpgrade) r.longestGapInUpgradeNs[k] = std::max(r.longestGapInUpgradeNs[k], gap);
    }
    f.lastNs = at;
}

}  // namespace

Load::Load(int players, int rate, Receipts& receipts)
    : players_(static_cast<std::size_t>(players)), rate_(rate), receipts_(receipts), sent_(players_.size(), 0) {
    for (auto& p : players_) p.from.resize(players_.size());
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) fail(std::string("epoll: ") + std::strerror(errno));
    receiver_ = std::thread([this] { receiveAll(); });
}

Load::~Load() {
    sending_ = false;
    receipts_.running = false;
    if (sender_.joinable()) sender_.join();
    if (receiver_.joinable()) receiver_.join();
    if (ep_ >= 0) ::close(ep_);
}

void Load::logIn(int port) {
    for (std::size_t i = 0; i < players_.size(); ++i) {
        Player& p = players_[i];
        p.client = std::make_unique<driver::Client>(port);
        if (!p.client->connected()) fail("cannot connect to the server: " + p.client->error());
        // Read by the receiving thread from its login on.
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<std::uint32_t>(i);
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, p.client->descriptor(), &e);
        if (!p.client->send(pkt::hello("p" + std::to_string(i)))) fail("cannot send a login");
        auto end = Clock::now() + 5s;
        while (p.loginStatus.load() < 0 && Clock::now() < end) std::this_thread::sleep_for(1ms);
        if (p.loginStatus.load() != 0)
            fail("player " + std::to_string(i) + " was not let in (status " + std::to_string(p.loginStatus.load()) +
                 ")");
    }
}

// One thread reads every player's socket.
void Load::receiveAll() {
    epoll_event events[64];
    driver::Bytes f;
    while (receipts_.running.load()) {
        int n = ::epoll_wait(ep_, events, 64, 100);
        long long at = nowNs();
        bool relayed = false;
        for (int k = 0; k < n; ++k) {
            int self = static_cast<int>(events[k].data.u32);
            Player& p = players_[static_cast<std::size_t>(self)];
            if (!p.client->receiveWaiting()) {
                ::epoll_ctl(ep_, EPOLL_CTL_DEL, p.client->descriptor(), nullptr);
                continue;
            }
            while (p.client->takeFrame(f)) {
                if (pkt::frameLength(f[1]) == 0) {
                    ++receipts_.unknownIds;
                    p.client->dropReceived();  // the stream can no longer be split into frames
                    break;
                }
                if (f[1] == pkt::kHelloReply)
                    p.loginStatus = pkt::loginStatus(f.data());
                else if (f[1] == pkt::kPlayerLeft)
                    ++receipts_.departures;
                else if (f[1] == pkt::kRelay6) {
                    onRelay6(receipts_, p, self, f[0], pkt::numberOf(f), at);
                    relayed = true;
                }
            }
        }
        if (relayed && receipts_.logArrivals.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> guard(receipts_.arrivalsLock);
            receipts_.arrivals.push_back(at);
        }
    }
}

void Load::startSending() {
    sender_ = std::thread([this] { sendAll(); });
}

void Load::sendAll() {
    auto tick = std::chrono::nanoseconds(1000000000LL / rate_);
    auto next = Clock::now();
    long long previous = 0;
    for (std::uint32_t number = 1; sending_.load(); ++number) {
        long long start = nowNs();
        const int phase = receipts_.phase.load(std::memory_order_relaxed);
        if (previous != 0) {
            long long& longest = receipts_.longestTickGapNs[phase];
            longest = std::max(longest, start - previous);
        }
        previous = start;
        if (number < receipts_.tickNs.size()) {
            receipts_.tickPhase[number].store(static_cast<std::uint8_t>(phase), std::memory_order_relaxed);
            receipts_.tickNs[number].store(start, std::memory_order_release);
        }
        for (std::size_t i = 0; i < players_.size(); ++i) {
            if (players_[i].client->send(pkt::numbered(static_cast<std::uint8_t>(i), number))) {
                ++sent_[i];
                ++receipts_.sentIn[phase];
            } else {
                ++sendFailures_;
            }
        }
        next += tick;
        std::this_thread::sleep_until(next);
    }
}

long Load::stop(std::chrono::nanoseconds wait) {
    sending_ = false;
    if (sender_.joinable()) sender_.join();
    long expected = 0;
    const long others = static_cast<long>(players_.size()) - 1;
    for (std::uint32_t sent : sent_) expected += static_cast<long>(sent) * others;
    auto deliveryEnd = Clock::now() + wait;
    while (receipts_.distinct.load() < expected && Clock::now() < deliveryEnd) std::this_thread::sleep_for(10ms);
    receipts_.running = false;
    if (receiver_.joinable()) receiver_.join();
    return expected;
}

void Load::closeConnections() {
    for (auto& p : players_) p.client.reset();
}
