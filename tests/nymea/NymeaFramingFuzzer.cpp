// libFuzzer target on what the home platform sends: the framing of JSON
// values out of the receive buffer (as the response wait takes them) and
// the handling of notification lines (as the listener takes them). Every
// framing step must consume text, and nothing may crash or throw past the
// interface's own catch.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "foundation/JsonDepth.h"
#include "internal/InternalInterfaceNymea.h"

namespace {

void notification(const std::string& line) {
    try {
        (void)nymeajson::sourcesOfNotification(line, InternalInterfaceNymea::kMaxJsonDepth);
    } catch (const std::exception&) {
        // dropped with a log line by the interface
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::string buffer = input;
    std::string valueText;
    while (!buffer.empty()) {
        const size_t before = buffer.size();
        const nymeajson::FrameStatus status = nymeajson::takeValue(buffer, valueText);
        if (status == nymeajson::FrameStatus::Incomplete) break;
        if (buffer.size() >= before) std::abort();  // no progress: the wait would spin
        if (status == nymeajson::FrameStatus::Dropped) continue;
        if (valueText.empty()) std::abort();
        if (jsonNestsDeeperThan(valueText, InternalInterfaceNymea::kMaxJsonDepth)) continue;
        const nlohmann::json message = nlohmann::json::parse(valueText, nullptr, false);
        if (!message.is_discarded() && message.is_object()) notification(valueText);
    }

    for (size_t start = 0; start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        notification(input.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
