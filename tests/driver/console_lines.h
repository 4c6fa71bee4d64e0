// What a process prints on one of its output streams, read from the pipe by a
// thread of its own and kept line by line, so that a test can wait for lines,
// check their order and stop reading to stall the writer on the other end.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "timing.h"

namespace driver {

enum class Stream { Out, Err };

class ConsoleLines {
public:
    // Told of each line as it is read (the time its read returned), and of
    // the stream's end (line null), by the reading thread, without any lock
    // of ours held.
    using Observer = std::function<void(const std::string* line, long long atNs)>;

    ConsoleLines() = default;
    ~ConsoleLines();
    ConsoleLines(const ConsoleLines&) = delete;
    ConsoleLines& operator=(const ConsoleLines&) = delete;

    // Takes the pipe's read end and reads it until it ends.
    void start(int fd, Observer observer = nullptr);
    // Waits for the end of the stream, reading on if paused.
    void join();

    std::vector<std::string> lines() const;
    // Waits until the whole output satisfies the condition.
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& done, Ms timeout);
    // The searches start at a cursor and move it past the line they find, so
    // successive waits check the order too.
    std::optional<std::string> waitForMatch(const std::function<bool(const std::string&)>& match, Ms timeout);
    // The next `count` lines after the cursor, or those that came within the
    // time (or before the end); the cursor moves past them.
    std::vector<std::string> takeNext(std::size_t count, Ms timeout);
    // Moves the cursor past every line read so far.
    void skipSeen();
    std::size_t cursor() const;
    // Until the deadline: the stream has ended, or is paused.
    bool waitUntilEndedOrPaused(Clock::time_point deadline);

    // No read starts after pause() returns, so that the pipe fills and the
    // writer's writes block, as with a paused terminal.
    void pause();
    void resume();
    bool paused() const;
    // The bytes waiting in the pipe, and what it holds at most; -1 once it
    // is closed.
    int unread() const;
    int capacity() const;

private:
    void readLoop(Observer observer);
    // Reads once unless paused; false at the end.
    bool readOnce(const Observer& observer);
    void endLocked();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    std::size_t cursor_ = 0;
    bool closed_ = false;
    bool paused_ = false;
    int fd_ = -1;
    std::thread reader_;
};

}  // namespace driver
