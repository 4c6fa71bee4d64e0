// The load of the upgrade bench: N players, each sending a numbered Relay6
// frame every tick to all the others, and one thread that reads every
// player's socket and checks that each gets every other player's frames,
// once and in order. The receipts keep what the figures need, by phase of the
// run and by upgrade.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "client.h"

// The run's phases, for the figures kept per phase.
enum Phase { kWarmUpPhase, kUpgradesPhase, kStalledPhase, kHandBackPhase, kPhases };
inline const char* const kPhaseNames[kPhases] = {"without upgrades", "upgrades", "console stalled", "hand-backs"};

// What one player saw of one other player's frames.
struct FromSender {
    std::uint32_t last = 0;          // the highest number seen
    long long lastNs = 0;            // when a frame of this sender last arrived
    std::vector<std::uint8_t> seen;  // by number
};

struct Player {
    std::unique_ptr<driver::Client> client;
    std::atomic<int> loginStatus{-1};  // the HelloReply's status once it came
    std::vector<FromSender> from;
};

// Figures the receiving thread keeps, per phase (Phase; the upgrades' phase
// takes in the second after the last).
struct Receipts {
    std::atomic<int> phase{kWarmUpPhase};
    // The upgrade under way, numbered over the run: 1..upgrades the regular
    // ones, then those of the later phases; 0 between them.
    std::atomic<int> upgrade{0};
    std::atomic<long> distinct{0};
    std::atomic<std::uint32_t> newest{0};  // the highest frame number received from anyone
    long outOfOrder = 0;
    long repeated = 0;
    long departures = 0;
    long unknownIds = 0;
    // By the phase the frame was sent in.
    long distinctIn[kPhases] = {};
    long outOfOrderIn[kPhases] = {};
    // By the phase at the receipt.
    long long longestGapNs[kPhases] = {};
    long long longestDelayNs[kPhases] = {};        // from the start of the frame's tick to its receipt
    std::vector<long long> longestGapInUpgradeNs;  // index: upgrade
    std::vector<long long> longestDelayInUpgradeNs;
    // Written by the sending thread: the longest time between the starts of
    // two ticks, a stall of the bench itself when it is well over a tick, and
    // the frames sent, by phase.
    long long longestTickGapNs[kPhases] = {};
    long sentIn[kPhases] = {};
    std::vector<std::atomic<long long>> tickNs;        // when the tick that sends frames numbered n began, by n
    std::vector<std::atomic<std::uint8_t>> tickPhase;  // its phase, stored before its time
    // While logArrivals is set: when frames arrived, once for each wake of the
    // receiving thread that brought some.
    std::atomic<bool> logArrivals{false};
    std::mutex arrivalsLock;
    std::vector<long long> arrivals;
    std::atomic<bool> running{true};
    explicit Receipts(std::size_t ticks) : tickNs(ticks), tickPhase(ticks) {}
};

void startArrivalLog(Receipts& r);
// Ends the log: the first arrival at or after `from`, or 0.
long long firstArrivalFrom(Receipts& r, long long from);

// The players and the threads that drive them: the receiver from the first
// login on, the sender once every player is in.
class Load {
public:
    Load(int players, int rate, Receipts& receipts);
    ~Load();
    // The players connect and log in one after the other (the server lets
    // only a few connections from one address wait for their login).
    void logIn(int port);
    // Every player sends a numbered frame each tick, all in the same instant.
    void startSending();
    // Stops sending, waits up to `wait` for the frames sent to come, stops
    // receiving; the frames all players should have got.
    long stop(std::chrono::nanoseconds wait);
    long sendFailures() const { return sendFailures_; }
    void closeConnections();

private:
    void receiveAll();
    void sendAll();

    std::vector<Player> players_;
    const int rate_;
    Receipts& receipts_;
    int ep_ = -1;
    std::thread receiver_, sender_;
    std::atomic<bool> sending_{true};
    std::vector<std::uint32_t> sent_;
    long sendFailures_ = 0;
};
