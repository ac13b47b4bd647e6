#pragma once
// Parsing a whole JSON text (string or stream) without letting the JSON
// library's exceptions out: a syntax error and a number beyond a double both
// give false with the parser's message.

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

template <typename Input>
bool parseJsonText(Input&& input, nlohmann::json& out, std::string& error) {
    try {
        out = nlohmann::json::parse(std::forward<Input>(input));
        return true;
    } catch (const nlohmann::json::exception& e) {
        error = e.what();
        return false;
    }
}
