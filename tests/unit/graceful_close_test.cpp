// The orderly close of a connection.
#include <sys/ioctl.h>

#include "net/graceful_close.h"
#include "unit_support.h"

using namespace test;

namespace {

// Waits until the socket holds `bytes` unread bytes and the peer's end of
// stream, so that the close finds everything there.
bool holdsDataAndEnd(Socket s, int bytes) {
    for (int ms = 0; ms < 5000; ++ms) {
        int pending = 0;
        pollfd p{asFd(s), POLLRDHUP, 0};
        ::ioctl(asFd(s), FIONREAD, &pending);
        if (pending == bytes && ::poll(&p, 1, 0) == 1) return true;
        ::poll(nullptr, 0, 1);
    }
    return false;
}

}  // namespace

TEST(ShutdownConnection, PeerThatClosedGivesTrueAndReleasesTheSocket) {
    OutputCapture output;
    auto [mine, theirs] = tcpPair();
    ::close(asFd(theirs));
    ASSERT_TRUE(holdsDataAndEnd(mine, 0));
    EXPECT_TRUE(shutdownConnection(mine));
    EXPECT_FALSE(isOpen(mine));
    EXPECT_TRUE(output.err().empty());
}

TEST(ShutdownConnection, ReportsEachReceiveOfWhatThePeerStillSent) {
    OutputCapture output;
    auto [mine, theirs] = tcpPair();
    Bytes data(3000, 0x5A);
    ASSERT_EQ(::send(asFd(theirs), data.data(), data.size(), 0), 3000);
    ::close(asFd(theirs));
    ASSERT_TRUE(holdsDataAndEnd(mine, 3000));

    EXPECT_TRUE(shutdownConnection(mine));  // a blocking socket
    EXPECT_FALSE(isOpen(mine));
    EXPECT_EQ(output.err(), (Lines{"\nFYI, received 1024 unexpected bytes during shutdown.",
                                   "\nFYI, received 1024 unexpected bytes during shutdown.",
                                   "\nFYI, received 952 unexpected bytes during shutdown."}));
    EXPECT_TRUE(output.out().empty());
}

TEST(ShutdownConnection, SilentPeerOnNonBlockingSocketLeavesItOpenForRelease) {
    OutputCapture output;
    auto [mine, theirs] = tcpPair();
    ASSERT_EQ(netSetNonBlocking(mine, true), 0);
    EXPECT_FALSE(shutdownConnection(mine));
    EXPECT_TRUE(isOpen(mine));
    EXPECT_TRUE(readsEnd(theirs));  // the sending side is shut all the same
    EXPECT_EQ(netPendingError(mine), kErrWouldBlock);

    releaseConnection(mine, 1);
    EXPECT_FALSE(isOpen(mine));
    EXPECT_TRUE(output.err().empty());
    ::close(asFd(theirs));
}
