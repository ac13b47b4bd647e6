// MMS Data <-> MmsValue.
#include <cstring>
#include <string>

#include "iec61850/mms/ber.h"

namespace ber {

namespace {

// A string value carries its own bound; the wire form never does.
constexpr size_t kMaxStringOnWire = 65535;

bool encodeData(Writer& w, const MmsValue* v, unsigned depth) {
    if (v == nullptr || depth > kMaxDepth) return false;
    switch (MmsValue_getType(v)) {
        case MMS_ARRAY:
        case MMS_STRUCTURE: {
            const Tag tag = context(MmsValue_getType(v) == MMS_ARRAY ? kDataArray : kDataStructure);
            const size_t start = w.size();
            const size_t m = w.begin(tag);
            const int n = MmsValue_getArraySize(v);
            for (int i = 0; i < n; ++i) {
                if (!encodeData(w, MmsValue_getElement(v, i), depth + 1)) {
                    w.truncate(start);  // the caller sees nothing written
                    return false;
                }
            }
            w.end(m);
            return true;
        }
        case MMS_BOOLEAN: w.writeBoolean(context(kDataBoolean), MmsValue_getBoolean(v)); return true;
        case MMS_BIT_STRING: {
            const int bits = MmsValue_getBitStringSize(v);
            const uint8_t* buf = MmsValue_getBitStringBuffer(v);
            const size_t bytes = static_cast<size_t>(MmsValue_getBitStringByteSize(v));
            w.writeBitString(context(kDataBitString), std::span<const uint8_t>(buf, buf ? bytes : 0), bits);
            return true;
        }
        case MMS_INTEGER: w.writeInteger(context(kDataInteger), MmsValue_toInt64(v)); return true;
        case MMS_UNSIGNED: w.writeUnsigned(context(kDataUnsigned), MmsValue_toUint32(v)); return true;
        case MMS_FLOAT:
            if (MmsValue_getSizeInBytes(v) == 8)
                w.writeDouble(context(kDataFloat), MmsValue_toDouble(v));
            else
                w.writeFloat(context(kDataFloat), MmsValue_toFloat(v));
            return true;
        case MMS_OCTET_STRING: {
            const uint8_t* buf = MmsValue_getOctetStringBuffer(v);
            const int size = MmsValue_getOctetStringSize(v);
            w.writeOctetString(context(kDataOctetString),
                               std::span<const uint8_t>(buf, buf && size > 0 ? static_cast<size_t>(size) : 0));
            return true;
        }
        case MMS_VISIBLE_STRING: {
            const char* text = MmsValue_toString(v);
            w.writeVisibleString(context(kDataVisibleString), text ? text : "");
            return true;
        }
        case MMS_BINARY_TIME: {
            const uint8_t* buf = MmsValue_getBinaryTimeBuffer(v);
            const int size = MmsValue_getBinaryTimeSize(v);
            if (buf == nullptr || (size != 4 && size != 6)) return false;
            w.writeOctetString(context(kDataBinaryTime), std::span<const uint8_t>(buf, static_cast<size_t>(size)));
            return true;
        }
        case MMS_UTC_TIME: {
            const uint8_t* buf = MmsValue_getUtcTimeBuffer(v);
            if (buf == nullptr) return false;
            w.writeUtcTime(context(kDataUtcTime), buf);
            return true;
        }
        default: return false;
    }
}

MmsValuePtr decodeData(const Tlv& tlv, unsigned depth) {
    if (tlv.cls != TagClass::Context || depth > kMaxDepth) return nullptr;
    const auto& c = tlv.content;
    switch (tlv.number) {
        case kDataArray:
        case kDataStructure: {
            if (!tlv.constructed) return nullptr;
            // Count first: the count is bounded by the content (two octets per element at least).
            Reader counter(c, depth + 1);
            Tlv el;
            int count = 0;
            while (counter.next(el)) ++count;
            if (!counter.ok()) return nullptr;
            MmsValuePtr out(tlv.number == kDataArray ? MmsValue_createEmptyArray(count)
                                                     : MmsValue_createEmptyStructure(count));
            if (!out) return nullptr;
            Reader r(c, depth + 1);
            for (int i = 0; i < count; ++i) {
                if (!r.next(el)) return nullptr;
                MmsValuePtr child = decodeData(el, depth + 1);
                if (!child) return nullptr;
                MmsValue_setElement(out.get(), i, child.release());
            }
            return out;
        }
        case kDataBoolean: {
            bool b;
            if (tlv.constructed || !decodeBoolean(c, b)) return nullptr;
            return MmsValuePtr(MmsValue_newBoolean(b));
        }
        case kDataBitString: {
            std::vector<uint8_t> bits;
            int count = 0;
            if (tlv.constructed || !decodeBitString(c, bits, count)) return nullptr;
            MmsValuePtr out(MmsValue_newBitString(count));
            if (!out) return nullptr;
            for (int i = 0; i < count; ++i) {
                if (bits[static_cast<size_t>(i) / 8] & (0x80 >> (i % 8))) MmsValue_setBitStringBit(out.get(), i, true);
            }
            return out;
        }
        case kDataInteger: {
            int64_t v;
            if (tlv.constructed || !decodeInteger(c, v)) return nullptr;
            return MmsValuePtr(MmsValue_newIntegerFromInt64(v));
        }
        case kDataUnsigned: {
            uint64_t v;
            if (tlv.constructed || !decodeUnsigned(c, v) || v > 0xFFFFFFFFu) return nullptr;
            return MmsValuePtr(MmsValue_newUnsignedFromUint32(static_cast<uint32_t>(v)));
        }
        case kDataFloat: {
            double d;
            bool isDouble;
            if (tlv.constructed || !decodeFloat(c, d, isDouble)) return nullptr;
            return MmsValuePtr(isDouble ? MmsValue_newDouble(d) : MmsValue_newFloat(static_cast<float>(d)));
        }
        case kDataOctetString: {
            if (tlv.constructed || c.size() > kMaxStringOnWire) return nullptr;
            const int size = static_cast<int>(c.size());
            MmsValuePtr out(MmsValue_newOctetString(size, size));
            if (!out) return nullptr;
            MmsValue_setOctetString(out.get(), c.data(), size);
            return out;
        }
        case kDataVisibleString: {
            std::string text;
            if (tlv.constructed || !decodeVisibleString(c, text, kMaxStringOnWire)) return nullptr;
            return MmsValuePtr(MmsValue_newVisibleString(text.c_str()));
        }
        case kDataBinaryTime: {
            if (tlv.constructed || (c.size() != 4 && c.size() != 6)) return nullptr;
            MmsValuePtr out(MmsValue_newBinaryTime(c.size() == 4));
            if (!out) return nullptr;
            MmsValue_setBinaryTimeByBuffer(out.get(), c.data(), static_cast<int>(c.size()));
            return out;
        }
        case kDataUtcTime: {
            if (tlv.constructed || c.size() != 8) return nullptr;
            MmsValuePtr out(MmsValue_newUtcTime(0));
            if (!out) return nullptr;
            MmsValue_setUtcTimeByBuffer(out.get(), c.data());
            return out;
        }
        default: return nullptr;
    }
}

}  // namespace

bool encodeMmsData(Writer& w, const MmsValue* value) { return encodeData(w, value, 0); }

size_t mmsDataSize(const MmsValue* value) {
    Writer w;
    return encodeData(w, value, 0) ? w.size() : 0;
}

void encodeAccessResult(Writer& w, const MmsValue* value) {
    if (value != nullptr && MmsValue_getType(value) == MMS_DATA_ACCESS_ERROR) {
        w.writeInteger(context(0), MmsValue_getDataAccessError(value));
        return;
    }
    if (!encodeData(w, value, 0)) w.writeInteger(context(0), DATA_ACCESS_ERROR_TYPE_UNSUPPORTED);
}

void encodeWriteResult(Writer& w, MmsDataAccessError error) {
    if (error == DATA_ACCESS_ERROR_SUCCESS)
        w.writeNull(context(1));
    else
        w.writeInteger(context(0), error);
}

MmsValuePtr decodeMmsData(const Tlv& tlv, unsigned depth) { return decodeData(tlv, depth); }

MmsValuePtr decodeAccessResult(const Tlv& tlv, unsigned depth) {
    if (tlv.is(TagClass::Context, 0)) {
        int64_t code;
        if (tlv.constructed || !decodeInteger(tlv.content, code) || code < 0 ||
            code > DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID)
            return nullptr;
        return MmsValuePtr(MmsValue_newDataAccessError(static_cast<MmsDataAccessError>(code)));
    }
    return decodeData(tlv, depth);
}

}  // namespace ber
