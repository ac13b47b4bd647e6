// MMS data values: a type tag plus a compact payload. Structures and arrays
// own their elements; every other payload is held by value.
#include "iec61850/mms_value.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr int kUtcTimeBytes = 8;
constexpr int kUtcSecondsBytes = 4;
constexpr int kUtcFractionBytes = 3;
constexpr int kUtcQualityIndex = 7;
constexpr uint64_t kFractionScale = uint64_t{1} << 24;  // units of 2^-24 s
constexpr uint64_t kMsPerSecond = 1000;
constexpr int kBinaryTimeFullBytes = 6;
constexpr int kBinaryTimeOfDayBytes = 4;

struct BitString {
    int bitSize = 0;
    std::vector<uint8_t> bytes;  // wire order, bit 0 is the MSB of byte 0
    bool operator==(const BitString&) const = default;
};

struct OctetString {
    int maxSize = 0;  // 0: unbounded
    std::vector<uint8_t> bytes;
    bool operator==(const OctetString&) const = default;
};

struct VisibleString {
    int maxSize = 0;  // 0: unbounded
    std::string text;
    bool operator==(const VisibleString&) const = default;
};

struct BinaryTime {
    uint8_t size = kBinaryTimeFullBytes;
    std::array<uint8_t, kBinaryTimeFullBytes> bytes{};
    bool operator==(const BinaryTime&) const = default;
};

using UtcTime = std::array<uint8_t, kUtcTimeBytes>;
using Elements = std::vector<MmsValue*>;

using Payload = std::variant<bool, int64_t, uint64_t, double, VisibleString, OctetString, BitString, UtcTime,
                             BinaryTime, Elements, MmsDataAccessError>;

}  // namespace

struct MmsValue {
    MmsType type;
    // Integers and unsigned: width in bytes (0: unbounded 64 bits).
    // Floats: 4 for single precision, 8 for double.
    uint8_t width = 0;
    Payload payload;

    MmsValue(MmsType t, Payload p, uint8_t w = 0) : type(t), width(w), payload(std::move(p)) {}
    MmsValue(const MmsValue&) = delete;
    MmsValue& operator=(const MmsValue&) = delete;
    ~MmsValue() {
        if (auto* elements = std::get_if<Elements>(&payload)) {
            for (MmsValue* element : *elements) delete element;
        }
    }

    template <typename T>
    T* as() {
        return std::get_if<T>(&payload);
    }
    template <typename T>
    const T* as() const {
        return std::get_if<T>(&payload);
    }
};

namespace {

bool isString(MmsType type) { return type == MMS_VISIBLE_STRING || type == MMS_STRING; }
bool isCollection(MmsType type) { return type == MMS_STRUCTURE || type == MMS_ARRAY; }

int bytesForBits(int bits) { return (bits + 7) / 8; }

// Whether an integer fits a signed field of the given width (0: any).
bool fitsSigned(int64_t value, int width) {
    if (width <= 0 || width >= 8) return true;
    const int64_t limit = int64_t{1} << (width * 8 - 1);
    return value >= -limit && value < limit;
}

bool fitsUnsigned(uint64_t value, int width) {
    if (width <= 0 || width >= 8) return true;
    return value < (uint64_t{1} << (width * 8));
}

MmsValue* newCollection(MmsType type, int size) {
    Elements elements(static_cast<size_t>(std::max(size, 0)), nullptr);
    return new MmsValue(type, std::move(elements));
}

// Checks every rule of MmsValue_update without changing anything.
bool canUpdate(const MmsValue* self, const MmsValue* source) {
    if (self->type != source->type) return false;
    switch (self->type) {
        case MMS_INTEGER:
            return fitsSigned(*source->as<int64_t>(), self->width);
        case MMS_UNSIGNED:
            return fitsUnsigned(*source->as<uint64_t>(), self->width);
        case MMS_VISIBLE_STRING:
        case MMS_STRING: {
            const auto& target = *self->as<VisibleString>();
            return target.maxSize == 0 ||
                   source->as<VisibleString>()->text.size() <= static_cast<size_t>(target.maxSize);
        }
        case MMS_OCTET_STRING: {
            const auto& target = *self->as<OctetString>();
            return target.maxSize == 0 ||
                   source->as<OctetString>()->bytes.size() <= static_cast<size_t>(target.maxSize);
        }
        case MMS_BIT_STRING:
            return self->as<BitString>()->bitSize == source->as<BitString>()->bitSize;
        case MMS_BINARY_TIME:
            return self->as<BinaryTime>()->size == source->as<BinaryTime>()->size;
        case MMS_STRUCTURE:
        case MMS_ARRAY: {
            const auto& mine = *self->as<Elements>();
            const auto& theirs = *source->as<Elements>();
            if (mine.size() != theirs.size()) return false;
            for (size_t i = 0; i < mine.size(); ++i) {
                if (mine[i] == nullptr || theirs[i] == nullptr) {
                    if (mine[i] != theirs[i]) return false;
                    continue;
                }
                if (!canUpdate(mine[i], theirs[i])) return false;
            }
            return true;
        }
        default:
            return self->payload.index() == source->payload.index();
    }
}

// Copies content once canUpdate agreed; keeps the target's bounds and width.
void applyUpdate(MmsValue* self, const MmsValue* source) {
    switch (self->type) {
        case MMS_FLOAT: {
            double value = *source->as<double>();
            if (self->width == 4) value = static_cast<float>(value);
            self->payload = value;
            break;
        }
        case MMS_VISIBLE_STRING:
        case MMS_STRING:
            self->as<VisibleString>()->text = source->as<VisibleString>()->text;
            break;
        case MMS_OCTET_STRING:
            self->as<OctetString>()->bytes = source->as<OctetString>()->bytes;
            break;
        case MMS_STRUCTURE:
        case MMS_ARRAY: {
            auto& mine = *self->as<Elements>();
            const auto& theirs = *source->as<Elements>();
            for (size_t i = 0; i < mine.size(); ++i) {
                if (mine[i] != nullptr) applyUpdate(mine[i], theirs[i]);
            }
            break;
        }
        default:
            self->payload = source->payload;
            break;
    }
}

bool elementsEqual(const Elements& a, const Elements& b, bool typesOnly) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == nullptr || b[i] == nullptr) {
            if (a[i] != b[i]) return false;
            continue;
        }
        if (typesOnly ? !MmsValue_equalTypes(a[i], b[i]) : !MmsValue_equals(a[i], b[i])) return false;
    }
    return true;
}

uint8_t* utcBytes(MmsValue* self) {
    if (self == nullptr || self->type != MMS_UTC_TIME) return nullptr;
    return self->as<UtcTime>()->data();
}

const uint8_t* utcBytes(const MmsValue* self) {
    if (self == nullptr || self->type != MMS_UTC_TIME) return nullptr;
    return self->as<UtcTime>()->data();
}

uint32_t utcSeconds(const uint8_t* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

uint32_t utcFraction(const uint8_t* b) { return (uint32_t{b[4]} << 16) | (uint32_t{b[5]} << 8) | uint32_t{b[6]}; }

}  // namespace

// --- Constructors ----------------------------------------------------------

MmsValue* MmsValue_newBoolean(bool value) { return new MmsValue(MMS_BOOLEAN, value); }

MmsValue* MmsValue_newIntegerFromInt32(int32_t value) { return new MmsValue(MMS_INTEGER, int64_t{value}, 4); }

MmsValue* MmsValue_newIntegerFromInt64(int64_t value) { return new MmsValue(MMS_INTEGER, value, 8); }

MmsValue* MmsValue_newUnsignedFromUint32(uint32_t value) { return new MmsValue(MMS_UNSIGNED, uint64_t{value}, 4); }

MmsValue* MmsValue_newIntegerWithWidth(int widthBytes) {
    return new MmsValue(MMS_INTEGER, int64_t{0}, static_cast<uint8_t>(std::clamp(widthBytes, 0, 8)));
}

MmsValue* MmsValue_newUnsignedWithWidth(int widthBytes) {
    return new MmsValue(MMS_UNSIGNED, uint64_t{0}, static_cast<uint8_t>(std::clamp(widthBytes, 0, 8)));
}

MmsValue* MmsValue_newFloat(float value) { return new MmsValue(MMS_FLOAT, double{value}, 4); }

MmsValue* MmsValue_newDouble(double value) { return new MmsValue(MMS_FLOAT, value, 8); }

MmsValue* MmsValue_newVisibleString(const char* text) {
    return new MmsValue(MMS_VISIBLE_STRING, VisibleString{0, text ? std::string(text) : std::string()});
}

MmsValue* MmsValue_newVisibleStringWithSize(int maxSize) {
    return new MmsValue(MMS_VISIBLE_STRING, VisibleString{std::max(maxSize, 0), std::string()});
}

MmsValue* MmsValue_newOctetString(int size, int maxSize) {
    const int bound = std::max(maxSize, 0);
    int length = std::max(size, 0);
    if (bound > 0) length = std::min(length, bound);
    return new MmsValue(MMS_OCTET_STRING, OctetString{bound, std::vector<uint8_t>(static_cast<size_t>(length), 0)});
}

MmsValue* MmsValue_newBitString(int bitSize) {
    const int bits = std::max(bitSize, 0);
    return new MmsValue(MMS_BIT_STRING, BitString{bits, std::vector<uint8_t>(static_cast<size_t>(bytesForBits(bits)), 0)});
}

MmsValue* MmsValue_newUtcTime(uint32_t secondsSinceEpoch) {
    MmsValue* value = new MmsValue(MMS_UTC_TIME, UtcTime{});
    uint8_t* b = utcBytes(value);
    b[0] = static_cast<uint8_t>(secondsSinceEpoch >> 24);
    b[1] = static_cast<uint8_t>(secondsSinceEpoch >> 16);
    b[2] = static_cast<uint8_t>(secondsSinceEpoch >> 8);
    b[3] = static_cast<uint8_t>(secondsSinceEpoch);
    return value;
}

MmsValue* MmsValue_newUtcTimeByMsTime(uint64_t msSinceEpoch) {
    MmsValue* value = new MmsValue(MMS_UTC_TIME, UtcTime{});
    MmsValue_setUtcTimeMs(value, msSinceEpoch);
    return value;
}

MmsValue* MmsValue_newBinaryTime(bool timeOfDay) {
    BinaryTime time;
    time.size = timeOfDay ? kBinaryTimeOfDayBytes : kBinaryTimeFullBytes;
    return new MmsValue(MMS_BINARY_TIME, time);
}

MmsValue* MmsValue_createEmptyStructure(int size) { return newCollection(MMS_STRUCTURE, size); }

MmsValue* MmsValue_createEmptyArray(int size) { return newCollection(MMS_ARRAY, size); }

MmsValue* MmsValue_newDataAccessError(MmsDataAccessError error) {
    return new MmsValue(MMS_DATA_ACCESS_ERROR, error);
}

MmsValue* MmsValue_clone(const MmsValue* self) {
    if (self == nullptr) return nullptr;
    if (const auto* elements = self->as<Elements>()) {
        MmsValue* copy = newCollection(self->type, static_cast<int>(elements->size()));
        auto& target = *copy->as<Elements>();
        for (size_t i = 0; i < elements->size(); ++i) target[i] = MmsValue_clone((*elements)[i]);
        return copy;
    }
    return new MmsValue(self->type, self->payload, self->width);
}

void MmsValue_delete(MmsValue* self) { delete self; }

// --- Type and comparison -----------------------------------------------------

MmsType MmsValue_getType(const MmsValue* self) { return self ? self->type : MMS_DATA_ACCESS_ERROR; }

const char* MmsValue_getTypeString(const MmsValue* self) {
    if (self == nullptr) return "MMS_DATA_ACCESS_ERROR";
    switch (self->type) {
        case MMS_ARRAY: return "MMS_ARRAY";
        case MMS_STRUCTURE: return "MMS_STRUCTURE";
        case MMS_BOOLEAN: return "MMS_BOOLEAN";
        case MMS_BIT_STRING: return "MMS_BIT_STRING";
        case MMS_INTEGER: return "MMS_INTEGER";
        case MMS_UNSIGNED: return "MMS_UNSIGNED";
        case MMS_FLOAT: return "MMS_FLOAT";
        case MMS_OCTET_STRING: return "MMS_OCTET_STRING";
        case MMS_VISIBLE_STRING: return "MMS_VISIBLE_STRING";
        case MMS_GENERALIZED_TIME: return "MMS_GENERALIZED_TIME";
        case MMS_BINARY_TIME: return "MMS_BINARY_TIME";
        case MMS_BCD: return "MMS_BCD";
        case MMS_OBJ_ID: return "MMS_OBJ_ID";
        case MMS_STRING: return "MMS_STRING";
        case MMS_UTC_TIME: return "MMS_UTC_TIME";
        case MMS_DATA_ACCESS_ERROR: return "MMS_DATA_ACCESS_ERROR";
    }
    return "MMS_DATA_ACCESS_ERROR";
}

bool MmsValue_equals(const MmsValue* a, const MmsValue* b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->type != b->type) return false;
    switch (a->type) {
        case MMS_STRUCTURE:
        case MMS_ARRAY:
            return elementsEqual(*a->as<Elements>(), *b->as<Elements>(), false);
        case MMS_FLOAT: {
            const double x = *a->as<double>();
            const double y = *b->as<double>();
            // Two NaNs count as the same value, so an unchanged NaN is no change.
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case MMS_VISIBLE_STRING:
        case MMS_STRING:
            return a->as<VisibleString>()->text == b->as<VisibleString>()->text;
        case MMS_OCTET_STRING:
            return a->as<OctetString>()->bytes == b->as<OctetString>()->bytes;
        case MMS_BIT_STRING:
            return a->as<BitString>()->bitSize == b->as<BitString>()->bitSize &&
                   a->as<BitString>()->bytes == b->as<BitString>()->bytes;
        case MMS_BINARY_TIME: {
            const auto& x = *a->as<BinaryTime>();
            const auto& y = *b->as<BinaryTime>();
            return x.size == y.size && std::equal(x.bytes.begin(), x.bytes.begin() + x.size, y.bytes.begin());
        }
        default:
            return a->payload == b->payload;
    }
}

bool MmsValue_equalTypes(const MmsValue* a, const MmsValue* b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->type != b->type) return false;
    if (isCollection(a->type)) return elementsEqual(*a->as<Elements>(), *b->as<Elements>(), true);
    return true;
}

bool MmsValue_update(MmsValue* self, const MmsValue* source) {
    if (self == nullptr || source == nullptr) return false;
    if (self == source) return true;
    if (!canUpdate(self, source)) return false;
    applyUpdate(self, source);
    return true;
}

// --- Scalars ----------------------------------------------------------------

bool MmsValue_getBoolean(const MmsValue* self) {
    const bool* value = self ? self->as<bool>() : nullptr;
    return value ? *value : false;
}

void MmsValue_setBoolean(MmsValue* self, bool value) {
    if (self != nullptr && self->type == MMS_BOOLEAN) self->payload = value;
}

int64_t MmsValue_toInt64(const MmsValue* self) {
    if (self == nullptr) return 0;
    if (const auto* value = self->as<int64_t>()) return *value;
    if (const auto* value = self->as<uint64_t>()) return static_cast<int64_t>(*value);
    return 0;
}

int32_t MmsValue_toInt32(const MmsValue* self) { return static_cast<int32_t>(MmsValue_toInt64(self)); }

uint32_t MmsValue_toUint32(const MmsValue* self) {
    if (self == nullptr) return 0;
    if (const auto* value = self->as<uint64_t>()) return static_cast<uint32_t>(*value);
    if (const auto* value = self->as<int64_t>()) return static_cast<uint32_t>(*value);
    return 0;
}

void MmsValue_setInt32(MmsValue* self, int32_t value) { MmsValue_setInt64(self, value); }

void MmsValue_setInt64(MmsValue* self, int64_t value) {
    if (self != nullptr && self->type == MMS_INTEGER) self->payload = value;
}

void MmsValue_setUint32(MmsValue* self, uint32_t value) {
    if (self != nullptr && self->type == MMS_UNSIGNED) self->payload = uint64_t{value};
}

float MmsValue_toFloat(const MmsValue* self) { return static_cast<float>(MmsValue_toDouble(self)); }

double MmsValue_toDouble(const MmsValue* self) {
    const double* value = (self && self->type == MMS_FLOAT) ? self->as<double>() : nullptr;
    return value ? *value : 0.0;
}

void MmsValue_setFloat(MmsValue* self, float value) { MmsValue_setDouble(self, value); }

void MmsValue_setDouble(MmsValue* self, double value) {
    if (self == nullptr || self->type != MMS_FLOAT) return;
    self->payload = self->width == 4 ? static_cast<double>(static_cast<float>(value)) : value;
}

int MmsValue_getSizeInBytes(const MmsValue* self) {
    if (self == nullptr) return 0;
    if (self->type == MMS_INTEGER || self->type == MMS_UNSIGNED || self->type == MMS_FLOAT) return self->width;
    return 0;
}

// --- Strings ----------------------------------------------------------------

const char* MmsValue_toString(const MmsValue* self) {
    if (self == nullptr || !isString(self->type)) return nullptr;
    return self->as<VisibleString>()->text.c_str();
}

int MmsValue_getStringSize(const MmsValue* self) {
    if (self == nullptr || !isString(self->type)) return 0;
    return static_cast<int>(self->as<VisibleString>()->text.size());
}

int MmsValue_getStringMaxSize(const MmsValue* self) {
    if (self == nullptr || !isString(self->type)) return 0;
    return self->as<VisibleString>()->maxSize;
}

void MmsValue_setVisibleString(MmsValue* self, const char* text) {
    if (self == nullptr || !isString(self->type)) return;
    auto& target = *self->as<VisibleString>();
    target.text = text ? text : "";
    if (target.maxSize > 0 && target.text.size() > static_cast<size_t>(target.maxSize)) {
        target.text.resize(static_cast<size_t>(target.maxSize));
    }
}

// --- Octet strings -----------------------------------------------------------

int MmsValue_getOctetStringSize(const MmsValue* self) {
    const auto* octets = self ? self->as<OctetString>() : nullptr;
    return octets ? static_cast<int>(octets->bytes.size()) : 0;
}

int MmsValue_getOctetStringMaxSize(const MmsValue* self) {
    const auto* octets = self ? self->as<OctetString>() : nullptr;
    return octets ? octets->maxSize : 0;
}

const uint8_t* MmsValue_getOctetStringBuffer(const MmsValue* self) {
    const auto* octets = self ? self->as<OctetString>() : nullptr;
    return octets ? octets->bytes.data() : nullptr;
}

void MmsValue_setOctetString(MmsValue* self, const uint8_t* buf, int size) {
    auto* octets = self ? self->as<OctetString>() : nullptr;
    if (octets == nullptr) return;
    int length = (buf == nullptr) ? 0 : std::max(size, 0);
    if (octets->maxSize > 0) length = std::min(length, octets->maxSize);
    octets->bytes.assign(buf, buf + length);
}

// --- Bit strings -------------------------------------------------------------

int MmsValue_getBitStringSize(const MmsValue* self) {
    const auto* bits = self ? self->as<BitString>() : nullptr;
    return bits ? bits->bitSize : 0;
}

bool MmsValue_getBitStringBit(const MmsValue* self, int bitPos) {
    const auto* bits = self ? self->as<BitString>() : nullptr;
    if (bits == nullptr || bitPos < 0 || bitPos >= bits->bitSize) return false;
    return (bits->bytes[static_cast<size_t>(bitPos / 8)] >> (7 - bitPos % 8)) & 1;
}

void MmsValue_setBitStringBit(MmsValue* self, int bitPos, bool value) {
    auto* bits = self ? self->as<BitString>() : nullptr;
    if (bits == nullptr || bitPos < 0 || bitPos >= bits->bitSize) return;
    uint8_t& byte = bits->bytes[static_cast<size_t>(bitPos / 8)];
    const uint8_t mask = static_cast<uint8_t>(1u << (7 - bitPos % 8));
    byte = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
}

uint32_t MmsValue_getBitStringAsInteger(const MmsValue* self) {
    uint32_t result = 0;
    const int size = std::min(MmsValue_getBitStringSize(self), 32);
    for (int i = 0; i < size; ++i) {
        if (MmsValue_getBitStringBit(self, i)) result |= (uint32_t{1} << i);
    }
    return result;
}

void MmsValue_setBitStringFromInteger(MmsValue* self, uint32_t value) {
    const int size = std::min(MmsValue_getBitStringSize(self), 32);
    for (int i = 0; i < size; ++i) MmsValue_setBitStringBit(self, i, (value >> i) & 1);
}

int MmsValue_getBitStringByteSize(const MmsValue* self) {
    const auto* bits = self ? self->as<BitString>() : nullptr;
    return bits ? static_cast<int>(bits->bytes.size()) : 0;
}

const uint8_t* MmsValue_getBitStringBuffer(const MmsValue* self) {
    const auto* bits = self ? self->as<BitString>() : nullptr;
    return bits ? bits->bytes.data() : nullptr;
}

// --- UTC time ----------------------------------------------------------------

uint64_t MmsValue_getUtcTimeInMs(const MmsValue* self) {
    const uint8_t* b = utcBytes(self);
    if (b == nullptr) return 0;
    const uint64_t fractionMs = (uint64_t{utcFraction(b)} * kMsPerSecond + kFractionScale / 2) / kFractionScale;
    return uint64_t{utcSeconds(b)} * kMsPerSecond + fractionMs;
}

double MmsValue_toUnixTimestamp(const MmsValue* self) {
    const uint8_t* b = utcBytes(self);
    if (b == nullptr) return 0.0;
    return static_cast<double>(utcSeconds(b)) + static_cast<double>(utcFraction(b)) / static_cast<double>(kFractionScale);
}

void MmsValue_setUtcTimeMs(MmsValue* self, uint64_t msSinceEpoch) {
    uint8_t* b = utcBytes(self);
    if (b == nullptr) return;
    const uint64_t seconds = msSinceEpoch / kMsPerSecond;
    const uint64_t ms = msSinceEpoch % kMsPerSecond;
    // Rounded, so that every millisecond value reads back unchanged.
    const uint64_t fraction = (ms * kFractionScale + kMsPerSecond / 2) / kMsPerSecond;
    for (int i = 0; i < kUtcSecondsBytes; ++i) b[i] = static_cast<uint8_t>(seconds >> (8 * (kUtcSecondsBytes - 1 - i)));
    for (int i = 0; i < kUtcFractionBytes; ++i) {
        b[kUtcSecondsBytes + i] = static_cast<uint8_t>(fraction >> (8 * (kUtcFractionBytes - 1 - i)));
    }
}

uint8_t MmsValue_getUtcTimeQuality(const MmsValue* self) {
    const uint8_t* b = utcBytes(self);
    return b ? b[kUtcQualityIndex] : 0;
}

void MmsValue_setUtcTimeQuality(MmsValue* self, uint8_t quality) {
    if (uint8_t* b = utcBytes(self)) b[kUtcQualityIndex] = quality;
}

const uint8_t* MmsValue_getUtcTimeBuffer(const MmsValue* self) { return utcBytes(self); }

void MmsValue_setUtcTimeByBuffer(MmsValue* self, const uint8_t buffer[8]) {
    uint8_t* b = utcBytes(self);
    if (b != nullptr && buffer != nullptr) std::memcpy(b, buffer, kUtcTimeBytes);
}

// --- Binary time -------------------------------------------------------------

int MmsValue_getBinaryTimeSize(const MmsValue* self) {
    const auto* time = self ? self->as<BinaryTime>() : nullptr;
    return time ? time->size : 0;
}

const uint8_t* MmsValue_getBinaryTimeBuffer(const MmsValue* self) {
    const auto* time = self ? self->as<BinaryTime>() : nullptr;
    return time ? time->bytes.data() : nullptr;
}

void MmsValue_setBinaryTimeByBuffer(MmsValue* self, const uint8_t* buffer, int size) {
    auto* time = self ? self->as<BinaryTime>() : nullptr;
    if (time == nullptr || buffer == nullptr) return;
    if (size != kBinaryTimeOfDayBytes && size != kBinaryTimeFullBytes) return;
    time->size = static_cast<uint8_t>(size);
    time->bytes.fill(0);
    std::memcpy(time->bytes.data(), buffer, static_cast<size_t>(size));
}

// --- Structures and arrays -----------------------------------------------------

int MmsValue_getArraySize(const MmsValue* self) {
    const auto* elements = self ? self->as<Elements>() : nullptr;
    return elements ? static_cast<int>(elements->size()) : 0;
}

MmsValue* MmsValue_getElement(const MmsValue* self, int index) {
    const auto* elements = self ? self->as<Elements>() : nullptr;
    if (elements == nullptr || index < 0 || static_cast<size_t>(index) >= elements->size()) return nullptr;
    return (*elements)[static_cast<size_t>(index)];
}

void MmsValue_setElement(MmsValue* self, int index, MmsValue* element) {
    auto* elements = self ? self->as<Elements>() : nullptr;
    if (elements == nullptr || index < 0 || static_cast<size_t>(index) >= elements->size() || element == self) {
        // Not taken: the caller keeps ownership only by contract, so free it
        // rather than leak it.
        if (element != self) delete element;
        return;
    }
    MmsValue*& slot = (*elements)[static_cast<size_t>(index)];
    if (slot != element) delete slot;
    slot = element;
}

// --- Data-access error ----------------------------------------------------------

MmsDataAccessError MmsValue_getDataAccessError(const MmsValue* self) {
    const auto* error = self ? self->as<MmsDataAccessError>() : nullptr;
    return error ? *error : DATA_ACCESS_ERROR_SUCCESS;
}
