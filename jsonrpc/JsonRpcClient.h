#pragma once
// JSON-RPC 2.0 client over a connector. A call builds the request object
// {"id", "jsonrpc": "2.0", "method", "params"}, serialises it compactly,
// hands it to the connector and reads the response: the "result" member
// converted to T, or a JsonRpcException for an "error" member and for every
// response that does not follow the protocol (not JSON, no object, a wrong
// or missing id, a result of another type).
//
// A response is bounded before it is used: text longer than maxBytes, with
// a NUL byte or nesting deeper than maxDepth is a parse error (-32700), so a
// hostile server can neither exhaust memory nor overflow the caller's stack
// with what the client copies out of the answer.
//
// Not synchronised: one thread calls a client at a time.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "jsonrpc/ClientConnector.h"
#include "jsonrpc/JsonRpcException.h"

namespace jsonrpc {

class JsonRpcClient {
public:
    explicit JsonRpcClient(IClientConnector& connector, ResponseBounds bounds = {})
        : connector_(connector), bounds_(bounds) {}

    // params: a JSON array (positional) or object (named).
    template <class T>
    T CallMethod(int64_t id, const std::string& name, const nlohmann::json& params) {
        const nlohmann::json result = call(id, name, params);
        try {
            return result.get<T>();
        } catch (const nlohmann::json::exception& e) {
            throw JsonRpcException(kInternalError, std::string("invalid result type: ") + e.what(), result);
        }
    }

    // The request text a call with these arguments sends.
    static std::string requestText(int64_t id, const std::string& name, const nlohmann::json& params);

private:
    // The "result" member of the response.
    nlohmann::json call(int64_t id, const std::string& name, const nlohmann::json& params);

    // The response text parsed within the bounds.
    nlohmann::json parseResponse(const std::string& text) const;

    IClientConnector& connector_;
    ResponseBounds bounds_;
};

}  // namespace jsonrpc
