#include "tests/server/MmsRequests.h"

#include <chrono>

namespace mmsreq {
namespace {

constexpr unsigned kGetNameListService = 1;
constexpr unsigned kIdentifyService = 2;
constexpr unsigned kReadService = 4;
constexpr unsigned kWriteService = 5;

void writeVariableName(ber::Writer& w, const std::string& domain, const std::string& item) {
    const size_t list = w.begin(ber::context(0));  // listOfVariable
    const size_t entry = w.begin(ber::universal(16));
    const size_t name = w.begin(ber::context(0));  // the variable, by name
    const size_t specific = w.begin(ber::context(1));  // domain-specific
    w.writeVisibleString(ber::universal(26), domain);
    w.writeVisibleString(ber::universal(26), item);
    w.end(specific);
    w.end(name);
    w.end(entry);
    w.end(list);
}

}  // namespace

std::string domainOf(const std::string& device) { return "FNN_STEUERBOX" + device; }

MmsValuePtr read(mmstest::MmsTestClient& client, const std::string& device, const std::string& item) {
    ber::Writer w;
    const size_t spec = w.begin(ber::context(1));
    writeVariableName(w, domainOf(device), item);
    w.end(spec);
    const auto answer = client.request(kReadService, w.bytes(), true);
    if (!answer || answer->pduTag != 1) return nullptr;
    ber::Reader reader(answer->content);
    ber::Tlv tlv;
    while (reader.next(tlv)) {
        if (!tlv.is(ber::context(1))) continue;  // listOfAccessResult
        ber::Reader results = reader.enter(tlv);
        ber::Tlv first;
        if (!results.next(first)) return nullptr;
        return ber::decodeAccessResult(first, results.depth());
    }
    return nullptr;
}

std::optional<float> readFloat(mmstest::MmsTestClient& client, const std::string& device, const std::string& item) {
    MmsValuePtr value = read(client, device, item);
    if (!value || MmsValue_getType(value.get()) != MMS_FLOAT) return std::nullopt;
    return MmsValue_toFloat(value.get());
}

std::optional<MmsDataAccessError> writeResult(mmstest::MmsTestClient& client, const std::string& device,
                                              const std::string& item, const MmsValue* value) {
    ber::Writer w;
    writeVariableName(w, domainOf(device), item);
    const size_t data = w.begin(ber::context(0));
    if (!ber::encodeMmsData(w, value)) return std::nullopt;
    w.end(data);
    const auto answer = client.request(kWriteService, w.bytes(), true);
    if (!answer || answer->pduTag != 1) return std::nullopt;
    // One result: success is [1] NULL, failure [0] DataAccessError.
    ber::Reader reader(answer->content);
    ber::Tlv tlv;
    if (!reader.next(tlv)) return std::nullopt;
    if (tlv.is(ber::context(1))) return DATA_ACCESS_ERROR_SUCCESS;
    int64_t error = 0;
    if (!tlv.is(ber::context(0)) || !ber::decodeInteger(tlv.content, error)) return std::nullopt;
    return static_cast<MmsDataAccessError>(error);
}

bool write(mmstest::MmsTestClient& client, const std::string& device, const std::string& item, const MmsValue* value) {
    return writeResult(client, device, item, value) == DATA_ACCESS_ERROR_SUCCESS;
}

std::optional<std::vector<std::string>> identify(mmstest::MmsTestClient& client) {
    const auto answer = client.request(kIdentifyService, {}, false);
    if (!answer || answer->pduTag != 1) return std::nullopt;
    std::vector<std::string> fields;
    ber::Reader reader(answer->content);
    ber::Tlv tlv;
    while (reader.next(tlv)) fields.emplace_back(tlv.content.begin(), tlv.content.end());
    return fields;
}

std::optional<std::vector<std::string>> nameList(mmstest::MmsTestClient& client, const std::string& domain) {
    constexpr int kNamedVariable = 0;
    constexpr int kDomain = 9;
    std::vector<std::string> names;
    for (;;) {
        ber::Writer w;
        const size_t objectClass = w.begin(ber::context(0));
        w.writeInteger(ber::context(0), domain.empty() ? kDomain : kNamedVariable);
        w.end(objectClass);
        const size_t scope = w.begin(ber::context(1));
        if (domain.empty()) {
            w.writeNull(ber::context(0));  // vmd-specific
        } else {
            w.writeVisibleString(ber::context(1), domain);  // domain-specific
        }
        w.end(scope);
        if (!names.empty()) w.writeVisibleString(ber::context(2), names.back());  // continueAfter
        const auto answer = client.request(kGetNameListService, w.bytes(), true);
        if (!answer || answer->pduTag != 1) return std::nullopt;
        bool moreFollows = true;
        size_t added = 0;
        ber::Reader reader(answer->content);
        ber::Tlv tlv;
        while (reader.next(tlv)) {
            if (tlv.is(ber::context(0))) {
                ber::Reader identifiers = reader.enter(tlv);
                ber::Tlv id;
                while (identifiers.next(id)) {
                    names.emplace_back(id.content.begin(), id.content.end());
                    ++added;
                }
            } else if (tlv.is(ber::context(1))) {
                moreFollows = !tlv.content.empty() && tlv.content[0] != 0;
            }
        }
        if (!moreFollows || added == 0) return names;
    }
}

std::optional<MmsDataAccessError> operateResult(mmstest::MmsTestClient& client, const std::string& device,
                                                const std::string& node, const std::string& object, bool value) {
    using namespace std::chrono;
    const uint64_t nowMs = static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    MmsValuePtr oper(MmsValue_createEmptyStructure(6));
    MmsValue_setElement(oper.get(), 0, MmsValue_newBoolean(value));
    MmsValue* origin = MmsValue_createEmptyStructure(2);
    MmsValue_setElement(origin, 0, MmsValue_newIntegerFromInt32(3));
    MmsValue_setElement(origin, 1, MmsValue_newOctetString(0, 64));
    MmsValue_setElement(oper.get(), 1, origin);
    MmsValue_setElement(oper.get(), 2, MmsValue_newUnsignedFromUint32(1));
    MmsValue_setElement(oper.get(), 3, MmsValue_newUtcTimeByMsTime(nowMs));
    MmsValue_setElement(oper.get(), 4, MmsValue_newBoolean(false));
    MmsValue_setElement(oper.get(), 5, MmsValue_newBitString(2));
    return writeResult(client, device, node + "$CO$" + object + "$Oper", oper.get());
}

bool operate(mmstest::MmsTestClient& client, const std::string& device, const std::string& node,
             const std::string& object, bool value) {
    return operateResult(client, device, node, object, value) == DATA_ACCESS_ERROR_SUCCESS;
}

}  // namespace mmsreq
