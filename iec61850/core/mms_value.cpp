// MMS data values. Every value is 24 bytes: a type tag, a width or bound and
// a payload that holds scalars, times and short bit strings in place; texts,
// octet strings, long bit strings and element lists live on the heap, empty
// texts take no heap at all. Structures and arrays own their elements.
#include "iec61850/mms_value.h"

#include "iec61850/core/mms_value_arena.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace {

constexpr int kUtcTimeBytes = 8;
constexpr int kUtcSecondsBytes = 4;
constexpr int kUtcFractionBytes = 3;
constexpr int kUtcQualityIndex = 7;
constexpr uint64_t kFractionScale = uint64_t{1} << 24;  // units of 2^-24 s
constexpr uint64_t kMsPerSecond = 1000;
constexpr int kBinaryTimeFullBytes = 6;
constexpr int kBinaryTimeOfDayBytes = 4;
constexpr int kInlineBytes = 16;
constexpr uint8_t kPlaced = 0x01;          // the value itself lives in an arena
constexpr uint8_t kPlacedElements = 0x02;  // its element list lives in an arena

}  // namespace

struct MmsValue {
    uint8_t type;      // MmsType
    uint8_t width;     // integers: bytes (0: 64 bits unbounded); floats: 4 or 8
    uint8_t flags;     // kPlaced, kPlacedElements: storage belongs to an arena
    uint8_t unused;
    // Texts and octet strings: maximum size (0: unbounded); bit strings: bit
    // count; binary time: byte count; structures and arrays: element count.
    int32_t aux;
    union {
        bool boolean;
        int64_t integer;
        uint64_t unsignedInteger;
        double real;
        MmsDataAccessError error;
        uint8_t bytes[kInlineBytes];  // UTC time, binary time, bit strings up to 128 bits
        struct {
            uint8_t* data;            // texts: zero-terminated; null: empty
            uint32_t length;
            uint32_t capacity;
        } buffer;
        MmsValue** elements;
    };
};

static_assert(sizeof(MmsValue) == 24, "values stay compact: the cache holds tens of thousands");

namespace {

bool isText(const MmsValue* v) { return v->type == MMS_VISIBLE_STRING || v->type == MMS_STRING; }
bool isCollection(const MmsValue* v) { return v->type == MMS_STRUCTURE || v->type == MMS_ARRAY; }
bool is(const MmsValue* v, MmsType type) { return v != nullptr && v->type == type; }

int bitBytes(int bits) { return (bits + 7) / 8; }
bool bitsOnHeap(const MmsValue* v) { return bitBytes(v->aux) > kInlineBytes; }

uint8_t* bitData(MmsValue* v) { return bitsOnHeap(v) ? v->buffer.data : v->bytes; }
const uint8_t* bitData(const MmsValue* v) { return bitsOnHeap(v) ? v->buffer.data : v->bytes; }

bool usesBuffer(const MmsValue* v) {
    return isText(v) || v->type == MMS_OCTET_STRING || (v->type == MMS_BIT_STRING && bitsOnHeap(v));
}

MmsValue* allocate(MmsType type, int32_t aux = 0, uint8_t width = 0) {
    MmsValue* v = new MmsValue;
    std::memset(v, 0, sizeof *v);
    v->type = static_cast<uint8_t>(type);
    v->width = width;
    v->aux = aux;
    return v;
}

// Replaces the buffer content; texts keep a terminating zero after it.
void assignBuffer(MmsValue* v, const uint8_t* data, size_t length) {
    const bool text = isText(v);
    if (length == 0 && text) {
        if (v->buffer.data != nullptr) v->buffer.data[0] = 0;
        v->buffer.length = 0;
        return;
    }
    const size_t needed = length + (text ? 1 : 0);
    if (needed > v->buffer.capacity) {
        // A bounded text or octet string gets its whole bound at once, so a
        // pointer to its content stays valid however it is rewritten.
        const size_t bound = static_cast<size_t>(v->aux) + (text ? 1 : 0);
        const size_t size = v->aux > 0 ? std::max(needed, bound) : needed;
        auto* grown = static_cast<uint8_t*>(std::malloc(size));
        if (grown == nullptr) throw std::bad_alloc();
        std::free(v->buffer.data);
        v->buffer.data = grown;
        v->buffer.capacity = static_cast<uint32_t>(size);
    }
    if (length > 0) std::memmove(v->buffer.data, data, length);
    if (text) v->buffer.data[length] = 0;
    v->buffer.length = static_cast<uint32_t>(length);
}

void release(MmsValue* v) {
    if (isCollection(v)) {
        for (int i = 0; i < v->aux; ++i) MmsValue_delete(v->elements[i]);
        if ((v->flags & kPlacedElements) == 0) delete[] v->elements;
    } else if (usesBuffer(v)) {
        std::free(v->buffer.data);
    }
}

MmsValue* newCollection(MmsType type, int size) {
    const int count = std::max(size, 0);
    MmsValue* v = allocate(type, count);
    v->elements = count > 0 ? new MmsValue*[static_cast<size_t>(count)]() : nullptr;
    return v;
}

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

size_t bufferLength(const MmsValue* v) { return v->buffer.length; }

// Checks every rule of MmsValue_update without changing anything.
bool canUpdate(const MmsValue* self, const MmsValue* source) {
    if (self->type != source->type) return false;
    switch (self->type) {
        case MMS_INTEGER:
            return fitsSigned(source->integer, self->width);
        case MMS_UNSIGNED:
            return fitsUnsigned(source->unsignedInteger, self->width);
        case MMS_VISIBLE_STRING:
        case MMS_STRING:
        case MMS_OCTET_STRING:
            return self->aux == 0 || bufferLength(source) <= static_cast<size_t>(self->aux);
        case MMS_BIT_STRING:
        case MMS_BINARY_TIME:
            return self->aux == source->aux;
        case MMS_STRUCTURE:
        case MMS_ARRAY:
            if (self->aux != source->aux) return false;
            for (int i = 0; i < self->aux; ++i) {
                const MmsValue* mine = self->elements[i];
                const MmsValue* theirs = source->elements[i];
                if (mine == nullptr || theirs == nullptr) {
                    if (mine != theirs) return false;
                    continue;
                }
                if (!canUpdate(mine, theirs)) return false;
            }
            return true;
        default:
            return true;
    }
}

// Copies content once canUpdate agreed; keeps the target's bounds and width.
void applyUpdate(MmsValue* self, const MmsValue* source) {
    switch (self->type) {
        case MMS_FLOAT:
            self->real = self->width == 4 ? static_cast<float>(source->real) : source->real;
            break;
        case MMS_VISIBLE_STRING:
        case MMS_STRING:
        case MMS_OCTET_STRING:
            assignBuffer(self, source->buffer.data, source->buffer.length);
            break;
        case MMS_BIT_STRING:
            std::memcpy(bitData(self), bitData(source), static_cast<size_t>(bitBytes(self->aux)));
            break;
        case MMS_STRUCTURE:
        case MMS_ARRAY:
            for (int i = 0; i < self->aux; ++i) {
                if (self->elements[i] != nullptr) applyUpdate(self->elements[i], source->elements[i]);
            }
            break;
        default:
            std::memcpy(self->bytes, source->bytes, kInlineBytes);
            break;
    }
}

bool bytesEqual(const uint8_t* a, const uint8_t* b, size_t length) {
    return length == 0 || std::memcmp(a, b, length) == 0;
}

uint8_t* utcBytes(MmsValue* self) { return is(self, MMS_UTC_TIME) ? self->bytes : nullptr; }
const uint8_t* utcBytes(const MmsValue* self) { return is(self, MMS_UTC_TIME) ? self->bytes : nullptr; }

uint32_t utcSeconds(const uint8_t* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

uint32_t utcFraction(const uint8_t* b) { return (uint32_t{b[4]} << 16) | (uint32_t{b[5]} << 8) | uint32_t{b[6]}; }

}  // namespace

// --- Constructors ----------------------------------------------------------

namespace {

// A scalar of the given kind and width; the payload starts zeroed.
template <typename Set>
MmsValue* newScalar(MmsType type, int width, Set&& set) {
    MmsValue* v = allocate(type, 0, static_cast<uint8_t>(std::clamp(width, 0, 8)));
    set(v);
    return v;
}

}  // namespace

MmsValue* MmsValue_newBoolean(bool value) {
    return newScalar(MMS_BOOLEAN, 0, [value](MmsValue* v) { v->boolean = value; });
}

MmsValue* MmsValue_newIntegerFromInt32(int32_t value) {
    return newScalar(MMS_INTEGER, 4, [value](MmsValue* v) { v->integer = value; });
}

MmsValue* MmsValue_newIntegerFromInt64(int64_t value) {
    return newScalar(MMS_INTEGER, 8, [value](MmsValue* v) { v->integer = value; });
}

MmsValue* MmsValue_newUnsignedFromUint32(uint32_t value) {
    return newScalar(MMS_UNSIGNED, 4, [value](MmsValue* v) { v->unsignedInteger = value; });
}

MmsValue* MmsValue_newIntegerWithWidth(int widthBytes) { return newScalar(MMS_INTEGER, widthBytes, [](MmsValue*) {}); }

MmsValue* MmsValue_newUnsignedWithWidth(int widthBytes) { return newScalar(MMS_UNSIGNED, widthBytes, [](MmsValue*) {}); }

MmsValue* MmsValue_newFloat(float value) {
    return newScalar(MMS_FLOAT, 4, [value](MmsValue* v) { v->real = value; });
}

MmsValue* MmsValue_newDouble(double value) {
    return newScalar(MMS_FLOAT, 8, [value](MmsValue* v) { v->real = value; });
}

MmsValue* MmsValue_newVisibleString(const char* text) {
    MmsValue* v = allocate(MMS_VISIBLE_STRING);
    if (text != nullptr) assignBuffer(v, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    return v;
}

MmsValue* MmsValue_newVisibleStringWithSize(int maxSize) { return allocate(MMS_VISIBLE_STRING, std::max(maxSize, 0)); }

MmsValue* MmsValue_newOctetString(int size, int maxSize) {
    const int bound = std::max(maxSize, 0);
    int length = std::max(size, 0);
    if (bound > 0) length = std::min(length, bound);
    MmsValue* v = allocate(MMS_OCTET_STRING, bound);
    if (length > 0) {
        v->buffer.data = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(length), 1));
        if (v->buffer.data == nullptr) throw std::bad_alloc();
        v->buffer.length = v->buffer.capacity = static_cast<uint32_t>(length);
    }
    return v;
}

MmsValue* MmsValue_newBitString(int bitSize) {
    MmsValue* v = allocate(MMS_BIT_STRING, std::max(bitSize, 0));
    if (bitsOnHeap(v)) {
        const size_t bytes = static_cast<size_t>(bitBytes(v->aux));
        v->buffer.data = static_cast<uint8_t*>(std::calloc(bytes, 1));
        if (v->buffer.data == nullptr) throw std::bad_alloc();
        v->buffer.length = v->buffer.capacity = static_cast<uint32_t>(bytes);
    }
    return v;
}

MmsValue* MmsValue_newUtcTime(uint32_t secondsSinceEpoch) {
    MmsValue* v = allocate(MMS_UTC_TIME);
    for (int i = 0; i < kUtcSecondsBytes; ++i) {
        v->bytes[i] = static_cast<uint8_t>(secondsSinceEpoch >> (8 * (kUtcSecondsBytes - 1 - i)));
    }
    return v;
}

MmsValue* MmsValue_newUtcTimeByMsTime(uint64_t msSinceEpoch) {
    MmsValue* v = allocate(MMS_UTC_TIME);
    MmsValue_setUtcTimeMs(v, msSinceEpoch);
    return v;
}

MmsValue* MmsValue_newBinaryTime(bool timeOfDay) {
    return allocate(MMS_BINARY_TIME, timeOfDay ? kBinaryTimeOfDayBytes : kBinaryTimeFullBytes);
}

MmsValue* MmsValue_createEmptyStructure(int size) { return newCollection(MMS_STRUCTURE, size); }

MmsValue* MmsValue_createEmptyArray(int size) { return newCollection(MMS_ARRAY, size); }

MmsValue* MmsValue_newDataAccessError(MmsDataAccessError error) {
    MmsValue* v = allocate(MMS_DATA_ACCESS_ERROR);
    v->error = error;
    return v;
}

MmsValue* MmsValue_clone(const MmsValue* self) {
    if (self == nullptr) return nullptr;
    if (isCollection(self)) {
        MmsValue* copy = newCollection(static_cast<MmsType>(self->type), self->aux);
        for (int i = 0; i < self->aux; ++i) copy->elements[i] = MmsValue_clone(self->elements[i]);
        return copy;
    }
    MmsValue* copy = allocate(static_cast<MmsType>(self->type), self->aux, self->width);
    if (usesBuffer(self)) {
        if (self->type == MMS_BIT_STRING) {
            const size_t bytes = static_cast<size_t>(bitBytes(self->aux));
            copy->buffer.data = static_cast<uint8_t*>(std::malloc(bytes));
            if (copy->buffer.data == nullptr) throw std::bad_alloc();
            std::memcpy(copy->buffer.data, self->buffer.data, bytes);
            copy->buffer.length = copy->buffer.capacity = static_cast<uint32_t>(bytes);
        } else {
            assignBuffer(copy, self->buffer.data, self->buffer.length);
        }
    } else {
        std::memcpy(copy->bytes, self->bytes, kInlineBytes);
    }
    return copy;
}

void MmsValue_delete(MmsValue* self) {
    if (self == nullptr) return;
    release(self);
    if ((self->flags & kPlaced) == 0) delete self;
}

// --- Arena -------------------------------------------------------------------

void* MmsValueArena::allocate(size_t bytes) {
    bytes = (bytes + alignof(MmsValue) - 1) / alignof(MmsValue) * alignof(MmsValue);
    if (bytes > kBlockBytes) {
        // A list larger than a block gets a block of its own, kept in front
        // so that the last block stays the one being filled.
        blocks_.insert(blocks_.begin(), std::make_unique<std::byte[]>(bytes));
        return blocks_.front().get();
    }
    if (blocks_.empty() || used_ + bytes > kBlockBytes) {
        blocks_.push_back(std::make_unique<std::byte[]>(kBlockBytes));
        used_ = 0;
    }
    void* place = blocks_.back().get() + used_;
    used_ += bytes;
    return place;
}

MmsValue* MmsValueArena::adopt(MmsValue* value) {
    if (value == nullptr || isCollection(value)) return value;
    auto* placed = static_cast<MmsValue*>(allocate(sizeof(MmsValue)));
    std::memcpy(static_cast<void*>(placed), value, sizeof(MmsValue));
    placed->flags = kPlaced;
    delete value;  // the shell only: the payload moved
    return placed;
}

MmsValue* MmsValueArena::newStructure(int size) {
    const int count = std::max(size, 0);
    auto* placed = static_cast<MmsValue*>(allocate(sizeof(MmsValue)));
    std::memset(static_cast<void*>(placed), 0, sizeof(MmsValue));
    placed->type = MMS_STRUCTURE;
    placed->aux = count;
    placed->flags = kPlaced | kPlacedElements;
    if (count > 0) {
        placed->elements = static_cast<MmsValue**>(allocate(sizeof(MmsValue*) * static_cast<size_t>(count)));
        std::fill_n(placed->elements, count, nullptr);
    }
    return placed;
}

// --- Type and comparison -----------------------------------------------------

MmsType MmsValue_getType(const MmsValue* self) {
    return self ? static_cast<MmsType>(self->type) : MMS_DATA_ACCESS_ERROR;
}

const char* MmsValue_getTypeString(const MmsValue* self) {
    switch (MmsValue_getType(self)) {
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
            if (a->aux != b->aux) return false;
            for (int i = 0; i < a->aux; ++i) {
                if (!MmsValue_equals(a->elements[i], b->elements[i])) return false;
            }
            return true;
        case MMS_BOOLEAN:
            return a->boolean == b->boolean;
        case MMS_INTEGER:
            return a->integer == b->integer;
        case MMS_UNSIGNED:
            return a->unsignedInteger == b->unsignedInteger;
        case MMS_FLOAT:
            // Two NaNs count as the same value, so an unchanged NaN is no change.
            return a->real == b->real || (std::isnan(a->real) && std::isnan(b->real));
        case MMS_VISIBLE_STRING:
        case MMS_STRING:
        case MMS_OCTET_STRING:
            return a->buffer.length == b->buffer.length && bytesEqual(a->buffer.data, b->buffer.data, a->buffer.length);
        case MMS_BIT_STRING:
            return a->aux == b->aux && bytesEqual(bitData(a), bitData(b), static_cast<size_t>(bitBytes(a->aux)));
        case MMS_BINARY_TIME:
            return a->aux == b->aux && bytesEqual(a->bytes, b->bytes, static_cast<size_t>(a->aux));
        case MMS_UTC_TIME:
            return bytesEqual(a->bytes, b->bytes, kUtcTimeBytes);
        case MMS_DATA_ACCESS_ERROR:
            return a->error == b->error;
        default:
            return bytesEqual(a->bytes, b->bytes, kInlineBytes);
    }
}

bool MmsValue_equalTypes(const MmsValue* a, const MmsValue* b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->type != b->type) return false;
    if (!isCollection(a)) return true;
    if (a->aux != b->aux) return false;
    for (int i = 0; i < a->aux; ++i) {
        if (!MmsValue_equalTypes(a->elements[i], b->elements[i])) return false;
    }
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

bool MmsValue_getBoolean(const MmsValue* self) { return is(self, MMS_BOOLEAN) && self->boolean; }

void MmsValue_setBoolean(MmsValue* self, bool value) {
    if (is(self, MMS_BOOLEAN)) self->boolean = value;
}

int64_t MmsValue_toInt64(const MmsValue* self) {
    if (is(self, MMS_INTEGER)) return self->integer;
    if (is(self, MMS_UNSIGNED)) return static_cast<int64_t>(self->unsignedInteger);
    return 0;
}

int32_t MmsValue_toInt32(const MmsValue* self) { return static_cast<int32_t>(MmsValue_toInt64(self)); }

uint32_t MmsValue_toUint32(const MmsValue* self) {
    if (is(self, MMS_UNSIGNED)) return static_cast<uint32_t>(self->unsignedInteger);
    if (is(self, MMS_INTEGER)) return static_cast<uint32_t>(self->integer);
    return 0;
}

void MmsValue_setInt32(MmsValue* self, int32_t value) { MmsValue_setInt64(self, value); }

void MmsValue_setInt64(MmsValue* self, int64_t value) {
    if (is(self, MMS_INTEGER)) self->integer = value;
}

void MmsValue_setUint32(MmsValue* self, uint32_t value) {
    if (is(self, MMS_UNSIGNED)) self->unsignedInteger = value;
}

float MmsValue_toFloat(const MmsValue* self) { return static_cast<float>(MmsValue_toDouble(self)); }

double MmsValue_toDouble(const MmsValue* self) { return is(self, MMS_FLOAT) ? self->real : 0.0; }

void MmsValue_setFloat(MmsValue* self, float value) { MmsValue_setDouble(self, value); }

void MmsValue_setDouble(MmsValue* self, double value) {
    if (!is(self, MMS_FLOAT)) return;
    self->real = self->width == 4 ? static_cast<double>(static_cast<float>(value)) : value;
}

int MmsValue_getSizeInBytes(const MmsValue* self) {
    if (is(self, MMS_INTEGER) || is(self, MMS_UNSIGNED) || is(self, MMS_FLOAT)) return self->width;
    return 0;
}

// --- Strings ----------------------------------------------------------------

const char* MmsValue_toString(const MmsValue* self) {
    if (self == nullptr || !isText(self)) return nullptr;
    return self->buffer.data ? reinterpret_cast<const char*>(self->buffer.data) : "";
}

int MmsValue_getStringSize(const MmsValue* self) {
    return self != nullptr && isText(self) ? static_cast<int>(self->buffer.length) : 0;
}

int MmsValue_getStringMaxSize(const MmsValue* self) { return self != nullptr && isText(self) ? self->aux : 0; }

void MmsValue_setVisibleString(MmsValue* self, const char* text) {
    if (self == nullptr || !isText(self)) return;
    size_t length = text ? std::strlen(text) : 0;
    if (self->aux > 0) length = std::min(length, static_cast<size_t>(self->aux));
    assignBuffer(self, reinterpret_cast<const uint8_t*>(text), length);
}

// --- Octet strings -----------------------------------------------------------

int MmsValue_getOctetStringSize(const MmsValue* self) {
    return is(self, MMS_OCTET_STRING) ? static_cast<int>(self->buffer.length) : 0;
}

int MmsValue_getOctetStringMaxSize(const MmsValue* self) { return is(self, MMS_OCTET_STRING) ? self->aux : 0; }

const uint8_t* MmsValue_getOctetStringBuffer(const MmsValue* self) {
    return is(self, MMS_OCTET_STRING) ? self->buffer.data : nullptr;
}

void MmsValue_setOctetString(MmsValue* self, const uint8_t* buf, int size) {
    if (!is(self, MMS_OCTET_STRING)) return;
    size_t length = buf == nullptr ? 0 : static_cast<size_t>(std::max(size, 0));
    if (self->aux > 0) length = std::min(length, static_cast<size_t>(self->aux));
    assignBuffer(self, buf, length);
}

// --- Bit strings -------------------------------------------------------------

int MmsValue_getBitStringSize(const MmsValue* self) { return is(self, MMS_BIT_STRING) ? self->aux : 0; }

bool MmsValue_getBitStringBit(const MmsValue* self, int bitPos) {
    if (!is(self, MMS_BIT_STRING) || bitPos < 0 || bitPos >= self->aux) return false;
    return (bitData(self)[bitPos / 8] >> (7 - bitPos % 8)) & 1;
}

void MmsValue_setBitStringBit(MmsValue* self, int bitPos, bool value) {
    if (!is(self, MMS_BIT_STRING) || bitPos < 0 || bitPos >= self->aux) return;
    uint8_t& byte = bitData(self)[bitPos / 8];
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

int MmsValue_getBitStringByteSize(const MmsValue* self) { return is(self, MMS_BIT_STRING) ? bitBytes(self->aux) : 0; }

const uint8_t* MmsValue_getBitStringBuffer(const MmsValue* self) {
    return is(self, MMS_BIT_STRING) ? bitData(self) : nullptr;
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

int MmsValue_getBinaryTimeSize(const MmsValue* self) { return is(self, MMS_BINARY_TIME) ? self->aux : 0; }

const uint8_t* MmsValue_getBinaryTimeBuffer(const MmsValue* self) {
    return is(self, MMS_BINARY_TIME) ? self->bytes : nullptr;
}

void MmsValue_setBinaryTimeByBuffer(MmsValue* self, const uint8_t* buffer, int size) {
    if (!is(self, MMS_BINARY_TIME) || buffer == nullptr) return;
    if (size != kBinaryTimeOfDayBytes && size != kBinaryTimeFullBytes) return;
    self->aux = size;
    std::memset(self->bytes, 0, kInlineBytes);
    std::memcpy(self->bytes, buffer, static_cast<size_t>(size));
}

// --- Structures and arrays -----------------------------------------------------

int MmsValue_getArraySize(const MmsValue* self) { return self != nullptr && isCollection(self) ? self->aux : 0; }

MmsValue* MmsValue_getElement(const MmsValue* self, int index) {
    if (self == nullptr || !isCollection(self) || index < 0 || index >= self->aux) return nullptr;
    return self->elements[index];
}

void MmsValue_setElement(MmsValue* self, int index, MmsValue* element) {
    if (self == nullptr || !isCollection(self) || index < 0 || index >= self->aux || element == self) {
        // Not taken: the value was handed over, so free it rather than leak it.
        if (element != self) MmsValue_delete(element);
        return;
    }
    MmsValue*& slot = self->elements[index];
    if (slot != element) MmsValue_delete(slot);
    slot = element;
}

// --- Data-access error ----------------------------------------------------------

MmsDataAccessError MmsValue_getDataAccessError(const MmsValue* self) {
    return is(self, MMS_DATA_ACCESS_ERROR) ? self->error : DATA_ACCESS_ERROR_SUCCESS;
}

const char* MmsDataAccessError_toString(MmsDataAccessError error) {
    // Indexed by the wire number.
    static constexpr const char* kNames[] = {
        "object-invalidated", "hardware-fault",   "temporarily-unavailable",       "object-access-denied",
        "object-undefined",   "invalid-address",  "type-unsupported",              "type-inconsistent",
        "object-attribute-inconsistent",          "object-access-unsupported",     "object-non-existent",
        "object-value-invalid"};
    if (error == DATA_ACCESS_ERROR_SUCCESS) return "success";
    const int index = static_cast<int>(error);
    if (index < 0 || index >= static_cast<int>(std::size(kNames))) return "unknown";
    return kNames[index];
}
