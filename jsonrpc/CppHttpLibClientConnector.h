#pragma once
// The HTTP connector: each request is one POST of its text to "/jsonrpc"
// with content type "application/json"; the body of a 200 answer is the
// response. No answer (refused, timed out, cut off, over a bound of the
// answer) or any other status raises JsonRpcException -32003 "client
// connector error, received status != 200" with the status, or the text
// of the failure, as its data. A body longer than maxResponseBytes is not
// read on: JsonRpcException -32700 "response exceeds the bound of N bytes".
//
// The transport is Boost.Beast's HTTP parser on Boost.Asio (header-only, so
// it adds no shared library to the process); the class keeps the name it had
// when it ran on cpp-httplib. The packaged cpp-httplib (0.11.4, built into a
// shared library, so its compile-time limits cannot be changed) reads each
// line of an answer into a buffer without bound, counts no header lines and
// has no deadline for a whole answer, so a hostile server could take the
// process's memory or hold a post for as long as it drips bytes. Here every
// bound is checked as the bytes come in (HttpAnswerBounds):
//   - the whole exchange has one deadline (HttpTimeouts::answer), the
//     connect one of its own within it;
//   - the status line, header lines, the blank line and trailer lines, of
//     the final answer and of any 1xx answer before it, are counted and
//     their bytes summed, those the parser still holds unended included;
//   - every line, chunk-size and chunk-extension lines included, is bounded,
//     even while it has not ended;
//   - every byte received counts against maxAnswerBytes; no read asks for
//     more than that bound leaves.
// Over any of them the post fails at once with the bound named in the data.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "jsonrpc/ClientConnector.h"

namespace jsonrpc {

struct HttpTimeouts {
    // Until the TCP connection stands.
    std::chrono::milliseconds connect{2000};
    // The whole exchange, from the start of the post to the last byte of the
    // answer (connect included): a server that drips its answer or goes
    // silent gives up the sender after this.
    std::chrono::milliseconds answer{5000};
};

// What the connector reads of an HTTP answer beyond its body.
struct HttpAnswerBounds {
    // Status line, header lines, the blank line that ends them and trailer
    // lines, of the final answer and of any 1xx answer before it.
    size_t maxHeaderLines = 100;
    // Their bytes together (line ends included).
    size_t maxHeaderBytes = 16 * 1024;
    // Any one line of the answer outside its body: those above, a chunk-size
    // line with its extensions (line end included).
    size_t maxLineBytes = 8 * 1024;
    // Every byte of the answer as it came off the connection, chunk framing
    // included; one byte over it ends the post.
    size_t maxAnswerBytes = 1024 * 1024;
};

class CppHttpLibClientConnector : public IClientConnector {
public:
    CppHttpLibClientConnector(const std::string& host, int port, const HttpTimeouts& timeouts = {},
                              size_t maxResponseBytes = ResponseBounds{}.maxBytes,
                              const HttpAnswerBounds& answerBounds = {});
    ~CppHttpLibClientConnector() override;
    CppHttpLibClientConnector(const CppHttpLibClientConnector&) = delete;
    CppHttpLibClientConnector& operator=(const CppHttpLibClientConnector&) = delete;

    std::string Send(const std::string& request) override;

    // Cuts a request in progress short (from any thread); the Send under
    // way, and every later one, then fails like a lost connection.
    void stop();

    const std::string& host() const { return host_; }
    int port() const { return port_; }

private:
    class Exchange;

    std::string host_;
    int port_;
    HttpTimeouts timeouts_;
    size_t maxResponseBytes_;
    HttpAnswerBounds answerBounds_;
    std::atomic<bool> stopped_{false};
    // The exchange under way, for stop(); guarded by mutex_, which is held
    // only to set, clear or cut it, never across network I/O.
    std::mutex mutex_;
    Exchange* exchange_ = nullptr;
};

}  // namespace jsonrpc
