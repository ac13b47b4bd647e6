#pragma once
// The transport under the JSON-RPC client: hands one serialised request to
// the server and returns the response text.

#include <string>

namespace jsonrpc {

class IClientConnector {
public:
    virtual ~IClientConnector() = default;
    // Throws JsonRpcException when no usable response arrives.
    virtual std::string Send(const std::string& request) = 0;
};

}  // namespace jsonrpc
