// libFuzzer target on what the home platform sends: the framing of JSON
// values out of the receive buffer, the checked stream (values as the
// response wait takes them, lines as the listener takes them) and the
// handling of notification lines. Every framing step must consume text, no
// checked value or line may hold a NUL byte, and nothing may crash or throw
// past the interface's own catch.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

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

    // The checked stream, fed in two parts.
    for (const bool lines : {false, true}) {
        nymeajson::CheckedStream stream(InternalInterfaceNymea::kLineBounds);
        const std::string_view whole(input);
        for (const std::string_view part : {whole.substr(0, whole.size() / 2), whole.substr(whole.size() / 2)}) {
            stream.append(part);
            for (;;) {
                const size_t before = stream.size();
                std::string text;
                std::string why;
                const auto step = lines ? stream.nextLine(text, why) : stream.nextValue(text, why);
                if (step == nymeajson::CheckedStream::Step::Incomplete) break;
                if (stream.size() >= before) std::abort();  // no progress
                if (step == nymeajson::CheckedStream::Step::Value || step == nymeajson::CheckedStream::Step::Line) {
                    if (text.find('\0') != std::string::npos) std::abort();  // a NUL got past the check
                    notification(text);
                }
            }
        }
    }

    for (size_t start = 0; start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        notification(input.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
