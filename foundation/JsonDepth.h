#pragma once
// Nesting bound for JSON text read from files and peers: a value nested
// deeply enough overflows the stack of a recursive parser (and of anything
// that walks the result), so every reader refuses such text before parsing.

#include <cstddef>
#include <string_view>

// True when arrays and objects in text nest deeper than limit. Brackets in
// strings do not count; text that is no valid JSON is measured all the same
// (the parser rejects it afterwards).
bool jsonNestsDeeperThan(std::string_view text, size_t limit);
