// libFuzzer target on configuration text: "IECServer.conf" as the daemon
// reads it (file, lines, key and value) and the rules that apply its values,
// the log-level names included. A value that stops the start-up throws
// StartupError; anything else must be taken or refused with a message.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/ConfigFile.h"
#include "foundation/Logging.h"
#include "server/ServerConfig.h"

namespace {

const std::string& configPath() {
    static const std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "config-fuzz.XXXXXX").string();
        return std::string(::mkdtemp(pattern.data())) + "/IECServer.conf";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        setSyslogSinkForTesting([](int, const std::string&) {});
        return true;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::ofstream(configPath(), std::ios::binary | std::ios::trunc) << text;
    const auto entries = config::readFile(configPath());
    if (!entries) std::abort();  // the file is there and readable
    for (const auto& [key, value] : *entries) {
        // Lines with nothing after "=" carry no entry.
        if (value.empty()) std::abort();
        uint32_t level = 5;
        parseLogLevel(&level, value);
        (void)parseDecimalInt(value);
    }
    ServerConfig serverConfig;
    std::ostringstream echo;
    try {
        applyServerConfig(serverConfig, *entries, echo);
    } catch (const StartupError&) {
        // a port that is no number ends the start-up
    }
    return 0;
}
