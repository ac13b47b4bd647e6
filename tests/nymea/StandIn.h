#pragma once
// Runs the home-platform stand-in (tools/nymea-standin) as a child process on
// a loopback port and follows what it reports on its standard output.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class StandIn {
public:
    struct Request {
        int connection;
        std::string line;  // the request as received, without its line feed
        int id;            // its "id", -1 when it has none
    };

    // Starts the stand-in on port with the extra command-line arguments and
    // waits until it listens.
    StandIn(int port, const std::vector<std::string>& args = {});
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    bool listening() const { return listening_; }
    // Sends one control command and waits for its "ok".
    bool command(const std::string& line);
    // Every request received so far, in order.
    std::vector<Request> requests() const;
    // Requests of the connection that carried the n-th Hello (1-based), once
    // it carried at least `count` of them (or after the timeout).
    std::vector<Request> requestsOfHello(int n, size_t count = 0,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void readOutput();
    bool waitForLine(const std::string& text, size_t from, std::chrono::milliseconds timeout);
    std::vector<Request> parsedRequestsLocked() const;

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    bool listening_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};
