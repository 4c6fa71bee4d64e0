#include "fake_list_server.h"

#include <chrono>

FakeListServer::FakeListServer(int port, int refuseMs) {
    rootPage_ = "HTTP/1.1 200 OK\r\n\r\n<html><a href=\"http://127.0.0.1/\">list</a></html>";
    Socket s = netTcpSocket();
    if (s == kInvalidSocket) return;
    // Bound but not listening, the port is ours and refuses connections.
    if (netBindAny(s, static_cast<std::uint16_t>(port)) != 0 || (refuseMs == 0 && netListen(s) != 0)) {
        netClose(s);
        return;
    }
    if (refuseMs == 0) listeningSince_ = Clock::now();
    listener_ = s;
    port_ = netLocalPort(s);
    thread_ = std::thread([this, refuseMs] { serve(refuseMs); });
}

FakeListServer::~FakeListServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != kInvalidSocket) netClose(listener_);
    for (Socket s : held_) netClose(s);
}

void FakeListServer::setRootPage(const std::string& answer, std::size_t chunkSize) {
    std::lock_guard<std::mutex> guard(lock_);
    rootPage_ = answer;
    chunkSize_ = chunkSize;
}

void FakeListServer::setAnswer(const std::string& requestStart, const std::string& answer) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_.emplace_back(requestStart, answer);
}

std::vector<std::string> FakeListServer::requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

std::vector<FakeListServer::Clock::time_point> FakeListServer::arrivals() {
    std::lock_guard<std::mutex> guard(lock_);
    return arrivals_;
}

FakeListServer::Clock::time_point FakeListServer::listeningSince() {
    std::lock_guard<std::mutex> guard(lock_);
    return listeningSince_;
}

int FakeListServer::waitForRequest(const std::string& requestStart, std::size_t after, int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    int found = -1;
    arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        for (std::size_t i = after; i < requests_.size() && found < 0; ++i)
            if (requests_[i].rfind(requestStart, 0) == 0) found = static_cast<int>(i);
        return found >= 0;
    });
    return found;
}

bool FakeListServer::waitForRequests(std::size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

void FakeListServer::serve(int refuseMs) {
    if (refuseMs > 0) {
        auto until = Clock::now() + std::chrono::milliseconds(refuseMs);
        while (!stopping_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        netListen(listener_);
        std::lock_guard<std::mutex> guard(lock_);
        listeningSince_ = Clock::now();
    }
    while (!stopping_) {
        SocketSet readSet;
        socketSetClear(readSet);
        socketSetAdd(readSet, listener_);
        if (netSelect(0, &readSet, nullptr, nullptr, 50, nullptr) <= 0) continue;
        Socket s = netAccept(listener_, nullptr);
        if (s != kInvalidSocket) handle(s);
    }
}

void FakeListServer::handle(Socket s) {
    // The mode a connection meets is the one when it came: a test that
    // changes it once a request has arrived changes it for the next.
    Mode mode = mode_;
    netSetIoTimeout(s, 5000);
    std::string request;
    char buf[512];
    // The head, and the body its Content-Length announces.
    for (;;) {
        std::size_t head = request.find("\r\n\r\n");
        if (head != std::string::npos) {
            std::size_t length = request.find("Content-Length: ");
            std::size_t bodyLen = length < head ? std::stoul(request.substr(length + 16)) : 0;
            if (request.size() >= head + 4 + bodyLen) break;
        }
        int n = netRecv(s, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
    }
    std::string page;
    std::size_t chunk;
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK";
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
        arrivals_.push_back(Clock::now());
        page = rootPage_;
        chunk = chunkSize_;
        for (const auto& [start, canned] : answers_)
            if (request.rfind(start, 0) == 0) answer = canned;
    }
    arrived_.notify_all();

    if (mode == Mode::Silent) {
        held_.push_back(s);  // closed when the fake goes away
        return;
    }
    bool root = request.rfind("GET / ", 0) == 0;
    if (root && mode == Mode::EndlessPage) {
        std::string filler(1024, 'x');
        while (!stopping_ && netSend(s, filler.data(), filler.size()) > 0) {
        }
    } else if (root) {
        if (chunk == 0) chunk = page.size();
        for (std::size_t at = 0; at < page.size(); at += chunk) {
            netSend(s, page.data() + at, std::min(chunk, page.size() - at));
            std::this_thread::sleep_for(std::chrono::milliseconds(chunk < page.size() ? 20 : 0));
        }
        if (holdAfterPage_) {
            held_.push_back(s);
            return;
        }
    } else {
        netSend(s, answer.data(), answer.size());
    }
    netClose(s);
}

std::string gameServerRecordAnswer(int publicPort) {
    std::string record = R"({"object_meta":{"name":"gs-1","labels":{"ports":"x"}},"status":{"state":"Ready",)"
                         R"("address":"127.0.0.1","ports":[{"name":"extra","port":7000},{"name":"default","port":)" +
                         std::to_string(publicPort) + "}]}}";
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(record.size()) +
           "\r\n\r\n" + record;
}
