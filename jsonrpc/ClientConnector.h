#pragma once
// The transport under the JSON-RPC client: hands one serialised request to
// the server and returns the response text.

#include <cstddef>
#include <string>

namespace jsonrpc {

// What a response may be: its size (the connector stops reading beyond it,
// the client checks it again) and the nesting of its JSON (the client).
struct ResponseBounds {
    size_t maxBytes = 64 * 1024;
    size_t maxDepth = 64;
};

class IClientConnector {
public:
    virtual ~IClientConnector() = default;
    // Throws JsonRpcException when no usable response arrives.
    virtual std::string Send(const std::string& request) = 0;
};

}  // namespace jsonrpc
