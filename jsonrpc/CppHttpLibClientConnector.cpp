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

CppHttpLibClientConnector::CppHttpLibClientConnector(const std::string& host, int port, const HttpTimeouts& timeouts)
    : host_(host), port_(port), client_(std::make_unique<httplib::Client>(host, port)) {
    auto [cs, cus] = secondsAndMicros(timeouts.connect);
    client_->set_connection_timeout(cs, cus);
    auto [rs, rus] = secondsAndMicros(timeouts.read);
    client_->set_read_timeout(rs, rus);
    auto [ws, wus] = secondsAndMicros(timeouts.write);
    client_->set_write_timeout(ws, wus);
}

CppHttpLibClientConnector::~CppHttpLibClientConnector() = default;

std::string CppHttpLibClientConnector::Send(const std::string& request) {
    httplib::Result result = client_->Post("/jsonrpc", request, "application/json");
    if (!result) {
        throw JsonRpcException(kConnectorError, kStatusError, httplib::to_string(result.error()));
    }
    if (result->status != 200) throw JsonRpcException(kConnectorError, kStatusError, result->status);
    return result->body;
}

void CppHttpLibClientConnector::stop() { client_->stop(); }

}  // namespace jsonrpc
