#include "external/ClseediIdentity.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <system_error>

namespace clseedi {

namespace {

constexpr uint64_t kMul = 0xc6a4a7935bd1e995ULL;
constexpr uint64_t kSeed = 0xc70f6907ULL;

constexpr uint64_t shiftMix(uint64_t v) { return v ^ (v >> 47); }

// n (1..8) bytes as a little-endian number.
uint64_t loadLittleEndian(const unsigned char* p, size_t n) {
    uint64_t value = 0;
    for (size_t i = n; i-- > 0;) value = (value << 8) | p[i];
    return value;
}

}  // namespace

uint64_t hostNameHash(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t len = bytes.size();
    const size_t aligned = len & ~static_cast<size_t>(7);
    uint64_t hash = kSeed ^ (static_cast<uint64_t>(len) * kMul);
    for (size_t i = 0; i < aligned; i += 8) {
        hash ^= shiftMix(loadLittleEndian(data + i, 8) * kMul) * kMul;
        hash *= kMul;
    }
    if ((len & 7) != 0) {
        hash ^= loadLittleEndian(data + aligned, len & 7);
        hash *= kMul;
    }
    hash = shiftMix(hash) * kMul;
    return shiftMix(hash);
}

std::string clientIdFor(const std::string& hostName) {
    std::string id = kClientIdPrefix + hostName;
    if (id.size() > 40) id = kClientIdPrefix + std::to_string(hostNameHash(hostName)).substr(0, 16);
    return id;
}

std::string randomUuidV4() {
    unsigned char bytes[16];
    size_t filled = 0;
    while (filled < sizeof(bytes)) {
        ssize_t n = getrandom(bytes + filled, sizeof(bytes) - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < sizeof(bytes); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0f]);
    }
    return text;
}

}  // namespace clseedi
