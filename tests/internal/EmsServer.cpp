#include "tests/internal/EmsServer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace bustest {

EmsServer::Answer EmsServer::resultTrue(const std::string& body) {
    const nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
    nlohmann::json response = {{"jsonrpc", "2.0"}, {"result", true}};
    response["id"] = request.is_object() && request.contains("id") ? request["id"] : nlohmann::json();
    return {200, response.dump()};
}

EmsServer::EmsServer() : server_(std::make_unique<httplib::Server>()), answer_(resultTrue) {
    server_->Post("/jsonrpc", [this](const httplib::Request& request, httplib::Response& response) {
        std::function<Answer(const std::string&)> answer;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            bodies_.push_back(request.body);
            changed_.notify_all();
            changed_.wait(lock, [this] { return !held_; });
            answer = answer_;
        }
        const Answer reply = answer(request.body);
        response.status = reply.status;
        response.set_content(reply.body, "application/json");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // cpp-httplib's stop() does nothing before the listening loop has begun,
    // and the loop would then wait for a connection for ever: a server
    // destroyed at once (a test that never posts) must not hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

EmsServer::~EmsServer() {
    release();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

void EmsServer::setAnswer(std::function<Answer(const std::string&)> answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
}

void EmsServer::hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
}

void EmsServer::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
    }
    changed_.notify_all();
}

std::vector<std::string> EmsServer::bodies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bodies_;
}

bool EmsServer::waitForBodies(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return bodies_.size() >= count; });
}

Blackhole::Blackhole() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && ::listen(fd_, 64) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
        port_ = ntohs(addr.sin_port);
    }
}

Blackhole::~Blackhole() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace bustest
