// Helpers of the unit tests: captured console lines, loopback connections, and
// a server record whose clients sit on real sockets read at their far end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "close_reset.h"
#include "platform/network/socket.h"
#include "server/client_table.h"
#include "server/lifecycle.h"
#include "server/protocol/packets.h"
#include "server/protocol/parser.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

namespace test {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// Takes every console line (without its line end) while it lives.
// The lines of a batch the output writer hands over, without their ends.
inline Lines splitLines(const char* text, std::size_t len) {
    Lines lines;
    for (std::size_t start = 0; start < len;) {
        std::size_t end = std::string_view(text, len).find('\n', start);
        lines.emplace_back(text + start, end - start);
        start = end + 1;
    }
    return lines;
}

class OutputCapture {
public:
    OutputCapture() { setOutputSink(&OutputCapture::take, this); }
    ~OutputCapture() { setOutputSink(nullptr, nullptr); }
    // What the writer has taken once every line queued so far is written.
    Lines out() { return get(out_); }
    Lines err() { return get(err_); }
    void clear() {
        drainOutput(kDrainMs);
        std::lock_guard<std::mutex> guard(lock_);
        out_.clear();
        err_.clear();
    }

private:
    static constexpr int kDrainMs = 10000;
    // A batch of whole lines of one stream.
    static void take(Stream stream, const char* text, std::size_t len, void* self) {
        auto* me = static_cast<OutputCapture*>(self);
        std::lock_guard<std::mutex> guard(me->lock_);
        for (std::string& line : splitLines(text, len))
            (stream == Stream::Out ? me->out_ : me->err_).push_back(std::move(line));
    }
    Lines get(const Lines& lines) {
        drainOutput(kDrainMs);
        std::lock_guard<std::mutex> guard(lock_);
        return lines;
    }
    std::mutex lock_;
    Lines out_, err_;
};

// An open handle still has its local address; a released one has none.
inline bool isOpen(Socket s) { return netLocalPort(s) >= 0; }

// A connected loopback TCP pair: the accepted end, then the connecting end.
inline std::pair<Socket, Socket> tcpPair() {
    Socket listener = netTcpSocket();
    EXPECT_EQ(netBindAny(listener, 0), 0);
    EXPECT_EQ(netListen(listener), 0);
    int port = netLocalPort(listener);
    Socket client = netTcpSocket();
    EXPECT_EQ(netConnect(client, Ipv4Address{{127, 0, 0, 1}}, static_cast<std::uint16_t>(port), 5000), 0);
    Socket accepted = netAccept(listener, nullptr);
    EXPECT_NE(accepted, kInvalidSocket);
    netClose(listener);
    return {accepted, client};
}

inline bool readable(Socket s) {
    SocketSet readSet{1, {s}};
    return netSelect(0, &readSet, nullptr, nullptr, 5000, nullptr) == 1;
}

// The far end resets the connection; `mine` has seen the reset when this returns.
inline void resetBy(Socket far, Socket mine) {
    closeWithReset(far);
    EXPECT_TRUE(readable(mine));
}

// Reads n bytes, or fewer if the stream ends or nothing comes for 5 seconds.
inline Bytes readExactly(Socket s, std::size_t n) {
    Bytes data(n);
    std::size_t got = 0;
    int r = 1;
    while (got < n && r > 0 && readable(s)) {
        r = netRecv(s, data.data() + got, n - got);
        if (r > 0) got += static_cast<std::size_t>(r);
    }
    data.resize(got);
    return data;
}

inline Bytes readFrame(Socket s) {
    Bytes frame = readExactly(s, 2);
    if (frame.size() < 2 || frame[1] >= kPacketIdCount) return frame;
    Bytes rest = readExactly(s, PacketLengthTable[frame[1]] - 1);
    frame.insert(frame.end(), rest.begin(), rest.end());
    return frame;
}

// The far end has closed its side: the stream ends.
inline bool readsEnd(Socket s) {
    char b;
    return readable(s) && netRecv(s, &b, 1) == 0;
}

inline Bytes frameOf(std::initializer_list<std::uint8_t> packet, std::uint8_t lead = 0) {
    Bytes f(1 + packet.size());
    f[0] = lead;
    std::copy(packet.begin(), packet.end(), f.begin() + 1);
    return f;
}

// A whole frame of the id with a zero payload.
inline Bytes blankFrame(std::uint8_t id, std::uint8_t lead = 0) {
    Bytes f(1 + PacketLengthTable[id], 0);
    f[0] = lead;
    f[1] = id;
    return f;
}

inline Bytes joined(std::initializer_list<Bytes> frames) {
    Bytes all;
    for (const Bytes& f : frames) all.insert(all.end(), f.begin(), f.end());
    return all;
}

inline std::string textField(const std::uint8_t* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), fieldTextLength(field, size));
}

// A server record, threads not started, with clients on loopback connections.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override { server.reset(createServer("test server", 50505, 4)); }
    void TearDown() override {
        for (auto& c : server->clients) closeHard(c.sock);
        for (Socket p : peers) closeHard(p);
        peers.clear();
    }
    // Resets instead of closing: repeated runs leave no ports in TIME_WAIT.
    static void closeHard(Socket s) { closeWithReset(s); }
    void reset() {
        TearDown();
        SetUp();
        output.clear();
    }

    // Appends a client as an accept does; returns its index in the table.
    std::size_t addClient(const char* name = nullptr, bool loggedIn = false) {
        auto [mine, far] = tcpPair();
        netSetNonBlocking(mine, true);
        return append(mine, far, name, loggedIn);
    }
    // A client whose socket takes nothing more: its peer reset the
    // connection, so every send fails. (A full socket is not reliable for
    // this: the system may find room for more bytes later.)
    std::size_t addBlockedClient() {
        auto [mine, far] = tcpPair();
        netSetNonBlocking(mine, true);
        resetBy(far, mine);
        return append(mine, netTcpSocket(), "blocked", true);  // a fresh socket stands in for the peer
    }
    std::size_t append(Socket mine, Socket far, const char* name, bool loggedIn) {
        ClientConnection* c = appendClient(*server, mine, allocateClientId(*server));
        if (name) std::strncpy(c->name, name, 63);
        c->authenticated = loggedIn ? 1 : 0;
        peers.push_back(far);
        return server->clients.size() - 1;
    }

    ClientConnection& client(std::size_t index) { return server->clients[index]; }
    Socket peer(std::size_t index) { return peers[index]; }  // by order of adding

    // Puts bytes into the client's recvBuf as a receive would.
    void receive(ClientConnection& c, const Bytes& bytes) {
        ASSERT_LE(c.recvLen + bytes.size(), static_cast<std::size_t>(kBufferSize));
        std::memcpy(c.recvBuf + c.recvLen, bytes.data(), bytes.size());
        c.recvLen += static_cast<std::int32_t>(bytes.size());
    }
    Bytes queued(const ClientConnection& c) { return Bytes(c.sendBuf, c.sendBuf + c.sendLen); }

    // Every frame sent to a client so far, read at its far end up to a marker
    // frame queued behind them.
    std::vector<Bytes> framesSent(ClientConnection& c, Socket far) {
        const std::uint8_t marker[] = {kRelay8};
        queuePacket(*server, c, marker);
        std::vector<Bytes> frames;
        for (Bytes f = readFrame(far); f != frameOf({kRelay8}); f = readFrame(far)) {
            if (f.size() < 2) {
                ADD_FAILURE() << "the frames to client " << int(c.id) << " ended early";
                break;
            }
            frames.push_back(f);
        }
        return frames;
    }
    std::vector<Bytes> framesSent(std::size_t index) { return framesSent(client(index), peer(index)); }

    std::unique_ptr<GameServer> server;
    std::vector<Socket> peers;
    OutputCapture output;
};

}  // namespace test
