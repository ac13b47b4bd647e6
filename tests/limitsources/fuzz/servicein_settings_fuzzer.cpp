// libFuzzer target: the home platform's settings file as the relay interface
// reads it (INI dialect, keys, numbers with "@Variant(...)"), device lists
// and P_min.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>

#include "external/ServiceInSettings.h"
#include "foundation/Logging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        setSyslogSinkForTesting([](int, const std::string&) {});
        std::cout.setstate(std::ios::failbit);
        return true;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    uint32_t level = 0;
    const servicein::LogContext log{&level, false};
    const servicein::DeviceSettings settings = servicein::parseThings(servicein::parseSettingsText(text), log);
    servicein::calculatePmin(settings.things, 1, log);
    servicein::parseSettingsNumber(text);
    return 0;
}
