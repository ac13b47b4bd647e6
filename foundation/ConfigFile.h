#pragma once
// The line format of the text configuration files (IECServer.conf,
// JSONRPC.conf): key up to the first "=", value the rest, both trimmed of
// blanks, tabs and control characters (so a CR of a CRLF line end is no part
// of a value). Lines without "=" or with nothing after it are skipped.
// Also the one rule for a TCP port in the other configurations (JSONRPC.conf,
// the JSON files); the two ports of IECServer.conf take any int as written
// (server/ServerConfig.h).

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace config {

using Entry = std::pair<std::string, std::string>;

// Parses one line; nullopt when the line carries no entry.
std::optional<Entry> parseLine(std::string_view line);

// All entries of the file in file order (a repeated key appears each time;
// callers apply them in turn so the last one wins). A UTF-8 byte-order mark
// at the start of the file is skipped (elsewhere it stays). nullopt when the file
// cannot be read: it is missing, or it is refused by the file reader
// (foundation/FileRead.h: no regular file, too large, a NUL byte); refusal
// then says why (empty for a missing file) for the caller's log line.
std::optional<std::vector<Entry>> readFile(const std::string& path, std::string* refusal = nullptr);

// Strips blanks, tabs and control characters (below 0x20, and 0x7f) at both ends.
std::string_view trimBlanks(std::string_view text);

// TCP ports: 1..65535, nothing else.
inline constexpr int kLowestPort = 1;
inline constexpr int kHighestPort = 65535;

bool isTcpPort(long long value);
// A port written as text: decimal digits only (no sign, no blanks, no
// fraction), of a value in 1..65535.
std::optional<int> parsePort(std::string_view text);
// A port given as a number (a JSON value): whole and in 1..65535.
std::optional<int> portFromNumber(double value);

}  // namespace config
