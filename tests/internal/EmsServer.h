#pragma once
// An in-process HTTP server on 127.0.0.1 standing in for the energy-management
// server: it records every request body to "/jsonrpc" and answers as the test
// says (status, body, delay), or holds the answer until released.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace bustest {

class EmsServer {
public:
    struct Answer {
        // A constructor, not an aggregate: GCC 12 at -O3 falsely reports the
        // body of an aggregate Answer nested in an array of table rows as
        // maybe uninitialised (-Wmaybe-uninitialized) where the rows are destroyed.
        Answer(int status = 200, std::string body = {}) : status(status), body(std::move(body)) {}
        int status;
        std::string body;
    };
    // The default answer: {"jsonrpc":"2.0","id":<the request's id>,"result":true}.
    EmsServer();
    ~EmsServer();
    EmsServer(const EmsServer&) = delete;
    EmsServer& operator=(const EmsServer&) = delete;

    int port() const { return port_; }
    bool running() const { return port_ > 0; }
    void setAnswer(std::function<Answer(const std::string& body)> answer);
    // Requests arriving while held are recorded at once and answered on release.
    void hold();
    void release();

    std::vector<std::string> bodies() const;
    bool waitForBodies(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    static Answer resultTrue(const std::string& body);

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = -1;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::function<Answer(const std::string&)> answer_;
    bool held_ = false;
    std::vector<std::string> bodies_;
};

// A loopback port whose connections the kernel completes but nobody accepts:
// an energy-management server that never answers.
class Blackhole {
public:
    Blackhole();
    ~Blackhole();
    Blackhole(const Blackhole&) = delete;
    Blackhole& operator=(const Blackhole&) = delete;
    int port() const { return port_; }

private:
    int fd_;
    int port_ = -1;
};

}  // namespace bustest
