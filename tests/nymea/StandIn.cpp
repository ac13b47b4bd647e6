#include "tests/nymea/StandIn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>

extern char** environ;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kCommandTimeout = std::chrono::seconds(10);

}  // namespace

StandIn::StandIn(int port, const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<std::string> argv = {NYMEA_STANDIN_PYTHON, NYMEA_STANDIN_SCRIPT, "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    int rc = posix_spawn(&pid_, NYMEA_STANDIN_PYTHON, &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    reader_ = std::thread(&StandIn::readOutput, this);
    listening_ = waitForLine("listening " + std::to_string(port), 0, kStartTimeout);
}

StandIn::~StandIn() {
    if (stdinFd_ >= 0) {
        const char quit[] = "quit\n";
        ssize_t ignored = ::write(stdinFd_, quit, sizeof(quit) - 1);
        (void)ignored;
        ::close(stdinFd_);
    }
    if (pid_ > 0) {
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (reader_.joinable()) reader_.join();
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

void StandIn::readOutput() {
    std::string pending;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(stdoutFd_, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        std::lock_guard<std::mutex> lock(mutex_);
        while ((end = pending.find('\n')) != std::string::npos) {
            lines_.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool StandIn::waitForLine(const std::string& text, size_t from, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i] == text) return true;
        }
        return ended_;
    }) && !ended_;
}

bool StandIn::command(const std::string& line) {
    size_t from;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        from = lines_.size();
    }
    std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(stdinFd_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    std::string name = line.substr(0, line.find(' '));
    return waitForLine("ok " + name, from, kCommandTimeout);
}

std::vector<StandIn::Request> StandIn::parsedRequestsLocked() const {
    std::vector<Request> requests;
    for (const auto& line : lines_) {
        if (!line.starts_with("request ")) continue;
        size_t space = line.find(' ', 8);
        if (space == std::string::npos) continue;
        Request r{std::stoi(line.substr(8, space - 8)), line.substr(space + 1), -1};
        auto parsed = nlohmann::json::parse(r.line, nullptr, false);
        if (parsed.is_object() && parsed.contains("id") && parsed["id"].is_number_integer()) {
            r.id = parsed["id"].get<int>();
        }
        requests.push_back(std::move(r));
    }
    return requests;
}

std::vector<StandIn::Request> StandIn::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parsedRequestsLocked();
}

namespace {

std::vector<StandIn::Request> ofHello(const std::vector<StandIn::Request>& all, int n) {
    int seen = 0;
    int connection = -1;
    for (const auto& r : all) {
        if (r.id == 0 && r.line.find("JSONRPC.Hello") != std::string::npos && ++seen == n) {
            connection = r.connection;
            break;
        }
    }
    std::vector<StandIn::Request> result;
    std::copy_if(all.begin(), all.end(), std::back_inserter(result),
                 [&](const StandIn::Request& r) { return r.connection == connection; });
    return result;
}

}  // namespace

std::vector<StandIn::Request> StandIn::requestsOfHello(int n, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<Request> result;
    changed_.wait_for(lock, timeout, [&] {
        result = ofHello(parsedRequestsLocked(), n);
        return result.size() >= count || ended_;
    });
    return result;
}
