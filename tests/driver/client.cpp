#include "client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace driver {

void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

Client::Client(int port, const std::string& sourceAddress, int receiveBuffer) {
    ignoreBrokenPipes();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        // Small segments keep the server's send buffer small as well: on
        // loopback it grows with the segment size to megabytes.
        int segment = 536;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            error_ = "bind to " + sourceAddress + ": " + std::strerror(errno);
            close();
            return;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error_ = "connect to port " + std::to_string(port) + ": " + std::strerror(errno);
        close();
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Client::~Client() { close(); }

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Client::reset() {
    if (fd_ < 0) return;
    linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

void Client::shutdownSend() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string Client::localAddress() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    char text[INET_ADDRSTRLEN] = "";
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
}

int Client::localPort() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

bool Client::send(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = fd_ < 0 ? -1 : ::send(fd_, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("send: ") + (fd_ < 0 ? "not connected" : std::strerror(errno));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Client::readSome(int flags) {
    if (fd_ < 0 || peerClosed_) return false;
    if (taken_ == received_.size()) {
        received_.clear();
        taken_ = 0;
    } else if (taken_ >= 65536) {
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(taken_));
        taken_ = 0;
    }
    std::uint8_t buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, flags);
    if (n > 0) {
        received_.insert(received_.end(), buf, buf + n);
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    peerClosed_ = true;
    return false;
}

bool Client::fill(Ms timeout) {
    if (fd_ < 0 || peerClosed_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return true;
    return readSome(0);
}

bool Client::receiveWaiting() { return readSome(MSG_DONTWAIT); }

bool Client::takeFrame(Bytes& frame) {
    if (buffered() < 2) return false;
    const std::uint8_t* at = received_.data() + taken_;
    std::size_t len = pkt::frameLength(at[1]);
    if (len == 0) len = 2;
    if (buffered() < len) return false;
    frame.assign(at, at + len);
    take(len);
    return true;
}

void Client::dropReceived() { taken_ = received_.size(); }

Bytes Client::recvExactly(std::size_t n, Ms timeout) {
    auto end = Clock::now() + timeout;
    while (buffered() < n && Clock::now() < end)
        if (!fill(timeLeft(end))) break;
    std::size_t count = std::min(n, buffered());
    auto from = received_.begin() + static_cast<std::ptrdiff_t>(taken_);
    Bytes got(from, from + static_cast<std::ptrdiff_t>(count));
    take(count);
    return got;
}

bool Client::nextFrame(Bytes& frame, Ms timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        if (takeFrame(frame)) return true;
        if (closed()) return false;
        std::size_t before = buffered();
        fill(timeLeft(end));
        if (buffered() == before && Clock::now() >= end) return false;
    }
}

Bytes Client::recvFrame(Ms timeout) {
    Bytes f;
    nextFrame(f, timeout);
    return f;
}

bool Client::expectNothingMore(Ms quiet) {
    if (buffered() > 0) return false;
    auto end = Clock::now() + quiet;
    while (Clock::now() < end) {
        if (!fill(timeLeft(end))) return false;
        if (buffered() > 0) return false;
    }
    return true;
}

bool Client::waitForClose(Ms timeout) {
    auto end = Clock::now() + timeout;
    while (!peerClosed_ && Clock::now() < end) fill(timeLeft(end));
    return peerClosed_;
}

}  // namespace driver
