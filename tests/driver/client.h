// A game client's connection to the server on loopback: bytes out, and the
// bytes that come back, split into frames by the protocol's lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "packets.h"
#include "timing.h"

namespace driver {

// SIGPIPE ignored in this process, once: a write to a peer that has gone
// fails instead of ending us.
void ignoreBrokenPipes();

class Client {
public:
    // To 127.0.0.1:port; from a given loopback source address (say
    // "127.0.0.5") where one is named; and with a receive buffer of that many
    // bytes and small segments when receiveBuffer is above 0: the server's
    // sends to a client that does not read then back up after some 50 KB.
    explicit Client(int port, const std::string& sourceAddress = "", int receiveBuffer = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Why the connection, or the last send, failed.
    const std::string& error() const { return error_; }
    int localPort() const;
    std::string localAddress() const;

    // All of it, or false.
    bool send(const std::uint8_t* data, std::size_t size);
    bool send(const Bytes& bytes) { return send(bytes.data(), bytes.size()); }
    // Exactly n bytes, or fewer if the time runs out or the peer closes.
    Bytes recvExactly(std::size_t n, Ms timeout = kWait);
    // The next whole frame within the time, its length taken from the packet
    // id; bytes of an incomplete frame stay buffered. An id without a length
    // comes back as its two bytes.
    bool nextFrame(Bytes& frame, Ms timeout);
    // The same, empty if no whole frame came in time.
    Bytes recvFrame(Ms timeout = kWait);

    // For a caller that waits on many connections at once: the descriptor to
    // wait on, a read of what has come without waiting (false once the peer
    // closed or the connection failed), the next whole frame among the bytes
    // read so far, and the bytes read so far thrown away (once they can no
    // longer be split into frames).
    int descriptor() const { return fd_; }
    bool receiveWaiting();
    bool takeFrame(Bytes& frame);
    void dropReceived();

    bool closed() const { return peerClosed_ || fd_ < 0; }
    // True if nothing arrives (and the connection stays open) for a while.
    bool expectNothingMore(Ms quiet = 150ms);
    // True once the peer has closed; bytes that came before stay readable.
    bool waitForClose(Ms timeout = kWait);
    void shutdownSend();
    void close();
    // Closes with a reset instead of the orderly end.
    void reset();

private:
    // Reads what comes within the time; false on close or error.
    bool fill(Ms timeout);
    bool readSome(int flags);
    std::size_t buffered() const { return received_.size() - taken_; }
    void take(std::size_t n) { taken_ += n; }

    int fd_ = -1;
    bool peerClosed_ = false;
    std::string error_;
    Bytes received_;  // what came, from taken_ on not yet taken
    std::size_t taken_ = 0;
};

}  // namespace driver
