// libFuzzer target: the inbound MQTT messages of the internal interface and
// the UMeadow gateway. The first byte picks the reader, the rest is the
// payload (and, for the topic reader, the topic).
#include <cstddef>
#include <cstdint>
#include <string>

#include "external/UMeadowMessages.h"
#include "internal/InternalMqttMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string error;
    bool parseError = false;
    switch (data[0] % 4) {
        case 0:
            parseTotwMessage(rest, error, parseError);
            break;
        case 1:
            classifyInternalTopic(rest);
            break;
        case 2:
            parseUMeadowMessage("lpc/set/value", rest.data(), static_cast<int>(rest.size()));
            break;
        default:
            parseUMeadowMessage("lpc/set/on", rest.data(), static_cast<int>(rest.size()));
            break;
    }
    return 0;
}
