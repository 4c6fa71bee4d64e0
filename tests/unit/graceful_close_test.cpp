// The orderly close of a connection.
#include "platform/network/graceful_close.h"
#include "unit_support.h"

using namespace test;

TEST(ShutdownConnection, PeerThatClosedGivesTrueAndReleasesTheSocket) {
    OutputCapture output;
    auto [mine, theirs] = tcpPair();
    netClose(theirs);
    ASSERT_TRUE(readable(mine));
    EXPECT_TRUE(shutdownConnection(mine));
    EXPECT_FALSE(isOpen(mine));
    EXPECT_TRUE(output.err().empty());
}

TEST(ShutdownConnection, ReportsEachReceiveOfWhatThePeerStillSent) {
    OutputCapture output;
    auto [mine, theirs] = tcpPair();
    Bytes data(3000, 0x5A);
    ASSERT_EQ(netSend(theirs, data.data(), data.size()), 3000);
    netClose(theirs);
    // On loopback the 3000 bytes travel in one segment: once the socket is
    // readable they are all there (the end of the stream may follow later; the
    // socket is blocking).
    ASSERT_TRUE(readable(mine));

    EXPECT_TRUE(shutdownConnection(mine));  // a blocking socket
    EXPECT_FALSE(isOpen(mine));
    // Each report starts with a blank line of its own.
    EXPECT_EQ(output.err(), (Lines{"", "FYI, received 1024 unexpected bytes during shutdown.", "",
                                   "FYI, received 1024 unexpected bytes during shutdown.", "",
                                   "FYI, received 952 unexpected bytes during shutdown."}));
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
    netClose(theirs);
}
