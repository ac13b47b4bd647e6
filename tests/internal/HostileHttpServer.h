#pragma once
// A loopback HTTP server standing in for an energy-management server that
// turns hostile: it reads each post to "/jsonrpc" and answers it as its mode
// says, either well or with an answer that never ends (header lines, one
// line, a chunk-size line, trailer lines) or that drips. It counts the bytes
// it got out of each answer before the client went away, so a test can show
// that the client stopped reading long before the server ran out of bytes:
// what the client read (and could hold) is at most what was sent.
//
// One connection at a time, served on the server's own thread; each answer
// ends the connection.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bustest {

class HostileHttpServer {
public:
    enum class Mode {
        Good,                   // 200, {"jsonrpc":"2.0","id":1,"result":true}
        EndlessHeaderLines,     // short header lines without end
        EndlessLongHeaderLines, // header lines of 1000 bytes without end
        EndlessHeaderLine,      // one header line without end
        EndlessStatusLine,      // a status line without end
        EndlessChunkSize,       // chunked, then hex digits of a chunk size without end
        EndlessChunkExtension,  // chunked, then "1;" and an extension without end
        EndlessTrailerLines,    // chunked, the last chunk, then trailer lines without end
        Drip,                   // the good answer, one byte every dripInterval
        Given,                  // the text given to setAnswer, as it stands
    };

    struct Post {
        std::string body;         // the request body
        size_t bytesSent = 0;     // bytes of the answer the client took off the server
        bool clientLeft = false;  // the client closed before the answer ended
        std::chrono::milliseconds duration{0};  // from the request's end to the connection's end
    };

    // hostileBytes: how much an endless answer sends before the server gives up.
    explicit HostileHttpServer(size_t hostileBytes = 128u << 20,
                               std::chrono::milliseconds dripInterval = std::chrono::milliseconds(250));
    ~HostileHttpServer();
    HostileHttpServer(const HostileHttpServer&) = delete;
    HostileHttpServer& operator=(const HostileHttpServer&) = delete;

    int port() const { return port_; }
    bool running() const { return port_ > 0; }
    void setMode(Mode mode);
    // What Mode::Given sends: a whole answer, raw.
    void setAnswer(const std::string& text);
    // The whole good answer (what Drip sends a byte at a time).
    static std::string goodAnswer();

    // Requests read whole (their answer may still be under way).
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Posts whose answer has ended (sent whole, or the client went away).
    std::vector<Post> posts() const;
    bool waitForPosts(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void serve();
    void answer(int fd, Mode mode, Post& post);
    bool readRequest(int fd, std::string& body);
    // Sends all of text; false when the client went away or the server stops.
    bool sendAll(int fd, const std::string& text, Post& post);
    // Sends pattern again and again until hostileBytes went out; false as sendAll.
    bool sendEndless(int fd, const std::string& pattern, Post& post);
    // Waits for the client to leave for at most duration; true when it left.
    bool clientLeavesWithin(int fd, std::chrono::milliseconds duration);

    const size_t hostileBytes_;
    const std::chrono::milliseconds dripInterval_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Mode mode_ = Mode::Good;
    std::string given_;
    std::vector<Post> posts_;
    size_t requestsSeen_ = 0;
};

}  // namespace bustest
