#include "tests/internal/HostileHttpServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>

namespace bustest {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kRequestTimeout{5000};

std::string repeated(const std::string& unit, size_t atLeast) {
    std::string text;
    while (text.size() < atLeast) text += unit;
    return text;
}

}  // namespace

HostileHttpServer::HostileHttpServer(size_t hostileBytes, milliseconds dripInterval)
    : hostileBytes_(hostileBytes), dripInterval_(dripInterval) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (listenFd_ >= 0 && stopFd_ >= 0 && ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::listen(listenFd_, 16) == 0 && ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
}

HostileHttpServer::~HostileHttpServer() {
    if (stopFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(stopFd_, &one, sizeof(one));
    }
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
}

void HostileHttpServer::setMode(Mode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
}

void HostileHttpServer::setAnswer(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    given_ = text;
}

std::string HostileHttpServer::goodAnswer() {
    const std::string body = R"({"jsonrpc":"2.0","id":1,"result":true})";
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::vector<HostileHttpServer::Post> HostileHttpServer::posts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
}

bool HostileHttpServer::waitForRequests(size_t count, milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requestsSeen_ >= count; });
}

bool HostileHttpServer::waitForPosts(size_t count, milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return posts_.size() >= count; });
}

void HostileHttpServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        Post post;
        if (readRequest(fd, post.body)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++requestsSeen_;
            }
            changed_.notify_all();
            Mode mode;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                mode = mode_;
            }
            const auto start = Clock::now();
            answer(fd, mode, post);
            post.duration = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                posts_.push_back(post);
            }
            changed_.notify_all();
        }
        ::close(fd);
    }
}

bool HostileHttpServer::readRequest(int fd, std::string& body) {
    std::string text;
    const auto deadline = Clock::now() + kRequestTimeout;
    size_t headEnd = std::string::npos;
    size_t contentLength = 0;
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = text.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                std::string head = text.substr(0, headEnd);
                std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
                const size_t at = head.find("\r\ncontent-length:");
                if (at != std::string::npos) contentLength = std::stoul(head.substr(at + 17));
                headEnd += 4;
            }
        }
        if (headEnd != std::string::npos && text.size() >= headEnd + contentLength) {
            body = text.substr(headEnd, contentLength);
            return true;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}

void HostileHttpServer::answer(int fd, Mode mode, Post& post) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    bool whole = true;
    switch (mode) {
        case Mode::Good:
            whole = sendAll(fd, goodAnswer(), post);
            break;
        case Mode::EndlessHeaderLines:
            whole = sendAll(fd, "HTTP/1.1 200 OK\r\n", post) &&
                    sendEndless(fd, repeated("X-Filler: abcdefgh\r\n", 64 * 1024), post);
            break;
        case Mode::EndlessLongHeaderLines:
            whole = sendAll(fd, "HTTP/1.1 200 OK\r\n", post) &&
                    sendEndless(fd, repeated("X-Filler: " + std::string(988, 'a') + "\r\n", 64 * 1024), post);
            break;
        case Mode::EndlessHeaderLine:
            whole = sendAll(fd, "HTTP/1.1 200 OK\r\nX-Filler: ", post) &&
                    sendEndless(fd, std::string(64 * 1024, 'a'), post);
            break;
        case Mode::EndlessStatusLine:
            whole = sendAll(fd, "HTTP/1.1 200 ", post) && sendEndless(fd, std::string(64 * 1024, 'K'), post);
            break;
        case Mode::EndlessChunkSize:
            whole = sendAll(fd, chunked, post) && sendEndless(fd, std::string(64 * 1024, 'f'), post);
            break;
        case Mode::EndlessChunkExtension:
            whole = sendAll(fd, chunked + "1;", post) && sendEndless(fd, std::string(64 * 1024, 'x'), post);
            break;
        case Mode::EndlessTrailerLines:
            whole = sendAll(fd, chunked + "1\r\n{\r\n0\r\n", post) &&
                    sendEndless(fd, repeated("X-Trailer: abcdefgh\r\n", 64 * 1024), post);
            break;
        case Mode::Drip:
            for (const char byte : goodAnswer()) {
                if (!sendAll(fd, std::string(1, byte), post) || clientLeavesWithin(fd, dripInterval_)) {
                    whole = false;
                    break;
                }
            }
            break;
        case Mode::Given: {
            std::string text;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                text = given_;
            }
            whole = sendAll(fd, text, post);
            break;
        }
    }
    post.clientLeft = !whole;
}

bool HostileHttpServer::sendAll(int fd, const std::string& text, Post& post) {
    size_t sent = 0;
    while (sent < text.size()) {
        pollfd fds[2] = {{fd, POLLOUT | POLLRDHUP, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
        if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) return false;
        if (!(fds[0].revents & POLLOUT)) continue;
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(n);
        post.bytesSent += static_cast<size_t>(n);
    }
    return true;
}

bool HostileHttpServer::sendEndless(int fd, const std::string& pattern, Post& post) {
    while (post.bytesSent < hostileBytes_) {
        if (!sendAll(fd, pattern, post)) return false;
    }
    return true;  // the client read all of it: the server gave up first
}

bool HostileHttpServer::clientLeavesWithin(int fd, milliseconds duration) {
    pollfd fds[2] = {{fd, POLLRDHUP, 0}, {stopFd_, POLLIN, 0}};
    const int rc = ::poll(fds, 2, static_cast<int>(duration.count()));
    return rc > 0;
}

}  // namespace bustest
