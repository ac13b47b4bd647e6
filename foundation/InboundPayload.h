#pragma once
// Bounds of a payload received from a peer (an MQTT message, an answer of a
// server), checked before anything copies or parses it: its size, NUL bytes
// and, for JSON, the nesting of arrays and objects. Every inbound road uses
// these checks and logs the refusal in the line it logs for bad input, with
// the reason text made here.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace inbound {

// A control or measurement message is a few hundred bytes; the largest
// message a peer sends is a day-ahead price list, about 10 KB for two days
// of quarter hours. 64 KiB leaves room for six times that and keeps what one
// message costs to parse (and to hold parsed) small.
inline constexpr size_t kMaxMessageBytes = 64 * 1024;
// Deeper than any message of a peer; the recursive walks over parsed values
// stay far from the end of a thread's stack.
inline constexpr size_t kMaxJsonDepth = 64;

struct Bounds {
    size_t maxBytes = kMaxMessageBytes;
    // 0: the payload is plain text; its brackets are not counted.
    size_t maxDepth = kMaxJsonDepth;
};

// Why the payload is refused, or nullopt when it may be parsed. The texts:
//   "payload of N bytes exceeds the bound of M bytes"
//   "NUL byte at offset N of a payload of M bytes"
//   "nests deeper than N levels"
// A NUL byte is refused anywhere: JSON has none outside escapes, and on
// these roads (CLSEEDI, the internal MQTT interface, the home platform's
// stream, JSON files) a payload is read whole, never up to its first NUL.
std::optional<std::string> refusal(std::string_view payload, const Bounds& bounds = {});

// The roads whose peer sends a C string, read up to its first NUL byte (the
// MoreVale and UMeadow gateways): text
// becomes the payload up to, not including, its first NUL byte (all of it
// when it holds none); the NUL and whatever follows it are not looked at.
// Why the payload is refused, or nullopt: the size bound applies to the
// payload as received (so nothing oversized is copied or scanned), the
// nesting bound to text. A NUL byte is no refusal here; a NUL inside a JSON
// text cuts it short, and the parser refuses what is left.
std::optional<std::string> refusalUpToNul(std::string_view payload, std::string_view& text,
                                          const Bounds& bounds = {});

// The size check alone, for a caller that knows the length before it copies.
std::optional<std::string> sizeRefusal(size_t length, size_t maxBytes = kMaxMessageBytes);

}  // namespace inbound
