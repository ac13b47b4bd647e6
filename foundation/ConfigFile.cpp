#include "foundation/ConfigFile.h"

#include <cmath>

#include "foundation/FileRead.h"

namespace config {

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool isTrimmed(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == ' ' || byte < 0x20 || byte == 0x7f;
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
    size_t first = 0;
    while (first < text.size() && isTrimmed(text[first])) ++first;
    size_t end = text.size();
    while (end > first && isTrimmed(text[end - 1])) --end;
    return text.substr(first, end - first);
}

std::optional<Entry> parseLine(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos || eq + 1 == line.size()) {
        return std::nullopt;
    }
    return Entry{std::string(trimBlanks(line.substr(0, eq))), std::string(trimBlanks(line.substr(eq + 1)))};
}

std::optional<std::vector<Entry>> readFile(const std::string& path, std::string* refusal) {
    if (refusal) refusal->clear();
    fileread::FileText file = fileread::readTextFile(path);
    if (!file.read()) {
        if (refusal && file.outcome == fileread::Outcome::kRefused) *refusal = std::move(file.reason);
        return std::nullopt;
    }
    std::vector<Entry> entries;
    std::string_view rest(file.content);
    // A UTF-8 byte-order mark (as some editors write) belongs to no key.
    if (rest.starts_with(kUtf8ByteOrderMark)) rest.remove_prefix(kUtf8ByteOrderMark.size());
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (auto entry = parseLine(line)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

bool isTcpPort(long long value) { return value >= kLowestPort && value <= kHighestPort; }

std::optional<int> parsePort(std::string_view text) {
    // More than five digits is out of range whatever they say.
    if (text.empty() || text.size() > 5) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (!isTcpPort(value)) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<int> portFromNumber(double value) {
    if (!std::isfinite(value) || value != std::trunc(value)) return std::nullopt;
    if (value < kLowestPort || value > kHighestPort) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace config
