#pragma once
// Payloads just beyond the inbound bounds (foundation/InboundPayload), each
// made from a good JSON object so that only the bound refuses it, with the
// reason the bound names; and the same object grown to just within them.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/InboundPayload.h"

namespace testsupport {

struct BadPayload {
    const char* name;
    std::string payload;
    std::string reason;  // the refusal text the road logs
};

// good (an object) with one member "pad" more: a string that brings the
// text to size bytes.
inline std::string paddedTo(nlohmann::json good, size_t size) {
    good["pad"] = "";
    const size_t base = good.dump().size();
    good["pad"] = std::string(size > base ? size - base : 0, 'x');
    return good.dump();
}

// good (an object) with one member "deep" more: arrays nested so that the
// text nests depth deep.
inline std::string nestedTo(nlohmann::json good, size_t depth) {
    good["deep"] = nullptr;
    const std::string nested = std::string(depth - 1, '[') + std::string(depth - 1, ']');
    std::string text = good.dump();
    const std::string marker = "\"deep\":null";
    text.replace(text.find(marker), marker.size(), "\"deep\":" + nested);
    return text;
}

// The good object's text, then a NUL byte and more (or nothing more).
inline std::vector<BadPayload> badPayloadsFor(const nlohmann::json& good) {
    const std::string text = good.dump();
    const size_t bytes = inbound::kMaxMessageBytes;
    const size_t depth = inbound::kMaxJsonDepth;
    const auto nulAt = [&](const std::string& tail) {
        return "NUL byte at offset " + std::to_string(text.size()) + " of a payload of " +
               std::to_string(text.size() + 1 + tail.size()) + " bytes";
    };
    return {
        {"tooBig", paddedTo(good, bytes + 1),
         "payload of " + std::to_string(bytes + 1) + " bytes exceeds the bound of " + std::to_string(bytes) +
             " bytes"},
        {"tooDeep", nestedTo(good, depth + 1), "nests deeper than " + std::to_string(depth) + " levels"},
        {"nulThenJunk", text + std::string(1, '\0') + "{junk", nulAt("{junk")},
        {"nulAtEnd", text + std::string(1, '\0'), nulAt("")},
    };
}

// The good object at both bounds at once: still accepted.
inline std::string atTheBounds(const nlohmann::json& good) {
    nlohmann::json deep = nlohmann::json::parse(nestedTo(good, inbound::kMaxJsonDepth));
    return paddedTo(deep, inbound::kMaxMessageBytes);
}

}  // namespace testsupport
