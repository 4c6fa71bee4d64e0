#include "console_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace driver {

ConsoleLines::~ConsoleLines() { join(); }

void ConsoleLines::start(int fd, Observer observer) {
    // Our end only: a read finds the pipe empty rather than waiting in it.
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    fd_ = fd;
    reader_ = std::thread([this, observer = std::move(observer)] { readLoop(observer); });
}

void ConsoleLines::join() {
    resume();
    if (reader_.joinable()) reader_.join();
}

void ConsoleLines::readLoop(Observer observer) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return !paused_; });
        }
        pollfd p{fd_, POLLIN, 0};
        if ((::poll(&p, 1, -1) < 0 && errno != EINTR) || !readOnce(observer)) break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endLocked();
    }
    if (observer) observer(nullptr, nowNs());
}

// The read is made under the lock, after a look at the pause: once pause()
// has returned, nothing more is taken from the pipe.
bool ConsoleLines::readOnce(const Observer& observer) {
    char buf[4096];
    std::vector<std::string> added;
    long long at;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused_) return true;
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        at = nowNs();
        const std::size_t before = lines_.size();
        partial_.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0, nl;
        while ((nl = partial_.find('\n', start)) != std::string::npos) {
            // Windows text output ends its lines with CR LF.
            std::size_t end = nl > start && partial_[nl - 1] == '\r' ? nl - 1 : nl;
            lines_.push_back(partial_.substr(start, end - start));
            start = nl + 1;
        }
        partial_.erase(0, start);
        changed_.notify_all();
        if (observer) added.assign(lines_.begin() + static_cast<std::ptrdiff_t>(before), lines_.end());
    }
    for (const auto& line : added) observer(&line, at);
    return true;
}

void ConsoleLines::endLocked() {
    if (!partial_.empty()) lines_.push_back(partial_);
    partial_.clear();
    closed_ = true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    changed_.notify_all();
}

std::vector<std::string> ConsoleLines::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool ConsoleLines::waitUntil(const std::function<bool(const std::vector<std::string>&)>& done, Ms timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(lines_) || closed_; }) && done(lines_);
}

std::optional<std::string> ConsoleLines::waitForMatch(const std::function<bool(const std::string&)>& match,
                                                      Ms timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t checked = cursor_;
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; checked < lines_.size(); ++checked) {
            if (match(lines_[checked])) {
                found = lines_[checked];
                cursor_ = checked + 1;
                return true;
            }
        }
        return closed_;
    });
    return found;
}

std::vector<std::string> ConsoleLines::takeNext(std::size_t count, Ms timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return lines_.size() >= cursor_ + count || closed_; });
    auto from = lines_.begin() + static_cast<std::ptrdiff_t>(cursor_);
    std::vector<std::string> got(from, from + static_cast<std::ptrdiff_t>(std::min(lines_.size() - cursor_, count)));
    cursor_ += got.size();
    return got;
}

void ConsoleLines::skipSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    cursor_ = lines_.size();
}

std::size_t ConsoleLines::cursor() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cursor_;
}

bool ConsoleLines::waitUntilEndedOrPaused(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return closed_ || paused_; });
}

void ConsoleLines::pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
    changed_.notify_all();
}

void ConsoleLines::resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    changed_.notify_all();
}

bool ConsoleLines::paused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

int ConsoleLines::unread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    return fd_ >= 0 && ::ioctl(fd_, FIONREAD, &n) == 0 ? n : -1;
}

int ConsoleLines::capacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0 ? ::fcntl(fd_, F_GETPIPE_SZ) : -1;
}

}  // namespace driver
