#pragma once
// The one error type of the JSON-RPC client: an error object of the server,
// a response that cannot be used, or a transport failure.

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace jsonrpc {

// Codes of JSON-RPC 2.0, and the one the connectors use for transport failures.
enum ErrorCode : int {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    kConnectorError = -32003,
};

class JsonRpcException : public std::runtime_error {
public:
    JsonRpcException(int code, const std::string& message, nlohmann::json data = nullptr)
        : std::runtime_error(std::to_string(code) + ": " + message), code_(code), message_(message),
          data_(std::move(data)) {}

    int Code() const { return code_; }
    const std::string& Message() const { return message_; }
    // The "data" member of the server's error object; null when it had none.
    const nlohmann::json& Data() const { return data_; }

private:
    int code_;
    std::string message_;
    nlohmann::json data_;
};

}  // namespace jsonrpc
