#include "foundation/InboundPayload.h"

#include "foundation/JsonDepth.h"

namespace inbound {

namespace {

std::optional<std::string> depthRefusal(std::string_view text, size_t maxDepth) {
    if (maxDepth > 0 && jsonNestsDeeperThan(text, maxDepth)) {
        return "nests deeper than " + std::to_string(maxDepth) + " levels";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> sizeRefusal(size_t length, size_t maxBytes) {
    if (length <= maxBytes) return std::nullopt;
    return "payload of " + std::to_string(length) + " bytes exceeds the bound of " + std::to_string(maxBytes) +
           " bytes";
}

std::optional<std::string> refusal(std::string_view payload, const Bounds& bounds) {
    if (auto tooBig = sizeRefusal(payload.size(), bounds.maxBytes)) return tooBig;
    if (const size_t nul = payload.find('\0'); nul != std::string_view::npos) {
        return "NUL byte at offset " + std::to_string(nul) + " of a payload of " + std::to_string(payload.size()) +
               " bytes";
    }
    return depthRefusal(payload, bounds.maxDepth);
}

std::optional<std::string> refusalUpToNul(std::string_view payload, std::string_view& text, const Bounds& bounds) {
    text = {};
    if (auto tooBig = sizeRefusal(payload.size(), bounds.maxBytes)) return tooBig;
    text = payload.substr(0, payload.find('\0'));
    return depthRefusal(text, bounds.maxDepth);
}

}  // namespace inbound
