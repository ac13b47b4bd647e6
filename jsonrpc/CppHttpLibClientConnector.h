#pragma once
// The HTTP connector: each request is one POST of its text to "/jsonrpc"
// with content type "application/json"; the body of a 200 answer is the
// response. No answer (refused, timed out, cut off) or any other status
// raises JsonRpcException -32003 "client connector error, received status != 200"
// with the status, or the library's name of the failure, as its data. A
// body longer than maxResponseBytes is not read on: JsonRpcException -32700
// "response exceeds the bound of N bytes".

#include <chrono>
#include <memory>
#include <string>

#include "jsonrpc/ClientConnector.h"

namespace httplib {
class Client;
}

namespace jsonrpc {

struct HttpTimeouts {
    std::chrono::milliseconds connect{2000};
    std::chrono::milliseconds read{5000};
    std::chrono::milliseconds write{5000};
};

class CppHttpLibClientConnector : public IClientConnector {
public:
    CppHttpLibClientConnector(const std::string& host, int port, const HttpTimeouts& timeouts = {},
                              size_t maxResponseBytes = ResponseBounds{}.maxBytes);
    ~CppHttpLibClientConnector() override;
    CppHttpLibClientConnector(const CppHttpLibClientConnector&) = delete;
    CppHttpLibClientConnector& operator=(const CppHttpLibClientConnector&) = delete;

    std::string Send(const std::string& request) override;

    // Cuts a request in progress short (from any thread); the Send under
    // way then fails like a lost connection.
    void stop();

    const std::string& host() const { return host_; }
    int port() const { return port_; }

private:
    std::string host_;
    int port_;
    size_t maxResponseBytes_;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace jsonrpc
