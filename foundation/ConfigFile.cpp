#include "foundation/ConfigFile.h"

#include <fstream>

namespace config {

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::optional<Entry> parseLine(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos || eq + 1 == line.size()) {
        return std::nullopt;
    }
    return Entry{std::string(trimBlanks(line.substr(0, eq))), std::string(trimBlanks(line.substr(eq + 1)))};
}

std::optional<std::vector<Entry>> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        return std::nullopt;
    }
    std::vector<Entry> entries;
    std::string line;
    while (std::getline(in, line)) {
        if (auto entry = parseLine(line)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

}  // namespace config
