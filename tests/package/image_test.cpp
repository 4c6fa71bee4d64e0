// The server's container image, run with podman as operators run it. Started
// by check_image.sh, which builds the image and names it in GAMESERVER_IMAGE;
// the harness starts the server through run_in_container.sh, as the container
// GAMESERVER_CONTAINER with the podman options in GAMESERVER_CONTAINER_OPTS.
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "fake_list_server.h"
#include "harness.h"

namespace e2e {
namespace {

// Runs a shell command; its standard output goes to *out.
bool run(const std::string& command, std::string* out = nullptr) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return false;
    std::string text;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    if (out) *out = text.substr(0, text.find_last_not_of('\n') + 1);
    return ::pclose(p) == 0;
}

std::string containerName(const std::string& what) {
    return std::string(std::getenv("GAMESERVER_CONTAINER_PREFIX")) + "-" + what;
}

// The image run in the foreground as that container with those options, the
// server listening on the port.
std::unique_ptr<Server> runImage(const std::string& container, const std::string& options, int port,
                                 std::vector<std::string> args) {
    ::setenv("GAMESERVER_CONTAINER", container.c_str(), 1);
    ::setenv("GAMESERVER_CONTAINER_OPTS", options.c_str(), 1);
    args.insert(args.begin(), {"-port", std::to_string(port)});
    auto server = std::make_unique<Server>(args, port);
    if (server->waitForLine(Stream::Out, "Waiting for connections on port " + std::to_string(port))) return server;
    std::string err;
    for (const auto& line : server->lines(Stream::Err)) err += line + "\n";
    ADD_FAILURE() << "the server in " << container << " did not start listening:\n" << err;
    return nullptr;
}

class Image : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("GAMESERVER_IMAGE")) GTEST_SKIP() << "run by check_image.sh";
    }
};

TEST_F(Image, ServesAPublishedPortRunsAsNoRootTakesConsoleLinesAndStopsCleanlyOnPodmanStop) {
    int port = freePort();
    std::string p = std::to_string(port), container = containerName("console");
    auto server = runImage(container, "-i -p 127.0.0.1:" + p + ":" + p, port, {"-onlylan"});
    ASSERT_TRUE(server);
    std::string pid;
    ASSERT_TRUE(run("podman inspect --format '{{.State.Pid}}' " + container, &pid));
    struct stat process {};
    ASSERT_EQ(::stat(("/proc/" + pid).c_str(), &process), 0) << pid;
    EXPECT_NE(process.st_uid, 0u);

    auto alice = join(*server, "alice", {});
    server->type("players");
    EXPECT_TRUE(server->waitForLine(Stream::Out, "1\talice"));
    // The image's health check asks the endpoint from inside the container,
    // with the program the image carries for it.
    std::string health;
    EXPECT_TRUE(run("podman healthcheck run " + container + " 2>&1", &health)) << health;
    server->type("say Restart in 5 minutes");
    EXPECT_BYTES(alice->recvFrame(), pkt::chat("Restart in 5 minutes"));

    ASSERT_TRUE(run("podman stop " + container + " >/dev/null"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
}

// Without -i the console has no input and the server serves on. The list's
// host is a name in the container's hosts file (--add-host) for this
// machine's loopback, which the container shares, where a stand-in list
// answers; name servers are loopback's too, so no lookup leaves the machine.
TEST_F(Image, WithoutConsoleAnnouncesOnTheListNamedInItsEnvironmentAndDeletesTheEntryOnPodmanStop) {
    FakeListServer list(80);
    ASSERT_TRUE(list.ok()) << "port 80 is taken";
    list.setRootPage("HTTP/1.1 200 OK\r\n\r\n<html>no link</html>");
    int port = freePort();
    std::string container = containerName("list");
    auto server = runImage(container,
                           "--network host --dns 127.0.0.1 --add-host list.invalid:127.0.0.1 "
                           "-e GAMESERVER_MASTER_HOST=list.invalid",
                           port, {"-name", "Boxed"});
    ASSERT_TRUE(server);
    ASSERT_TRUE(list.waitForRequests(2, 15000));
    EXPECT_EQ(list.requests()[0], "GET / HTTP/1.1\r\nHost: list.invalid\r\n\r\n");
    EXPECT_EQ(list.requests()[1], "GET /add.php?name=Boxed&port=" + std::to_string(port) +
                                      "&players=0&maxplayers=4&version=0.900000 HTTP/1.1\r\nHost: list.invalid\r\n\r\n");
    auto bob = join(*server, "bob", {});
    EXPECT_TRUE(bob->connected());

    ASSERT_TRUE(run("podman stop " + container + " >/dev/null"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_EQ(list.requests().back(), "GET /delete.php HTTP/1.1\r\nHost: list.invalid\r\n\r\n");
}

// Whether the condition holds within the time, looked at every 20 ms.
bool within(Ms timeout, const std::function<bool()>& holds) {
    for (auto end = std::chrono::steady_clock::now() + timeout; !holds(); std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// `podman attach` in a terminal, as an operator has it.
struct Attached {
    explicit Attached(const std::string& container) {
        pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid == 0) ::_exit(::execlp("podman", "podman", "attach", container.c_str(), nullptr));
    }
    ~Attached() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        ::close(terminal);
    }
    // Raw mode, as podman sets it for a container with a terminal: until then
    // the terminal itself takes Ctrl+Q and holds keys back until Enter.
    bool raw() {
        termios mode{};
        return ::tcgetattr(terminal, &mode) == 0 && !(mode.c_lflag & ICANON) && !(mode.c_iflag & IXON);
    }
    void type(const std::string& keys) { (void)!::write(terminal, keys.data(), keys.size()); }
    bool shows(const std::string& text) {
        pollfd p{terminal, POLLIN, 0};
        char buf[512];
        ssize_t n = ::poll(&p, 1, 0) == 1 ? ::read(terminal, buf, sizeof buf) : 0;
        if (n > 0) screen.append(buf, static_cast<std::size_t>(n));
        return screen.find(text) != std::string::npos;
    }
    bool endedWell() {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) return false;
        pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    pid_t pid = -1;
    int terminal = -1;
    std::string screen;
};

// The compose example as it is, on a free port of the host; its console is
// an operator's: podman attach, a command, Ctrl+P Ctrl+Q.
TEST_F(Image, ComposeExampleServesAClientAndItsConsoleDetachesWithCtrlPCtrlQ) {
    int port = freePort();
    ::setenv("GAMESERVER_PORT", std::to_string(port).c_str(), 1);
    // The container's own loopback: refused at once, nothing leaves it.
    ::setenv("GAMESERVER_MASTER_HOST", "127.0.0.1", 1);
    std::string project = containerName("compose");
    std::string compose =
        "podman-compose -p " + project + " -f " + std::getenv("GAMESERVER_COMPOSE_FILE") + " ";
    struct Down {
        std::string command;
        ~Down() { run(command + " >/dev/null 2>&1"); }
    } down{compose + "down"};
    ASSERT_TRUE(run(compose + "up -d >/dev/null"));
    std::string container = project + "_gameserver_1", log;
    ASSERT_TRUE(within(kWait, [&] {
        return run("podman logs " + container + " 2>&1", &log) &&
               log.find("Waiting for connections on port " + std::to_string(port)) != std::string::npos;
    })) << log;

    Client carol(port);
    carol.send(pkt::hello("carol"));
    Bytes reply = carol.recvFrame();
    EXPECT_TRUE(reply.size() == 72 && reply[1] == 10 && reply[71] == 0) << pkt::hex(reply);

    Attached console(container);
    ASSERT_TRUE(within(kWait, [&] { return console.raw(); }));
    console.type("players\r");
    EXPECT_TRUE(within(kWait, [&] { return console.shows("1\tcarol"); })) << console.screen;
    // Typed as a person types them: podman (4.3) misses the sequence when both
    // keys come in one read.
    console.type("\x10");
    std::this_thread::sleep_for(100ms);
    console.type("\x11");
    EXPECT_TRUE(within(kWait, [&] { return console.endedWell(); })) << console.screen;
    std::string running;
    EXPECT_TRUE(run("podman inspect --format '{{.State.Running}}' " + container, &running));
    EXPECT_EQ(running, "true");
    EXPECT_TRUE(run(compose + "down >/dev/null 2>&1"));
}

// The status of a GET on loopback at this port, or 0 where none came.
int httpStatus(int port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[256];
        for (ssize_t n; answer.size() < 12 && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer.rfind("HTTP/1.", 0) == 0 && answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

// The Kubernetes manifest, played by podman as a stand-in for a cluster, on
// free ports of the host, with the list host pointed at a stand-in on this
// machine. Podman runs no HTTP probes: the test asks them itself. A pod stop
// drains: the player plays on, a newcomer is told the server is full, the
// list sees the delete, and the container ends by itself, with 0, once the
// player has left.
//
// The pod gets the host's network (hostNetwork) instead of its hostPort:
// podman (4.3) takes a pod's network down as soon as a pod stop begins,
// while Kubernetes keeps it until the last container has ended, so that
// through a hostPort here the draining server would no longer hear its
// players.
TEST_F(Image, KubernetesManifestServesAPodThatDrainsOnPodStop) {
    FakeListServer list(80);
    ASSERT_TRUE(list.ok()) << "port 80 is taken";
    list.setRootPage("HTTP/1.1 200 OK\r\n\r\n<html>no link</html>");
    const int port = freePort(), httpPort = freePort();
    const std::string name = containerName("kube");
    std::ifstream in(std::getenv("GAMESERVER_KUBE_FILE"));
    std::stringstream text;
    text << in.rdbuf();
    std::string manifest = text.str();
    auto replaceAll = [&manifest](const std::string& from, const std::string& to) {
        for (std::size_t at = 0; (at = manifest.find(from, at)) != std::string::npos; at += to.size())
            manifest.replace(at, from.size(), to);
    };
    replaceAll("50505", std::to_string(port));
    replaceAll("9150", std::to_string(httpPort));
    replaceAll("name: gameserver\n  labels", "name: " + name + "\n  labels");
    replaceAll("masterlist.example.net", "127.0.0.1");
    replaceAll("      containers:", "      hostNetwork: true\n      containers:");
    // Podman maps no port of a pod on the host's network: it refuses ports
    // there.
    const std::size_t ports = manifest.find("          ports:"), probes = manifest.find("          livenessProbe:");
    if (ports != std::string::npos && probes > ports) manifest.erase(ports, probes - ports);
    const std::string file = ::testing::TempDir() + name + ".yaml";
    std::ofstream(file) << manifest;
    const std::string pod = name + "-pod-0", container = pod + "-gameserver";
    struct Down {
        std::string pod;
        ~Down() { run("podman pod rm -f " + pod + " >/dev/null 2>&1"); }
    } down{pod};
    std::string out;
    ASSERT_TRUE(run("podman kube play " + file + " 2>&1", &out)) << out;

    std::string log;
    auto logged = [&](const std::string& line) {
        return within(kWait, [&] {
            return run("podman logs " + container + " 2>&1", &log) && log.find(line) != std::string::npos;
        });
    };
    ASSERT_TRUE(logged("Waiting for connections on port " + std::to_string(port))) << log;
    ASSERT_TRUE(list.waitForRequests(2, 15000));
    EXPECT_NE(list.requests()[1].find("&port=" + std::to_string(port) + "&"), std::string::npos) << list.requests()[1];
    EXPECT_TRUE(within(kWait, [&] { return httpStatus(httpPort, "/livez") == 200; }));
    EXPECT_EQ(httpStatus(httpPort, "/readyz"), 200);
    std::string user;
    EXPECT_TRUE(run("podman top " + container + " user 2>/dev/null | tail -1", &user));
    EXPECT_NE(user, "root");

    Client alice(port);
    alice.send(pkt::hello("alice"));
    EXPECT_BYTES(alice.recvFrame(), pkt::helloReply(1, 0, "alice"));
    ASSERT_TRUE(logged("Player \"alice\" connected."));

    const auto stopAt = std::chrono::steady_clock::now();
    std::string stopped;
    std::thread stop([&] { run("podman pod stop -t 60 " + pod + " 2>&1", &stopped); });
    ASSERT_TRUE(list.waitForRequests(3, 10000));
    EXPECT_EQ(list.requests()[2], "GET /delete.php HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(httpStatus(httpPort, "/readyz"), 503);
    EXPECT_EQ(httpStatus(httpPort, "/livez"), 200);
    Client bob(port);
    bob.send(pkt::hello("bob"));
    EXPECT_BYTES(bob.recvFrame(), pkt::helloReply(2, 3, "bob"));
    alice.send(pkt::chat("one more song"));
    EXPECT_TRUE(logged("alice: one more song"));
    alice.close();
    stop.join();
    const auto took = std::chrono::steady_clock::now() - stopAt;
    EXPECT_LT(took, 60s) << "the pod was killed at the end of its grace period";
    std::string code;
    EXPECT_TRUE(run("podman inspect --format '{{.State.ExitCode}}' " + container, &code));
    EXPECT_EQ(code, "0") << log;
    EXPECT_TRUE(run("podman logs " + container + " 2>&1", &log));
    EXPECT_NE(log.find("Draining: the lobby is empty."), std::string::npos) << log;
}

}  // namespace
}  // namespace e2e
