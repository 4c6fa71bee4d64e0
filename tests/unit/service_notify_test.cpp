// What the server tells a service manager on NOTIFY_SOCKET, received on a
// datagram socket bound as systemd binds its own. POSIX systems only: the
// Windows build sends nothing.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "net/service_notify.h"
#include "unit_support.h"

using namespace test;

namespace {

unsigned long long monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + static_cast<unsigned long long>(now.tv_nsec) / 1000;
}

// The manager's socket, named in NOTIFY_SOCKET while it lives: a file in
// /tmp, or an abstract address, which the variable writes with a leading '@'.
class ManagerSocket {
public:
    explicit ManagerSocket(bool abstract) {
        name_ = std::string(abstract ? "@" : "/tmp/") + "gameserver-notify-test-" + std::to_string(getpid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name_.copy(address.sun_path, name_.size());
        if (abstract) address.sun_path[0] = 0;
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (!abstract) unlink(name_.c_str());
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address),
                                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size())) == 0;
        setenv("NOTIFY_SOCKET", name_.c_str(), 1);
    }
    ~ManagerSocket() {
        unsetenv("NOTIFY_SOCKET");
        if (fd_ >= 0) close(fd_);
        if (name_[0] == '/') unlink(name_.c_str());
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
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace

// Each message arrives whole, with the text systemd looks for, at a socket
// file and at an abstract address; the upgrade's time is the monotonic clock
// in microseconds.
TEST(ServiceNotify, MessagesReachTheManagerAtAFileOrAnAbstractAddress) {
    for (bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract address" : "socket file");
        ManagerSocket manager(abstract);
        ASSERT_TRUE(manager.bound());
        notifyReady();
        EXPECT_EQ(manager.next(2000), "READY=1");
        unsigned long long before = monotonicUs();
        notifyReloading();
        unsigned long long after = monotonicUs();
        std::string reloading = manager.next(2000);
        const std::string head = "RELOADING=1\nMONOTONIC_USEC=";
        ASSERT_EQ(reloading.compare(0, head.size(), head), 0) << reloading;
        unsigned long long at = std::strtoull(reloading.c_str() + head.size(), nullptr, 10);
        EXPECT_GE(at, before);
        EXPECT_LE(at, after);
        notifyStopping();
        EXPECT_EQ(manager.next(2000), "STOPPING=1");
    }
}

// READY=1 comes once the listener takes connections, STOPPING=1 at the stop,
// and nothing else.
TEST(ServiceNotify, ReadyOnceListeningAndStoppingAtTheStop) {
    OutputCapture output;
    ManagerSocket manager(true);
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
    stopNetwork(*server);
    EXPECT_EQ(manager.next(2000), "STOPPING=1");
    EXPECT_EQ(manager.next(200), "");
}
