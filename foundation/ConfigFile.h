#pragma once
// The line format of the text configuration files (IECServer.conf,
// JSONRPC.conf): key up to the first "=", value the rest, both trimmed of
// blanks and tabs only. Lines without "=" or with nothing after it are skipped.

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
// callers apply them in turn so the last one wins). nullopt when the file
// cannot be opened.
std::optional<std::vector<Entry>> readFile(const std::string& path);

std::string_view trimBlanks(std::string_view text);

}  // namespace config
