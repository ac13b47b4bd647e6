#pragma once
// BER (X.690, definite lengths only) reader and writer for the MMS stack and
// the service modules, plus the coding of MmsValue as MMS Data.
//
// Reading
//   ber::Reader is a cursor over a std::span of bytes it does not own. Each
//   call to next() decodes one TLV header, checks that the content lies
//   inside the span and steps over it; nothing is ever read outside the span.
//   A constructed element is entered with enter(), which gives a child reader
//   over exactly its content, one nesting level deeper. Past kMaxDepth levels
//   the child reader starts in error, so no decoder built on enter() can
//   recurse without bound. Errors stick: after the first failure every call
//   fails and error() names the reason. Lengths above kMaxLength (larger than
//   any PDU we accept) and indefinite lengths are refused.
//
//     ber::Reader r(bytes);
//     ber::Tlv tlv;
//     while (r.next(tlv)) {
//         if (tlv.is(ber::TagClass::Context, 0)) { int64_t v; if (!ber::decodeInteger(tlv.content, v)) ... }
//         else if (tlv.constructed) { ber::Reader inner = r.enter(tlv); ... }
//     }
//     if (!r.ok()) -> malformed
//
//   The decode* functions take the content octets of a primitive element and
//   check its form (minimal where X.690 demands it, value ranges) before they
//   return a value. They never allocate more than the content size implies.
//
// Writing
//   ber::Writer appends to its own byte vector. Primitive elements are written
//   in one call (writeInteger, writeUnsigned, ...) with their tag. Constructed
//   elements are bracketed: size_t m = w.begin(tag); ...; w.end(m); end()
//   fills in the definite length in its shortest form. Integers and unsigned
//   values come out in minimal two's-complement form, bit strings with their
//   padding byte and the unused bits cleared, tag numbers above 30 in the
//   high-tag-number form.
//
// MMS Data (ISO 9506-2 Data, a tagged choice):
//   [1] array  [2] structure  [3] boolean  [4] bit-string  [5] integer
//   [6] unsigned  [7] floating-point  [9] octet-string  [10] visible-string
//   [12] binary-time  [17] utc-time
//   encodeMmsData writes one value (recursively for arrays and structures);
//   decodeMmsData builds a new MmsValue the caller owns (MmsValuePtr).
//   AccessResult (Read, InformationReport) is failure [0] DataAccessError or
//   success Data: encodeAccessResult writes a value of type
//   MMS_DATA_ACCESS_ERROR as the failure choice and anything else as Data.
//   Write-Response items are failure [0] DataAccessError or success [1] NULL:
//   encodeWriteResult.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "iec61850/mms_value.h"

namespace ber {

// Deepest nesting a reader enters. MMS PDUs of this server nest about 12
// levels at most (ISO layers + PDU + a model structure 5 deep).
constexpr unsigned kMaxDepth = 24;
// Largest length of one element: bigger than any TPKT payload (65531 bytes).
constexpr size_t kMaxLength = 65536;
// Largest tag number accepted (4 continuation octets would allow 2^28).
constexpr uint32_t kMaxTagNumber = 0x1FFFFF;

enum class TagClass : uint8_t { Universal = 0x00, Application = 0x40, Context = 0x80, Private = 0xC0 };

struct Tag {
    TagClass cls;
    uint32_t number;
};

inline constexpr Tag universal(uint32_t n) { return {TagClass::Universal, n}; }
inline constexpr Tag application(uint32_t n) { return {TagClass::Application, n}; }
inline constexpr Tag context(uint32_t n) { return {TagClass::Context, n}; }

// Universal tag numbers used by the stack.
enum : uint32_t {
    kUniversalBoolean = 1,
    kUniversalInteger = 2,
    kUniversalBitString = 3,
    kUniversalOctetString = 4,
    kUniversalNull = 5,
    kUniversalOid = 6,
    kUniversalExternal = 8,
    kUniversalSequence = 16,
    kUniversalGraphicString = 25,
};

enum class Error {
    None,
    Truncated,    // header or content runs past the end of the data
    BadLength,    // indefinite, over-long length form or above kMaxLength
    BadTag,       // tag number too large or malformed high-tag form
    TooDeep,      // more than kMaxDepth nested levels
};
const char* errorText(Error e);

struct Tlv {
    TagClass cls = TagClass::Universal;
    bool constructed = false;
    uint32_t number = 0;
    std::span<const uint8_t> content;  // inside the reader's span
    size_t headerSize = 0;

    bool is(TagClass c, uint32_t n) const { return cls == c && number == n; }
    bool is(Tag t) const { return is(t.cls, t.number); }
    size_t totalSize() const { return headerSize + content.size(); }
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> data, unsigned depth = 0);

    // Decodes the next element; false at the end of the data or on an error
    // (ok() tells which).
    [[nodiscard]] bool next(Tlv& out);
    // Like next() without moving on.
    [[nodiscard]] bool peek(Tlv& out) const;
    // A reader over the content of tlv (one level deeper); in error when the
    // depth limit is passed.
    Reader enter(const Tlv& tlv) const;

    bool atEnd() const { return pos_ >= data_.size(); }
    size_t remaining() const { return data_.size() - pos_; }
    std::span<const uint8_t> rest() const { return data_.subspan(pos_); }
    bool ok() const { return error_ == Error::None; }
    Error error() const { return error_; }
    unsigned depth() const { return depth_; }
    void fail(Error e) {
        if (error_ == Error::None) error_ = e;
    }

private:
    bool decodeHeader(size_t at, Tlv& out, Error& err) const;

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    unsigned depth_ = 0;
    Error error_ = Error::None;
};

// Decodes exactly one element that fills the whole span.
[[nodiscard]] bool decodeSingle(std::span<const uint8_t> data, Tlv& out);

// --- primitive content decoders (content octets only) -----------------------
[[nodiscard]] bool decodeBoolean(std::span<const uint8_t> c, bool& out);
[[nodiscard]] bool decodeInteger(std::span<const uint8_t> c, int64_t& out);    // 1..8 octets, minimal
[[nodiscard]] bool decodeUnsigned(std::span<const uint8_t> c, uint64_t& out);  // non-negative INTEGER
// Bit string: padding octet 0..7 (0 when empty); bits in wire order.
[[nodiscard]] bool decodeBitString(std::span<const uint8_t> c, std::vector<uint8_t>& bits, int& bitCount);
// MMS FloatingPoint: exponent width octet (8: single, 11: double) + IEEE value.
[[nodiscard]] bool decodeFloat(std::span<const uint8_t> c, double& out, bool& isDouble);
[[nodiscard]] bool decodeOid(std::span<const uint8_t> c, std::vector<uint32_t>& arcs);
// VisibleString: printable ASCII (0x20..0x7E) only.
[[nodiscard]] bool decodeVisibleString(std::span<const uint8_t> c, std::string& out, size_t maxSize = kMaxLength);

// --- writer ----------------------------------------------------------------
class Writer {
public:
    Writer() = default;
    explicit Writer(size_t reserve) { buf_.reserve(reserve); }

    void writeTag(Tag tag, bool constructed);
    void writeLength(size_t length);
    void writeRaw(std::span<const uint8_t> bytes) { buf_.insert(buf_.end(), bytes.begin(), bytes.end()); }
    void writeByte(uint8_t b) { buf_.push_back(b); }

    // A primitive element with the given content.
    void writePrimitive(Tag tag, std::span<const uint8_t> content);
    // A constructed element with already encoded content.
    void writeConstructed(Tag tag, std::span<const uint8_t> content);
    size_t begin(Tag tag);   // starts a constructed element; returns its marker
    void end(size_t marker); // closes it: writes the definite length

    void writeBoolean(Tag tag, bool v);
    void writeInteger(Tag tag, int64_t v);
    void writeUnsigned(Tag tag, uint64_t v);
    void writeNull(Tag tag);
    // bits: wire order (bit 0 is the MSB of bits[0]); unused bits are cleared.
    void writeBitString(Tag tag, std::span<const uint8_t> bits, int bitCount);
    void writeOctetString(Tag tag, std::span<const uint8_t> bytes);
    void writeVisibleString(Tag tag, std::string_view text);
    void writeFloat(Tag tag, float v);
    void writeDouble(Tag tag, double v);
    void writeUtcTime(Tag tag, const uint8_t time[8]);
    void writeOid(Tag tag, std::span<const uint32_t> arcs);

    size_t size() const { return buf_.size(); }
    const std::vector<uint8_t>& bytes() const { return buf_; }
    std::vector<uint8_t> take() { return std::move(buf_); }
    void clear() { buf_.clear(); }
    void truncate(size_t size) {
        if (size < buf_.size()) buf_.resize(size);
    }

private:
    std::vector<uint8_t> buf_;
};

// Octets of the minimal two's-complement form of v (1..8 octets).
size_t integerSize(int64_t v);
// Octets of the content of an unsigned value (with a leading 0 when needed).
size_t unsignedSize(uint64_t v);

// --- MMS Data ----------------------------------------------------------------

// Data choice tags.
enum : uint32_t {
    kDataArray = 1,
    kDataStructure = 2,
    kDataBoolean = 3,
    kDataBitString = 4,
    kDataInteger = 5,
    kDataUnsigned = 6,
    kDataFloat = 7,
    kDataOctetString = 9,
    kDataVisibleString = 10,
    kDataBinaryTime = 12,
    kDataUtcTime = 17,
};

// Writes value as Data. False (and nothing written) for a null value or a
// type without a Data form here (data-access errors, generalized time, ...).
[[nodiscard]] bool encodeMmsData(Writer& w, const MmsValue* value);
// Size in octets of encodeMmsData's output (0 when it would fail).
size_t mmsDataSize(const MmsValue* value);
// AccessResult: failure [0] for MMS_DATA_ACCESS_ERROR values, else Data.
// A value that has no Data form is written as failure type-unsupported.
void encodeAccessResult(Writer& w, const MmsValue* value);
// Write-Response item: failure [0] DataAccessError, or success [1] NULL
// when error is DATA_ACCESS_ERROR_SUCCESS.
void encodeWriteResult(Writer& w, MmsDataAccessError error);

// Decodes one Data element (tlv from a Reader at the given depth). Null for a
// malformed or unsupported element.
MmsValuePtr decodeMmsData(const Tlv& tlv, unsigned depth = 0);
// Decodes an AccessResult: a Data element, or failure [0] as a value of type
// MMS_DATA_ACCESS_ERROR.
MmsValuePtr decodeAccessResult(const Tlv& tlv, unsigned depth = 0);

}  // namespace ber
