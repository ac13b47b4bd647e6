// Coding of the MMS file-management services.
//
//   FileDirectory-Request  ::= SEQUENCE { fileSpec [0] IMPLICIT FileName OPTIONAL,
//                                         continueAfter [1] IMPLICIT FileName OPTIONAL }
//   FileDirectory-Response ::= SEQUENCE { listOfDirectoryEntry [0] SEQUENCE OF DirectoryEntry,
//                                         moreFollows [1] IMPLICIT BOOLEAN DEFAULT FALSE }
//   DirectoryEntry         ::= SEQUENCE { fileName [0] IMPLICIT FileName,
//                                         fileAttributes [1] IMPLICIT FileAttributes }
//   FileAttributes         ::= SEQUENCE { sizeOfFile [0] IMPLICIT Unsigned32,
//                                         lastModified [1] IMPLICIT GeneralizedTime OPTIONAL }
//   FileOpen-Request       ::= SEQUENCE { fileName [0] IMPLICIT FileName,
//                                         initialPosition [1] IMPLICIT Unsigned32 }
//   FileOpen-Response      ::= SEQUENCE { frsmID [0] IMPLICIT Integer32,
//                                         fileAttributes [1] IMPLICIT FileAttributes }
//   FileRead-Request       ::= Integer32 (FRSM id)
//   FileRead-Response      ::= SEQUENCE { fileData [0] IMPLICIT OCTET STRING,
//                                         moreFollows [1] IMPLICIT BOOLEAN DEFAULT TRUE }
//   FileClose-Request      ::= Integer32 (FRSM id)
//   FileDelete-Request     ::= FileName
//   FileRename-Request     ::= SEQUENCE { currentFileName [0] IMPLICIT FileName,
//                                         newFileName [1] IMPLICIT FileName }
//   ObtainFile-Request     ::= SEQUENCE { sourceFileServer [0] IMPLICIT ApplicationReference OPTIONAL,
//                                         sourceFile [1] IMPLICIT FileName,
//                                         destinationFile [2] IMPLICIT FileName }
//   FileName               ::= SEQUENCE OF GraphicString
//
// listOfDirectoryEntry is tagged explicitly, so its SEQUENCE OF keeps its
// own universal tag inside [0].
#include "iec61850/files/file_codec.h"

#include <ctime>

#include "iec61850/mms/ber.h"

namespace iec61850::files {

namespace {

constexpr ber::Tag kGraphicString = ber::universal(ber::kUniversalGraphicString);
constexpr ber::Tag kSequence = ber::universal(ber::kUniversalSequence);
constexpr size_t kGeneralizedTimeMinLength = 15;  // YYYYMMDDhhmmssZ

// Joins the GraphicString components of a FileName with "/".
DecodeStatus decodeFileNameContent(std::span<const uint8_t> content, unsigned depth, std::string& out) {
    out.clear();
    ber::Reader reader(content, depth);
    ber::Tlv tlv;
    bool first = true;
    while (reader.next(tlv)) {
        if (!tlv.is(kGraphicString) || tlv.constructed) return DecodeStatus::Malformed;
        if (!first) out += '/';
        first = false;
        for (uint8_t c : tlv.content) {
            // Control characters are no part of a file name (and must not
            // reach log lines).
            if (c < 0x20 || c == 0x7F) return DecodeStatus::BadName;
            out += static_cast<char>(c);
        }
        if (out.size() > kMaxFileNameLength) return DecodeStatus::BadName;
    }
    return reader.ok() ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

DecodeStatus decodeFileName(const ber::Reader& parent, const ber::Tlv& tlv, std::string& out) {
    if (!tlv.constructed) return DecodeStatus::Malformed;
    return decodeFileNameContent(tlv.content, parent.depth() + 1, out);
}

bool decodeUnsigned32(const ber::Tlv& tlv, uint32_t& out) {
    uint64_t v = 0;
    if (tlv.constructed || !ber::decodeUnsigned(tlv.content, v) || v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool decodeInteger32(std::span<const uint8_t> content, int32_t& out) {
    int64_t v = 0;
    if (!ber::decodeInteger(content, v) || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

void writeFileName(ber::Writer& w, ber::Tag tag, const std::string& name) {
    size_t m = w.begin(tag);
    w.writePrimitive(kGraphicString,
                     std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
    w.end(m);
}

void writeFileAttributes(ber::Writer& w, ber::Tag tag, const FileAttributes& attributes) {
    size_t m = w.begin(tag);
    w.writeUnsigned(ber::context(0), attributes.size > UINT32_MAX ? UINT32_MAX : attributes.size);
    std::string time = generalizedTime(attributes.lastModified);
    w.writePrimitive(ber::context(1),
                     std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(time.data()), time.size()));
    w.end(m);
}

bool parseDigits(std::span<const uint8_t> text, size_t at, size_t count, int& out) {
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

// "YYYYMMDDhhmmss[.fff]Z" -> seconds since the epoch.
bool parseGeneralizedTime(std::span<const uint8_t> text, int64_t& out) {
    if (text.size() < kGeneralizedTimeMinLength || text.back() != 'Z') return false;
    std::tm tm{};
    int year = 0, month = 0;
    if (!parseDigits(text, 0, 4, year) || !parseDigits(text, 4, 2, month) || !parseDigits(text, 6, 2, tm.tm_mday) ||
        !parseDigits(text, 8, 2, tm.tm_hour) || !parseDigits(text, 10, 2, tm.tm_min) ||
        !parseDigits(text, 12, 2, tm.tm_sec)) {
        return false;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    out = static_cast<int64_t>(timegm(&tm));
    return true;
}

DecodeStatus decodeFileAttributes(const ber::Reader& parent, const ber::Tlv& tlv, FileAttributes& out) {
    if (!tlv.constructed) return DecodeStatus::Malformed;
    ber::Reader reader = parent.enter(tlv);
    ber::Tlv item;
    bool haveSize = false;
    while (reader.next(item)) {
        if (item.is(ber::context(0))) {
            uint32_t size = 0;
            if (!decodeUnsigned32(item, size)) return DecodeStatus::Malformed;
            out.size = size;
            haveSize = true;
        } else if (item.is(ber::context(1))) {
            if (!parseGeneralizedTime(item.content, out.lastModified)) return DecodeStatus::Malformed;
        }
    }
    return reader.ok() && haveSize ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

// Decodes a SEQUENCE of context-tagged FileNames; names[i] receives tag i.
// Unknown or repeated tags are malformed.
DecodeStatus decodeNamedFileNames(std::span<const uint8_t> content, std::span<std::optional<std::string>> names,
                                  uint32_t firstTag) {
    ber::Reader reader(content);
    ber::Tlv tlv;
    while (reader.next(tlv)) {
        if (tlv.cls != ber::TagClass::Context || tlv.number < firstTag || tlv.number - firstTag >= names.size()) {
            return DecodeStatus::Malformed;
        }
        auto& slot = names[tlv.number - firstTag];
        if (slot.has_value()) return DecodeStatus::Malformed;
        std::string name;
        DecodeStatus status = decodeFileName(reader, tlv, name);
        if (status != DecodeStatus::Ok) return status;
        slot = std::move(name);
    }
    return reader.ok() ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

}  // namespace

DecodeStatus decodeFileDirectoryRequest(std::span<const uint8_t> content, FileDirectoryRequest& out) {
    std::optional<std::string> names[2];
    DecodeStatus status = decodeNamedFileNames(content, names, 0);
    if (status != DecodeStatus::Ok) return status;
    out.fileSpec = std::move(names[0]);
    out.continueAfter = std::move(names[1]);
    return DecodeStatus::Ok;
}

DecodeStatus decodeFileOpenRequest(std::span<const uint8_t> content, FileOpenRequest& out) {
    ber::Reader reader(content);
    ber::Tlv tlv;
    bool haveName = false, havePosition = false;
    while (reader.next(tlv)) {
        if (tlv.is(ber::context(0)) && !haveName) {
            DecodeStatus status = decodeFileName(reader, tlv, out.name);
            if (status != DecodeStatus::Ok) return status;
            haveName = true;
        } else if (tlv.is(ber::context(1)) && !havePosition) {
            if (!decodeUnsigned32(tlv, out.initialPosition)) return DecodeStatus::Malformed;
            havePosition = true;
        } else {
            return DecodeStatus::Malformed;
        }
    }
    return reader.ok() && haveName && havePosition ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

DecodeStatus decodeFrsmId(std::span<const uint8_t> content, int32_t& out) {
    return decodeInteger32(content, out) ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

DecodeStatus decodeFileDeleteRequest(std::span<const uint8_t> content, std::string& name) {
    return decodeFileNameContent(content, 0, name);
}

DecodeStatus decodeFileRenameRequest(std::span<const uint8_t> content, FileRenameRequest& out) {
    std::optional<std::string> names[2];
    DecodeStatus status = decodeNamedFileNames(content, names, 0);
    if (status != DecodeStatus::Ok) return status;
    if (!names[0] || !names[1]) return DecodeStatus::Malformed;
    out.currentName = std::move(*names[0]);
    out.newName = std::move(*names[1]);
    return DecodeStatus::Ok;
}

DecodeStatus decodeObtainFileRequest(std::span<const uint8_t> content, ObtainFileRequest& out) {
    // sourceFileServer [0] names a third party; this server only pulls from
    // the requesting client itself.
    std::optional<std::string> names[2];
    DecodeStatus status = decodeNamedFileNames(content, names, 1);
    if (status != DecodeStatus::Ok) return status;
    if (!names[0] || !names[1]) return DecodeStatus::Malformed;
    out.sourceFile = std::move(*names[0]);
    out.destinationFile = std::move(*names[1]);
    return DecodeStatus::Ok;
}

std::vector<uint8_t> encodeDirectoryEntry(const DirectoryEntry& entry) {
    ber::Writer w;
    size_t m = w.begin(kSequence);
    writeFileName(w, ber::context(0), entry.name);
    writeFileAttributes(w, ber::context(1), entry.attributes);
    w.end(m);
    return w.take();
}

std::vector<uint8_t> encodeFileDirectoryResponse(const std::vector<std::vector<uint8_t>>& entries, bool moreFollows) {
    ber::Writer w;
    size_t list = w.begin(ber::context(0));
    size_t sequence = w.begin(kSequence);
    for (const auto& entry : entries) w.writeRaw(entry);
    w.end(sequence);
    w.end(list);
    if (moreFollows) w.writeBoolean(ber::context(1), true);
    return w.take();
}

std::vector<uint8_t> encodeFileOpenResponse(const FileOpenResponse& response) {
    ber::Writer w;
    w.writeInteger(ber::context(0), response.frsmId);
    writeFileAttributes(w, ber::context(1), response.attributes);
    return w.take();
}

std::vector<uint8_t> encodeFileReadResponse(std::span<const uint8_t> data, bool moreFollows) {
    ber::Writer w;
    w.writeOctetString(ber::context(0), data);
    w.writeBoolean(ber::context(1), moreFollows);
    return w.take();
}

std::vector<uint8_t> encodeFileOpenRequest(const FileOpenRequest& request) {
    ber::Writer w;
    writeFileName(w, ber::context(0), request.name);
    w.writeUnsigned(ber::context(1), request.initialPosition);
    return w.take();
}

std::vector<uint8_t> encodeFrsmId(int32_t frsmId) {
    ber::Writer w;
    w.writeInteger(ber::universal(ber::kUniversalInteger), frsmId);
    ber::Tlv tlv;
    if (!ber::decodeSingle(w.bytes(), tlv)) return {};
    return {tlv.content.begin(), tlv.content.end()};
}

DecodeStatus decodeFileOpenResponse(std::span<const uint8_t> content, FileOpenResponse& out) {
    ber::Reader reader(content);
    ber::Tlv tlv;
    bool haveId = false, haveAttributes = false;
    while (reader.next(tlv)) {
        if (tlv.is(ber::context(0)) && !tlv.constructed && !haveId) {
            if (!decodeInteger32(tlv.content, out.frsmId)) return DecodeStatus::Malformed;
            haveId = true;
        } else if (tlv.is(ber::context(1)) && !haveAttributes) {
            if (decodeFileAttributes(reader, tlv, out.attributes) != DecodeStatus::Ok) return DecodeStatus::Malformed;
            haveAttributes = true;
        } else {
            return DecodeStatus::Malformed;
        }
    }
    return reader.ok() && haveId && haveAttributes ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

DecodeStatus decodeFileReadResponse(std::span<const uint8_t> content, FileReadResponse& out) {
    ber::Reader reader(content);
    ber::Tlv tlv;
    bool haveData = false, haveMore = false;
    out.moreFollows = true;
    while (reader.next(tlv)) {
        if (tlv.is(ber::context(0)) && !tlv.constructed && !haveData) {
            out.data.assign(tlv.content.begin(), tlv.content.end());
            haveData = true;
        } else if (tlv.is(ber::context(1)) && !tlv.constructed && !haveMore) {
            if (!ber::decodeBoolean(tlv.content, out.moreFollows)) return DecodeStatus::Malformed;
            haveMore = true;
        } else {
            return DecodeStatus::Malformed;
        }
    }
    return reader.ok() && haveData ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

std::vector<uint8_t> encodeFileDirectoryRequest(const FileDirectoryRequest& request) {
    ber::Writer w;
    if (request.fileSpec) writeFileName(w, ber::context(0), *request.fileSpec);
    if (request.continueAfter) writeFileName(w, ber::context(1), *request.continueAfter);
    return w.take();
}

std::vector<uint8_t> encodeFileDeleteRequest(const std::string& name) {
    ber::Writer w;
    w.writePrimitive(kGraphicString,
                     std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
    return w.take();
}

std::vector<uint8_t> encodeFileRenameRequest(const FileRenameRequest& request) {
    ber::Writer w;
    writeFileName(w, ber::context(0), request.currentName);
    writeFileName(w, ber::context(1), request.newName);
    return w.take();
}

std::vector<uint8_t> encodeObtainFileRequest(const ObtainFileRequest& request) {
    ber::Writer w;
    writeFileName(w, ber::context(1), request.sourceFile);
    writeFileName(w, ber::context(2), request.destinationFile);
    return w.take();
}

DecodeStatus decodeFileDirectoryResponse(std::span<const uint8_t> content, FileDirectoryResponse& out) {
    out = {};
    ber::Reader reader(content);
    ber::Tlv tlv;
    bool haveList = false;
    while (reader.next(tlv)) {
        if (tlv.is(ber::context(0)) && tlv.constructed && !haveList) {
            haveList = true;
            ber::Reader outer = reader.enter(tlv);
            ber::Tlv sequence;
            if (!outer.next(sequence) || !sequence.is(kSequence) || !outer.atEnd()) return DecodeStatus::Malformed;
            ber::Reader list = outer.enter(sequence);
            ber::Tlv entryTlv;
            while (list.next(entryTlv)) {
                if (!entryTlv.is(kSequence)) return DecodeStatus::Malformed;
                ber::Reader entryReader = list.enter(entryTlv);
                DirectoryEntry entry;
                ber::Tlv field;
                bool haveName = false, haveAttributes = false;
                while (entryReader.next(field)) {
                    if (field.is(ber::context(0)) && !haveName) {
                        if (decodeFileName(entryReader, field, entry.name) != DecodeStatus::Ok) {
                            return DecodeStatus::Malformed;
                        }
                        haveName = true;
                    } else if (field.is(ber::context(1)) && !haveAttributes) {
                        if (decodeFileAttributes(entryReader, field, entry.attributes) != DecodeStatus::Ok) {
                            return DecodeStatus::Malformed;
                        }
                        haveAttributes = true;
                    } else {
                        return DecodeStatus::Malformed;
                    }
                }
                if (!entryReader.ok() || !haveName) return DecodeStatus::Malformed;
                out.entries.push_back(std::move(entry));
            }
            if (!list.ok()) return DecodeStatus::Malformed;
        } else if (tlv.is(ber::context(1)) && !tlv.constructed) {
            if (!ber::decodeBoolean(tlv.content, out.moreFollows)) return DecodeStatus::Malformed;
        } else {
            return DecodeStatus::Malformed;
        }
    }
    return reader.ok() && haveList ? DecodeStatus::Ok : DecodeStatus::Malformed;
}

}  // namespace iec61850::files
