#pragma once
// The settings of "IECServer.conf" and the rules that read them.

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/ConfigFile.h"

struct ServerConfig {
    int iec61850TcpPort = 0;
    int nymeaTcpPort = 0;
    bool activateExternMqttClseedi = false;
    bool activateExternMqttMoreVale = false;
    bool activateInternDbus = false;
    bool activateInternJsonrpc = false;
};

// A start-up that cannot go on; main reports it and ends with exitCode.
class StartupError : public std::runtime_error {
public:
    explicit StartupError(const std::string& message, int exitCode = 1)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// Leading white space, an optional sign, decimal digits; the rest is ignored.
// nullopt when there are no digits or the value does not fit an int.
std::optional<int> parseDecimalInt(std::string_view text);

// Applies the entries in file order (the last of a repeated key wins) and
// writes each entry's echo line to echo. A port that is no decimal int throws
// StartupError; any other port is taken as written (-5 gives -5, 70000 gives
// 70000), and its echo line shows it.
void applyServerConfig(ServerConfig& config, const std::vector<config::Entry>& entries, std::ostream& echo);
