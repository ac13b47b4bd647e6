#pragma once
// Parsing a whole JSON text (string or stream) without letting the JSON
// library's exceptions out: a syntax error and a number beyond a double both
// give false with the parser's message. The file entry reads through the one
// file reader (foundation/FileRead.h) and bounds size and nesting before the
// parser, or anything that walks the result recursively, sees the text.

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/ConfigFile.h"
#include "foundation/FileRead.h"
#include "foundation/InboundPayload.h"

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

// Nesting bound of the JSON configuration files and reply templates; ours
// nest up to six levels.
inline constexpr size_t kMaxJsonFileDepth = 32;

struct JsonFileOptions {
    size_t maxBytes = fileread::kMaxConfigBytes;
    size_t maxDepth = kMaxJsonFileDepth;
    bool allowComments = false;
};

struct JsonFile {
    enum class Outcome {
        kParsed,   // value holds the document
        kMissing,  // no such file
        kRefused,  // not read: no regular file, too large, a read error
        kInvalid,  // read, but no JSON within the bounds (syntax, nesting)
    };
    Outcome outcome = Outcome::kMissing;
    nlohmann::json value;
    std::string reason;  // without the path: "is not a regular file", the parser's message, ...

    bool parsed() const { return outcome == Outcome::kParsed; }
};

// Parses text as JSON after checking its nesting; a text nested deeper than
// maxDepth throws nlohmann::json::parse_error like a syntax error does. So
// does a NUL byte, where the parser would take the text for ended.
// The checks are those of every inbound payload (foundation/InboundPayload.h);
// the size was bounded where the text was read.
inline nlohmann::json parseJsonTextWithin(std::string_view text, size_t maxDepth, bool allowComments = false) {
    if (auto why = inbound::refusal(text, {std::numeric_limits<size_t>::max(), maxDepth})) {
        throw nlohmann::json::parse_error::create(101, 0, *why, nullptr);
    }
    return nlohmann::json::parse(text, nullptr, true, allowComments);
}

// As parseJsonTextWithin, without exceptions: false with error saying why.
inline bool parseJsonTextBounded(std::string_view text, size_t maxDepth, nlohmann::json& out, std::string& error,
                                 bool allowComments = false) {
    try {
        out = parseJsonTextWithin(text, maxDepth, allowComments);
        return true;
    } catch (const nlohmann::json::exception& e) {
        error = e.what();
        return false;
    }
}

inline JsonFile readJsonFile(const std::string& path, const JsonFileOptions& options = {}) {
    JsonFile result;
    // The parser takes a NUL byte for the end of the text; JSON has none outside escapes.
    fileread::FileText file = fileread::readTextFile(path, options.maxBytes);
    if (!file.read()) {
        result.outcome = file.outcome == fileread::Outcome::kMissing ? JsonFile::Outcome::kMissing
                                                                       : JsonFile::Outcome::kRefused;
        result.reason = std::move(file.reason);
        return result;
    }
    if (!parseJsonTextBounded(file.content, options.maxDepth, result.value, result.reason, options.allowComments)) {
        result.outcome = JsonFile::Outcome::kInvalid;
        result.value = nullptr;
        return result;
    }
    result.outcome = JsonFile::Outcome::kParsed;
    return result;
}

// True when arrays and objects in the value nest deeper than limit. Walks
// without recursion, so it is safe on any value; used before a recursive
// step (dump, copy) on a value whose origin does not bound it.
inline bool jsonValueNestsDeeperThan(const nlohmann::json& value, size_t limit) {
    std::vector<std::pair<const nlohmann::json*, size_t>> pending{{&value, 0}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) continue;
        if (depth + 1 > limit) return true;
        for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
    }
    return false;
}

// A TCP port given as a JSON number (the one port rule of config::parsePort):
// a whole number in 1..65535. A fraction, a boolean, a string or a number
// out of range gives nullopt.
inline std::optional<int> portFromJson(const nlohmann::json& value) {
    if (value.is_number_unsigned()) return config::portFromNumber(static_cast<double>(value.get<uint64_t>()));
    if (value.is_number_integer()) return config::portFromNumber(static_cast<double>(value.get<int64_t>()));
    if (value.is_number_float()) return config::portFromNumber(value.get<double>());
    return std::nullopt;
}
