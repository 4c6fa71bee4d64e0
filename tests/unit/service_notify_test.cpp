// What the server tells a service manager on NOTIFY_SOCKET, received on a
// datagram socket of the test's own. POSIX systems only: the Windows build
// sends nothing.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "platform/service/service_notify.h"
#include "unit_support.h"

using namespace test;

namespace {

unsigned long long monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + static_cast<unsigned long long>(now.tv_nsec) / 1000;
}

// The manager's socket at an abstract address, which NOTIFY_SOCKET writes
// with a leading '@' (systemd's own socket, a file, is the systemd check's).
class ManagerSocket {
public:
    ManagerSocket() {
        std::string name = "@gameserver-notify-test-" + std::to_string(getpid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path + 1, name.size() - 1, 1);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
    }
    ~ManagerSocket() {
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
    }
    bool bound() const { return bound_; }
    // The next message, or "" when none comes within ms.
    std::string next(int ms) {
        pollfd in{fd_, POLLIN, 0};
        if (poll(&in, 1, ms) != 1) return "";
        char buf[512];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace

// READY=1 comes once the listener takes connections and STOPPING=1 at the
// stop, each whole, with the text systemd looks for; an upgrade's
// RELOADING=1 carries the monotonic clock in microseconds.
TEST(ServiceNotify, TheManagerHearsReadyReloadingAndStopping) {
    OutputCapture output;
    ManagerSocket manager;
    ASSERT_TRUE(manager.bound());
    Socket probe = netTcpSocket();
    ASSERT_EQ(netBindAny(probe, 0), 0);
    int port = netLocalPort(probe);
    netClose(probe);
    GameServer* server = createServer("t", port, 4);
    startNetwork(*server);
    ASSERT_EQ(manager.next(5000), "READY=1");
    Socket player = netTcpSocket();
    EXPECT_EQ(netConnect(player, Ipv4Address{{127, 0, 0, 1}}, static_cast<std::uint16_t>(port), 2000), 0);
    netClose(player);

    unsigned long long before = monotonicUs();
    notifyReloading();
    unsigned long long after = monotonicUs();
    std::string reloading = manager.next(2000);
    const std::string head = "RELOADING=1\nMONOTONIC_USEC=";
    ASSERT_EQ(reloading.compare(0, head.size(), head), 0) << reloading;
    unsigned long long at = std::strtoull(reloading.c_str() + head.size(), nullptr, 10);
    EXPECT_GE(at, before);
    EXPECT_LE(at, after);

    stopNetwork(*server);
    EXPECT_EQ(manager.next(2000), "STOPPING=1");
    EXPECT_EQ(manager.next(200), "");
}
