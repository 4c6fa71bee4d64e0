// Every test runs with the socket library started, as the server's threads do.
#include <gtest/gtest.h>

#include "platform/network/socket.h"

namespace {

class SocketLibrary : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(netStartup(), 0); }
    void TearDown() override { netCleanup(); }
};

[[maybe_unused]] ::testing::Environment* const kSocketLibrary = ::testing::AddGlobalTestEnvironment(new SocketLibrary);

}  // namespace
