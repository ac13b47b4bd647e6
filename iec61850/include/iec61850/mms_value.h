#pragma once
// MMS data values: the value type of every model attribute and of every
// value on the wire. Values are heap objects handed around by pointer; the
// creator owns a value until it is given to a structure (MmsValue_setElement)
// or deleted (MmsValue_delete).

#include <cstddef>
#include <cstdint>
#include <memory>

// The MMS Data choices this system uses.
enum MmsType {
    MMS_ARRAY = 0,
    MMS_STRUCTURE,
    MMS_BOOLEAN,
    MMS_BIT_STRING,
    MMS_INTEGER,
    MMS_UNSIGNED,
    MMS_FLOAT,
    MMS_OCTET_STRING,
    MMS_VISIBLE_STRING,
    MMS_GENERALIZED_TIME,
    MMS_BINARY_TIME,
    MMS_BCD,
    MMS_OBJ_ID,
    MMS_STRING,
    MMS_UTC_TIME,
    MMS_DATA_ACCESS_ERROR
};

// DataAccessError of ISO 9506-2 (the numbers are those of the wire).
enum MmsDataAccessError {
    DATA_ACCESS_ERROR_SUCCESS = -1,
    DATA_ACCESS_ERROR_OBJECT_INVALIDATED = 0,
    DATA_ACCESS_ERROR_HARDWARE_FAULT = 1,
    DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE = 2,
    DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED = 3,
    DATA_ACCESS_ERROR_OBJECT_UNDEFINED = 4,
    DATA_ACCESS_ERROR_INVALID_ADDRESS = 5,
    DATA_ACCESS_ERROR_TYPE_UNSUPPORTED = 6,
    DATA_ACCESS_ERROR_TYPE_INCONSISTENT = 7,
    DATA_ACCESS_ERROR_OBJECT_ATTRIBUTE_INCONSISTENT = 8,
    DATA_ACCESS_ERROR_OBJECT_ACCESS_UNSUPPORTED = 9,
    DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT = 10,
    DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID = 11
};

// The wire name of an error ("object-non-existent"), "success" for
// DATA_ACCESS_ERROR_SUCCESS and "unknown" for a number outside the list.
const char* MmsDataAccessError_toString(MmsDataAccessError error);

struct MmsValue;  // defined in mms_value.cpp; use the functions below

// Constructors. Each returns a new value the caller owns.
MmsValue* MmsValue_newBoolean(bool value);
MmsValue* MmsValue_newIntegerFromInt32(int32_t value);
MmsValue* MmsValue_newIntegerFromInt64(int64_t value);
MmsValue* MmsValue_newUnsignedFromUint32(uint32_t value);
// Zero with a fixed width in bytes (1, 2, 4, 8; 0: unbounded). MmsValue_update
// refuses a source whose value does not fit the width.
MmsValue* MmsValue_newIntegerWithWidth(int widthBytes);
MmsValue* MmsValue_newUnsignedWithWidth(int widthBytes);
MmsValue* MmsValue_newFloat(float value);
MmsValue* MmsValue_newDouble(double value);
MmsValue* MmsValue_newVisibleString(const char* text);           // copies the text; null gives ""
MmsValue* MmsValue_newVisibleStringWithSize(int maxSize);         // empty, with its bound
MmsValue* MmsValue_newOctetString(int size, int maxSize);         // size zero bytes
MmsValue* MmsValue_newBitString(int bitSize);                     // all bits 0
MmsValue* MmsValue_newUtcTime(uint32_t secondsSinceEpoch);
MmsValue* MmsValue_newUtcTimeByMsTime(uint64_t msSinceEpoch);
MmsValue* MmsValue_newBinaryTime(bool timeOfDay);
MmsValue* MmsValue_createEmptyStructure(int size);                // size null elements
MmsValue* MmsValue_createEmptyArray(int size);
MmsValue* MmsValue_newDataAccessError(MmsDataAccessError error);
MmsValue* MmsValue_clone(const MmsValue* self);                    // deep copy
void MmsValue_delete(MmsValue* self);                              // null is fine; deletes elements too

// The owner of one value: deletes it (elements too) with MmsValue_delete.
struct MmsValueDeleter {
    void operator()(MmsValue* value) const { MmsValue_delete(value); }
};
using MmsValuePtr = std::unique_ptr<MmsValue, MmsValueDeleter>;

// Type and comparison.
MmsType MmsValue_getType(const MmsValue* self);
const char* MmsValue_getTypeString(const MmsValue* self);         // "MMS_FLOAT", ...
bool MmsValue_equals(const MmsValue* a, const MmsValue* b);       // same type and content
bool MmsValue_equalTypes(const MmsValue* a, const MmsValue* b);   // same type, recursively for structures

// Copies the content of source into self when both have the same type
// (structures: element by element, recursively). Returns false and leaves
// self unchanged otherwise; an unsigned source is not taken into an integer.
// Self keeps its bounds: an integer must fit self's width, a string or octet
// string self's maximum size, a bit string must have self's bit count.
bool MmsValue_update(MmsValue* self, const MmsValue* source);

// Scalars.
bool MmsValue_getBoolean(const MmsValue* self);
void MmsValue_setBoolean(MmsValue* self, bool value);
int32_t MmsValue_toInt32(const MmsValue* self);
int64_t MmsValue_toInt64(const MmsValue* self);
uint32_t MmsValue_toUint32(const MmsValue* self);
void MmsValue_setInt32(MmsValue* self, int32_t value);
void MmsValue_setInt64(MmsValue* self, int64_t value);
void MmsValue_setUint32(MmsValue* self, uint32_t value);
float MmsValue_toFloat(const MmsValue* self);
double MmsValue_toDouble(const MmsValue* self);
void MmsValue_setFloat(MmsValue* self, float value);
void MmsValue_setDouble(MmsValue* self, double value);
// Width of an integer/unsigned on the wire, in bytes (0: minimal form).
int MmsValue_getSizeInBytes(const MmsValue* self);

// Strings.
const char* MmsValue_toString(const MmsValue* self);              // visible string text, else null
int MmsValue_getStringSize(const MmsValue* self);
int MmsValue_getStringMaxSize(const MmsValue* self);               // 0: unbounded
void MmsValue_setVisibleString(MmsValue* self, const char* text);

// Octet strings.
int MmsValue_getOctetStringSize(const MmsValue* self);
int MmsValue_getOctetStringMaxSize(const MmsValue* self);
const uint8_t* MmsValue_getOctetStringBuffer(const MmsValue* self);
void MmsValue_setOctetString(MmsValue* self, const uint8_t* buf, int size);  // cut at maxSize

// Bit strings; bit 0 is the first (most significant) bit on the wire.
int MmsValue_getBitStringSize(const MmsValue* self);
bool MmsValue_getBitStringBit(const MmsValue* self, int bitPos);
void MmsValue_setBitStringBit(MmsValue* self, int bitPos, bool value);
uint32_t MmsValue_getBitStringAsInteger(const MmsValue* self);    // bit 0 is the least significant
void MmsValue_setBitStringFromInteger(MmsValue* self, uint32_t value);
int MmsValue_getBitStringByteSize(const MmsValue* self);
const uint8_t* MmsValue_getBitStringBuffer(const MmsValue* self);  // wire order

// UTC time: 4 bytes seconds, 3 bytes binary fraction, 1 byte time quality.
uint64_t MmsValue_getUtcTimeInMs(const MmsValue* self);
double MmsValue_toUnixTimestamp(const MmsValue* self);             // seconds with the fraction; whole seconds exact
void MmsValue_setUtcTimeMs(MmsValue* self, uint64_t msSinceEpoch);
uint8_t MmsValue_getUtcTimeQuality(const MmsValue* self);
void MmsValue_setUtcTimeQuality(MmsValue* self, uint8_t quality);
const uint8_t* MmsValue_getUtcTimeBuffer(const MmsValue* self);    // the 8 wire bytes
void MmsValue_setUtcTimeByBuffer(MmsValue* self, const uint8_t buffer[8]);

// Binary time (6 bytes: ms of day, days since 1984-01-01; 4 bytes: ms of day only).
int MmsValue_getBinaryTimeSize(const MmsValue* self);
const uint8_t* MmsValue_getBinaryTimeBuffer(const MmsValue* self);
void MmsValue_setBinaryTimeByBuffer(MmsValue* self, const uint8_t* buffer, int size);

// Structures and arrays.
int MmsValue_getArraySize(const MmsValue* self);                  // element count of a structure or array
MmsValue* MmsValue_getElement(const MmsValue* self, int index);   // borrowed; null when out of range
void MmsValue_setElement(MmsValue* self, int index, MmsValue* element);  // takes ownership; replaces

// Data-access error.
MmsDataAccessError MmsValue_getDataAccessError(const MmsValue* self);
