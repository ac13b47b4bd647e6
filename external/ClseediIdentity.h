#pragma once
// Identities of the CLSEEDI gateway: its MQTT client id, derived from the
// host name the same way on 32-bit and 64-bit targets, and the random
// version-4 UUIDs of its replies.

#include <cstdint>
#include <string>
#include <string_view>

namespace clseedi {

inline constexpr const char* kClientIdPrefix = "Tavelmarck_CLSEEDI_Client_";

// MurmurHash64A over the bytes (read little-endian, eight at a time), the
// 64-bit string hash of the GNU C++ library with its seed 0xc70f6907, written
// out so that the result does not depend on the width of size_t.
uint64_t hostNameHash(std::string_view bytes);

// The prefix followed by the host name; when that is longer than 40
// characters, the prefix followed by the first 16 digits of the decimal hash.
std::string clientIdFor(const std::string& hostName);

// A fresh random UUID of version 4 (RFC 4122 variant) in lower-case canonical
// form; the bytes come from getrandom. Throws std::system_error when the
// random source fails.
std::string randomUuidV4();

}  // namespace clseedi
