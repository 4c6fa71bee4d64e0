#include "fake_list_server.h"

#include <chrono>

FakeListServer::FakeListServer(int port) {
    rootPage_ = "HTTP/1.1 200 OK\r\n\r\n<html><a href=\"http://127.0.0.1/\">list</a></html>";
    Socket s = netTcpSocket();
    if (s == kInvalidSocket) return;
    if (netBindAny(s, static_cast<std::uint16_t>(port)) != 0 || netListen(s) != 0) {
        netClose(s);
        return;
    }
    listener_ = s;
    port_ = netLocalPort(s);
    thread_ = std::thread([this] { serve(); });
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

std::vector<std::string> FakeListServer::requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

bool FakeListServer::waitForRequests(std::size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

void FakeListServer::serve() {
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
    while (request.find("\r\n\r\n") == std::string::npos) {
        int n = netRecv(s, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
    }
    std::string page;
    std::size_t chunk;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
        page = rootPage_;
        chunk = chunkSize_;
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
        const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK";
        netSend(s, answer, sizeof answer - 1);
    }
    netClose(s);
}
