#include "jsonrpc/CppHttpLibClientConnector.h"

#include <httplib.h>

#include "jsonrpc/JsonRpcException.h"

namespace jsonrpc {

namespace {

template <class Duration>
std::pair<time_t, time_t> secondsAndMicros(Duration duration) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    return {static_cast<time_t>(us / 1000000), static_cast<time_t>(us % 1000000)};
}

constexpr const char* kStatusError = "client connector error, received status != 200";

}  // namespace

CppHttpLibClientConnector::CppHttpLibClientConnector(const std::string& host, int port, const HttpTimeouts& timeouts,
                                                     size_t maxResponseBytes)
    : host_(host), port_(port), maxResponseBytes_(maxResponseBytes),
      client_(std::make_unique<httplib::Client>(host, port)) {
    auto [cs, cus] = secondsAndMicros(timeouts.connect);
    client_->set_connection_timeout(cs, cus);
    auto [rs, rus] = secondsAndMicros(timeouts.read);
    client_->set_read_timeout(rs, rus);
    auto [ws, wus] = secondsAndMicros(timeouts.write);
    client_->set_write_timeout(ws, wus);
}

CppHttpLibClientConnector::~CppHttpLibClientConnector() = default;

std::string CppHttpLibClientConnector::Send(const std::string& request) {
    httplib::Request post;
    post.method = "POST";
    post.path = "/jsonrpc";
    post.set_header("Content-Type", "application/json");
    post.body = request;
    // The body is taken here, chunk by chunk, so that a server cannot make
    // the client hold more than the bound.
    std::string body;
    bool tooLong = false;
    post.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
        if (length > maxResponseBytes_ - body.size()) {
            tooLong = true;
            return false;
        }
        body.append(data, length);
        return true;
    };
    httplib::Result result = client_->send(post);
    if (tooLong) {
        throw JsonRpcException(kParseError,
                               "response exceeds the bound of " + std::to_string(maxResponseBytes_) + " bytes");
    }
    if (!result) {
        throw JsonRpcException(kConnectorError, kStatusError, httplib::to_string(result.error()));
    }
    if (result->status != 200) throw JsonRpcException(kConnectorError, kStatusError, result->status);
    return body;
}

void CppHttpLibClientConnector::stop() { client_->stop(); }

}  // namespace jsonrpc
