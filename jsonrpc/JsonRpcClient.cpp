#include "jsonrpc/JsonRpcClient.h"

namespace jsonrpc {

namespace {

[[noreturn]] void invalidResponse(const std::string& why) {
    throw JsonRpcException(kInternalError, "invalid server response: " + why);
}

// The error object of a response, as the exception it stands for.
JsonRpcException serverError(const nlohmann::json& error) {
    if (!error.is_object() || !error.contains("code") || !error["code"].is_number_integer() ||
        !error.contains("message") || !error["message"].is_string()) {
        return JsonRpcException(kInternalError, "invalid server response: malformed error object", error);
    }
    const auto code = error["code"].get<int64_t>();
    if (code < INT32_MIN || code > INT32_MAX) {
        return JsonRpcException(kInternalError, "invalid server response: error code out of range", error);
    }
    return JsonRpcException(static_cast<int>(code), error["message"].get<std::string>(),
                            error.contains("data") ? error["data"] : nlohmann::json());
}

}  // namespace

std::string JsonRpcClient::requestText(int64_t id, const std::string& name, const nlohmann::json& params) {
    nlohmann::json request = {{"jsonrpc", "2.0"}, {"method", name}, {"id", id}};
    if (!params.is_null()) request["params"] = params;
    return request.dump();
}

nlohmann::json JsonRpcClient::parseResponse(const std::string& text) const {
    if (text.size() > bounds_.maxBytes) {
        throw JsonRpcException(kParseError, "response of " + std::to_string(text.size()) +
                                                " bytes exceeds the bound of " + std::to_string(bounds_.maxBytes) +
                                                " bytes");
    }
    // The parser would take a NUL byte for the end of the text.
    if (text.find('\0') != std::string::npos) {
        throw JsonRpcException(kParseError, "invalid JSON response from server", text);
    }
    // The parser itself does not recurse; a value deeper than the bound is
    // not built at all (the callback drops it), only noted.
    bool tooDeep = false;
    const auto depth = [&](int level, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if ((event == nlohmann::json::parse_event_t::object_start ||
             event == nlohmann::json::parse_event_t::array_start) &&
            static_cast<size_t>(level) >= bounds_.maxDepth) {
            tooDeep = true;
        }
        return !tooDeep;
    };
    nlohmann::json response = nlohmann::json::parse(text, depth, false);
    if (tooDeep) {
        throw JsonRpcException(kParseError,
                               "response nested deeper than " + std::to_string(bounds_.maxDepth) + " levels");
    }
    if (response.is_discarded()) throw JsonRpcException(kParseError, "invalid JSON response from server", text);
    return response;
}

nlohmann::json JsonRpcClient::call(int64_t id, const std::string& name, const nlohmann::json& params) {
    if (!params.is_null() && !params.is_array() && !params.is_object()) {
        throw JsonRpcException(kInvalidParams, "invalid params: must be an array or an object");
    }
    const nlohmann::json response = parseResponse(connector_.Send(requestText(id, name, params)));
    if (!response.is_object()) invalidResponse("not an object");
    const auto version = response.find("jsonrpc");
    if (version == response.end() || *version != "2.0") invalidResponse("\"jsonrpc\" is not \"2.0\"");
    // An error answer may carry a null id (the server could not read ours).
    if (const auto error = response.find("error"); error != response.end()) throw serverError(*error);
    const auto answeredId = response.find("id");
    if (answeredId == response.end() || answeredId->is_null()) invalidResponse("no id");
    if (!answeredId->is_number_integer() || answeredId->get<int64_t>() != id) invalidResponse("id does not match");
    const auto result = response.find("result");
    if (result == response.end()) invalidResponse("neither result nor error");
    return *result;
}

}  // namespace jsonrpc
