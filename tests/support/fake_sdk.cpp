#include "fake_sdk.h"

#include <cstring>

FakeSdk::FakeSdk(int refuseMs, int publicPort) {
    record_ = R"({"object_meta":{"name":"gs-1","labels":{"ports":"x"}},"status":{"state":"Ready",)"
              R"("address":"127.0.0.1","ports":[{"name":"extra","port":7000},{"name":"default","port":)" +
              std::to_string(publicPort) + "}]}}";
    Socket s = netTcpSocket();
    if (s == kInvalidSocket) return;
    // Bound but not listening: the port is ours, and connections to it are
    // refused until listen.
    if (netBindAny(s, 0) != 0) {
        netClose(s);
        return;
    }
    listener_ = s;
    port_ = netLocalPort(s);
    thread_ = std::thread([this, refuseMs] { serve(refuseMs); });
}

FakeSdk::~FakeSdk() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != kInvalidSocket) netClose(listener_);
}

FakeSdk::Clock::time_point FakeSdk::answeringSince() {
    std::lock_guard<std::mutex> guard(lock_);
    return answeringSince_;
}

std::vector<FakeSdk::Call> FakeSdk::calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

int FakeSdk::waitForCall(const std::string& path, std::size_t after, int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    int found = -1;
    arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        for (std::size_t i = after; i < calls_.size(); ++i)
            if (calls_[i].path == path) {
                found = static_cast<int>(i);
                return true;
            }
        return false;
    });
    return found;
}

void FakeSdk::serve(int refuseMs) {
    auto until = Clock::now() + std::chrono::milliseconds(refuseMs);
    while (!stopping_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    netListen(listener_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        answeringSince_ = Clock::now();
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

void FakeSdk::handle(Socket s) {
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
    Call call{request.substr(0, request.find(' ')), "", request, Clock::now()};
    std::size_t pathAt = call.method.size() + 1;
    if (pathAt < request.size()) call.path = request.substr(pathAt, request.find(' ', pathAt) - pathAt);
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(call);
    }
    arrived_.notify_all();
    std::string body = call.method == "GET" && call.path == "/gameserver" ? record_ : "{}";
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body;
    netSend(s, answer.data(), answer.size());
    netClose(s);
}
