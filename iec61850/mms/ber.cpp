// BER reader and writer: bounds-checked TLV cursor and minimal-form encoders.
#include "iec61850/mms/ber.h"

#include <cstring>

namespace ber {

const char* errorText(Error e) {
    switch (e) {
        case Error::None: return "no error";
        case Error::Truncated: return "element runs past the end of its container";
        case Error::BadLength: return "invalid length";
        case Error::BadTag: return "invalid tag";
        case Error::TooDeep: return "nesting too deep";
    }
    return "unknown";
}

Reader::Reader(std::span<const uint8_t> data, unsigned depth) : data_(data), depth_(depth) {
    if (depth_ > kMaxDepth) error_ = Error::TooDeep;
}

bool Reader::decodeHeader(size_t at, Tlv& out, Error& err) const {
    const size_t size = data_.size();
    size_t p = at;
    if (p >= size) {
        err = Error::Truncated;
        return false;
    }
    const uint8_t first = data_[p++];
    out.cls = static_cast<TagClass>(first & 0xC0);
    out.constructed = (first & 0x20) != 0;
    uint32_t number = first & 0x1F;
    if (number == 0x1F) {
        number = 0;
        int octets = 0;
        while (true) {
            if (p >= size) {
                err = Error::Truncated;
                return false;
            }
            const uint8_t b = data_[p++];
            if (octets == 0 && b == 0x80) {  // leading zero bits are not minimal
                err = Error::BadTag;
                return false;
            }
            number = (number << 7) | (b & 0x7F);
            if (++octets > 3 || number > kMaxTagNumber) {
                err = Error::BadTag;
                return false;
            }
            if ((b & 0x80) == 0) break;
        }
    }
    out.number = number;

    if (p >= size) {
        err = Error::Truncated;
        return false;
    }
    const uint8_t l0 = data_[p++];
    size_t length = 0;
    if (l0 < 0x80) {
        length = l0;
    } else if (l0 == 0x80) {  // indefinite form: not used by any peer of ours
        err = Error::BadLength;
        return false;
    } else {
        const int n = l0 & 0x7F;
        if (n > 3) {
            err = Error::BadLength;
            return false;
        }
        for (int i = 0; i < n; ++i) {
            if (p >= size) {
                err = Error::Truncated;
                return false;
            }
            length = (length << 8) | data_[p++];
        }
    }
    if (length > kMaxLength) {
        err = Error::BadLength;
        return false;
    }
    if (length > size - p) {
        err = Error::Truncated;
        return false;
    }
    out.headerSize = p - at;
    out.content = data_.subspan(p, length);
    return true;
}

bool Reader::next(Tlv& out) {
    if (error_ != Error::None || atEnd()) return false;
    Error err = Error::None;
    if (!decodeHeader(pos_, out, err)) {
        error_ = err;
        return false;
    }
    pos_ += out.totalSize();
    return true;
}

bool Reader::peek(Tlv& out) const {
    if (error_ != Error::None || atEnd()) return false;
    Error err = Error::None;
    return decodeHeader(pos_, out, err);
}

Reader Reader::enter(const Tlv& tlv) const {
    Reader child(tlv.content, depth_ + 1);
    if (error_ != Error::None) child.error_ = error_;
    return child;
}

bool decodeSingle(std::span<const uint8_t> data, Tlv& out) {
    Reader r(data);
    return r.next(out) && r.atEnd();
}

// --- primitive decoders ---------------------------------------------------------

bool decodeBoolean(std::span<const uint8_t> c, bool& out) {
    if (c.size() != 1) return false;
    out = c[0] != 0;
    return true;
}

bool decodeInteger(std::span<const uint8_t> c, int64_t& out) {
    if (c.empty() || c.size() > 8) return false;
    // X.690 8.3.2: the first nine bits must not be all zero or all one.
    if (c.size() > 1 && ((c[0] == 0x00 && (c[1] & 0x80) == 0) || (c[0] == 0xFF && (c[1] & 0x80) != 0)))
        return false;
    uint64_t v = (c[0] & 0x80) ? ~uint64_t{0} : 0;
    for (uint8_t b : c) v = (v << 8) | b;
    out = static_cast<int64_t>(v);
    return true;
}

bool decodeUnsigned(std::span<const uint8_t> c, uint64_t& out) {
    if (c.empty() || c.size() > 9) return false;
    if (c[0] & 0x80) return false;  // negative
    if (c.size() > 1 && c[0] == 0x00 && (c[1] & 0x80) == 0) return false;
    if (c.size() == 9 && c[0] != 0x00) return false;
    uint64_t v = 0;
    for (uint8_t b : c) v = (v << 8) | b;
    out = v;
    return true;
}

bool decodeBitString(std::span<const uint8_t> c, std::vector<uint8_t>& bits, int& bitCount) {
    if (c.empty()) return false;
    const unsigned padding = c[0];
    if (padding > 7 || (c.size() == 1 && padding != 0)) return false;
    bits.assign(c.begin() + 1, c.end());
    bitCount = static_cast<int>((c.size() - 1) * 8 - padding);
    return true;
}

// The IEEE value after the exponent-width octet, most significant octet first.
template <typename Float, typename Raw>
Float decodeIeee(std::span<const uint8_t> c) {
    Raw raw = 0;
    for (size_t i = 1; i < c.size(); ++i) raw = static_cast<Raw>((raw << 8) | c[i]);
    Float value;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

bool decodeFloat(std::span<const uint8_t> c, double& out, bool& isDouble) {
    if (c.size() == 5 && c[0] == 8) {
        out = decodeIeee<float, uint32_t>(c);
        isDouble = false;
        return true;
    }
    if (c.size() == 9 && c[0] == 11) {
        out = decodeIeee<double, uint64_t>(c);
        isDouble = true;
        return true;
    }
    return false;
}

bool decodeOid(std::span<const uint8_t> c, std::vector<uint32_t>& arcs) {
    arcs.clear();
    if (c.empty() || (c.back() & 0x80)) return false;
    uint64_t value = 0;
    bool startOfArc = true;
    for (uint8_t b : c) {
        if (startOfArc && b == 0x80) return false;  // not minimal
        value = (value << 7) | (b & 0x7F);
        if (value > 0xFFFFFFFFu) return false;
        startOfArc = (b & 0x80) == 0;
        if (startOfArc) {
            if (arcs.empty()) {
                const uint32_t first = value < 40 ? 0 : value < 80 ? 1 : 2;
                arcs.push_back(first);
                arcs.push_back(static_cast<uint32_t>(value - first * 40));
            } else {
                arcs.push_back(static_cast<uint32_t>(value));
            }
            value = 0;
        }
    }
    return true;
}

bool decodeVisibleString(std::span<const uint8_t> c, std::string& out, size_t maxSize) {
    if (c.size() > maxSize) return false;
    for (uint8_t b : c) {
        if (b < 0x20 || b > 0x7E) return false;
    }
    out.assign(c.begin(), c.end());
    return true;
}

// --- writer -------------------------------------------------------------------

size_t integerSize(int64_t v) {
    size_t n = 1;
    while (n < 8) {
        const int64_t lo = -(int64_t{1} << (8 * n - 1));
        const int64_t hi = (int64_t{1} << (8 * n - 1)) - 1;
        if (v >= lo && v <= hi) break;
        ++n;
    }
    return n;
}

size_t unsignedSize(uint64_t v) {
    size_t n = 1;
    while (n < 8 && (v >> (8 * n - 1)) != 0) ++n;
    if (n == 8 && (v >> 63) != 0) n = 9;
    return n;
}

void Writer::writeTag(Tag tag, bool constructed) {
    const uint8_t head = static_cast<uint8_t>(tag.cls) | (constructed ? 0x20 : 0x00);
    if (tag.number < 31) {
        buf_.push_back(head | static_cast<uint8_t>(tag.number));
        return;
    }
    buf_.push_back(head | 0x1F);
    uint8_t tmp[5];
    int n = 0;
    uint32_t v = tag.number;
    do {
        tmp[n++] = v & 0x7F;
        v >>= 7;
    } while (v != 0);
    while (n > 0) {
        --n;
        buf_.push_back(tmp[n] | (n > 0 ? 0x80 : 0x00));
    }
}

namespace {
size_t lengthSize(size_t length) {
    if (length < 0x80) return 1;
    if (length <= 0xFF) return 2;
    if (length <= 0xFFFF) return 3;
    if (length <= 0xFFFFFF) return 4;
    return 5;
}

void putLength(uint8_t* out, size_t length) {
    const size_t n = lengthSize(length);
    if (n == 1) {
        out[0] = static_cast<uint8_t>(length);
        return;
    }
    out[0] = static_cast<uint8_t>(0x80 | (n - 1));
    for (size_t i = 1; i < n; ++i) out[i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
}
}  // namespace

void Writer::writeLength(size_t length) {
    uint8_t tmp[5];
    putLength(tmp, length);
    buf_.insert(buf_.end(), tmp, tmp + lengthSize(length));
}

void Writer::writePrimitive(Tag tag, std::span<const uint8_t> content) {
    writeTag(tag, false);
    writeLength(content.size());
    writeRaw(content);
}

void Writer::writeConstructed(Tag tag, std::span<const uint8_t> content) {
    writeTag(tag, true);
    writeLength(content.size());
    writeRaw(content);
}

size_t Writer::begin(Tag tag) {
    writeTag(tag, true);
    buf_.push_back(0);  // one-octet length placeholder, widened by end() when needed
    return buf_.size();
}

void Writer::end(size_t marker) {
    const size_t length = buf_.size() - marker;
    const size_t n = lengthSize(length);
    if (n > 1) buf_.insert(buf_.begin() + static_cast<std::ptrdiff_t>(marker), n - 1, 0);
    putLength(&buf_[marker - 1], length);
}

void Writer::writeBoolean(Tag tag, bool v) {
    const uint8_t b = v ? 0xFF : 0x00;
    writePrimitive(tag, std::span<const uint8_t>(&b, 1));
}

void Writer::writeInteger(Tag tag, int64_t v) {
    const size_t n = integerSize(v);
    uint8_t tmp[8];
    for (size_t i = 0; i < n; ++i) tmp[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * (n - 1 - i)));
    writePrimitive(tag, std::span<const uint8_t>(tmp, n));
}

void Writer::writeUnsigned(Tag tag, uint64_t v) {
    const size_t n = unsignedSize(v);
    uint8_t tmp[9];
    for (size_t i = 0; i < n; ++i) {
        const size_t shift = 8 * (n - 1 - i);
        tmp[i] = shift >= 64 ? 0 : static_cast<uint8_t>(v >> shift);
    }
    writePrimitive(tag, std::span<const uint8_t>(tmp, n));
}

void Writer::writeNull(Tag tag) { writePrimitive(tag, {}); }

void Writer::writeBitString(Tag tag, std::span<const uint8_t> bits, int bitCount) {
    if (bitCount < 0) bitCount = 0;
    size_t bytes = (static_cast<size_t>(bitCount) + 7) / 8;
    if (bytes > bits.size()) {  // never read past the caller's buffer
        bytes = bits.size();
        bitCount = static_cast<int>(bytes * 8);
    }
    const unsigned padding = static_cast<unsigned>(bytes * 8 - static_cast<size_t>(bitCount));
    writeTag(tag, false);
    writeLength(bytes + 1);
    buf_.push_back(static_cast<uint8_t>(padding));
    for (size_t i = 0; i < bytes; ++i) {
        uint8_t b = bits[i];
        if (i + 1 == bytes && padding) b &= static_cast<uint8_t>(0xFF << padding);
        buf_.push_back(b);
    }
}

void Writer::writeOctetString(Tag tag, std::span<const uint8_t> bytes) { writePrimitive(tag, bytes); }

void Writer::writeVisibleString(Tag tag, std::string_view text) {
    writePrimitive(tag, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void Writer::writeFloat(Tag tag, float v) {
    uint32_t raw;
    std::memcpy(&raw, &v, sizeof raw);
    const uint8_t tmp[5] = {8, static_cast<uint8_t>(raw >> 24), static_cast<uint8_t>(raw >> 16),
                            static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)};
    writePrimitive(tag, tmp);
}

void Writer::writeDouble(Tag tag, double v) {
    uint64_t raw;
    std::memcpy(&raw, &v, sizeof raw);
    uint8_t tmp[9];
    tmp[0] = 11;
    for (int i = 0; i < 8; ++i) tmp[1 + i] = static_cast<uint8_t>(raw >> (8 * (7 - i)));
    writePrimitive(tag, tmp);
}

void Writer::writeUtcTime(Tag tag, const uint8_t time[8]) { writePrimitive(tag, std::span<const uint8_t>(time, 8)); }

void Writer::writeOid(Tag tag, std::span<const uint32_t> arcs) {
    std::vector<uint8_t> content;
    auto putArc = [&content](uint64_t v) {
        uint8_t tmp[10];
        int n = 0;
        do {
            tmp[n++] = v & 0x7F;
            v >>= 7;
        } while (v != 0);
        while (n > 0) {
            --n;
            content.push_back(tmp[n] | (n > 0 ? 0x80 : 0x00));
        }
    };
    if (arcs.size() >= 2) {
        putArc(uint64_t{arcs[0]} * 40 + arcs[1]);
        for (size_t i = 2; i < arcs.size(); ++i) putArc(arcs[i]);
    } else if (arcs.size() == 1) {
        putArc(uint64_t{arcs[0]} * 40);
    }
    writePrimitive(tag, content);
}

}  // namespace ber
