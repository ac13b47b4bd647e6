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
#include <iostream>
#include <sstream>
#include <string>

#include "foundation/ConfigFile.h"
#include "foundation/Logging.h"
#include "server/ServerConfig.h"

namespace {

const std::string& configPath() {
    static const std::string path = [] {
        const std::filesystem::path base =
            std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::string pattern = (base / "config-fuzz.XXXXXX").string();
        return std::string(::mkdtemp(pattern.data())) + "/IECServer.conf";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Unknown names are reported on standard error; keep that out of the run.
    static std::ostringstream sink;
    static const bool quiet = [] {
        setSyslogSinkForTesting([](int, const std::string&) {});
        std::cerr.rdbuf(sink.rdbuf());
        return true;
    }();
    (void)quiet;
    sink.str("");
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::ofstream(configPath(), std::ios::binary | std::ios::trunc) << text;
    const auto entries = config::readFile(configPath());
    // The file is there and readable; only a NUL byte refuses it as a whole.
    if (!entries) {
        if (text.find('\0') == std::string::npos) std::abort();
        return 0;
    }
    for (const auto& [key, value] : *entries) {
        // Keys and values come trimmed of blanks and tabs.
        if (key != config::trimBlanks(key) || value != config::trimBlanks(value)) std::abort();
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
