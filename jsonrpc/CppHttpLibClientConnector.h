#pragma once
// The HTTP connector: each request is one POST of its text to "/jsonrpc"
// with content type "application/json"; the body of a 200 answer is the
// response. No answer (refused, timed out, cut off, over a bound of the
// answer) or any other status raises JsonRpcException -32003 "client
// connector error, received status != 200" with the status, or the text
// of the failure, as its data. A body longer than maxResponseBytes is not
// read on: JsonRpcException -32700 "response exceeds the bound of N bytes".
//
// The transport is libcurl (an easy handle on a multi handle of its own); the
// class keeps the name it had when it ran on cpp-httplib. The packaged
// cpp-httplib (0.11.4, built into a shared library, so its compile-time
// limits cannot be changed) reads each line of an answer into a buffer
// without bound, counts no header lines and has no deadline for a whole
// answer, so a hostile server could take the process's memory or hold a
// post for as long as it drips bytes. libcurl gives every bound through its
// settings and callbacks:
//   - the whole exchange has one deadline (HttpTimeouts::answer);
//   - the status line, header lines and trailer lines are counted and their
//     bytes summed as libcurl hands them over (HttpAnswerBounds);
//   - libcurl holds one such line at most 100 KiB (CURL_MAX_HTTP_HEADER) and
//     a chunk size at most 16 hex digits, and refuses longer ones itself;
//   - every byte received (chunk framing and extensions included, which
//     libcurl skips without holding them) counts against maxAnswerBytes.
// Over any of them the post fails at once with the bound named in the data.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
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
    // Every byte of the answer as it came off the connection. Checked as
    // libcurl reports progress, so it may be passed by one read loop's worth
    // (about 1 MiB) before the post stops; none of it is held.
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
    struct Transfer;

    std::string host_;
    int port_;
    HttpTimeouts timeouts_;
    size_t maxResponseBytes_;
    HttpAnswerBounds answerBounds_;
    std::atomic<bool> stopped_{false};
    std::unique_ptr<Transfer> transfer_;
};

}  // namespace jsonrpc
