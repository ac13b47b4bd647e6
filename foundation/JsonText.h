#pragma once
// Checks on JSON text received from peers, before it is parsed.

#include <cstddef>
#include <string_view>

namespace jsontext {

// True when arrays and objects in text nest deeper than limit (brackets
// inside strings do not count). Copying and dumping a parsed document recurse
// once per level, so received text is checked before it is parsed.
bool nestsDeeperThan(std::string_view text, size_t limit);

}  // namespace jsontext
