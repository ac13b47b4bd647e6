// A small command-line MMS client for this daemon, on 127.0.0.1: identify
// the server, list its model, read and write a variable, operate a
// controllable object. One command per call; exit code 0 on success.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ConfigFile.h"
#include "iec61850/mms_value.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/server/MmsRequests.h"

namespace {

constexpr const char* kUsage =
    "usage: mms-client [-p PORT] COMMAND\n"
    "  identify                          vendor, model and revision\n"
    "  list                              the domains (FNN_STEUERBOX + logical device)\n"
    "  list LD                           the variables of a logical device, e.g. CLS1\n"
    "  read LD ITEM                      e.g. read CLS1 'ActPow_GGIO001$MX$AnOut1$mxVal$f'\n"
    "  write LD ITEM TYPE VALUE          TYPE: bool, int, uint, float or utc (ms since the epoch,\n"
    "                                    now or now-MS)\n"
    "  operate LD NODE OBJECT true|false e.g. operate CLS1 EmpWCmd_FSCH030001 EnaReq true\n"
    "PORT defaults to 102.\n";

using Value = MmsValuePtr;

std::string text(const MmsValue* v) {
    if (v == nullptr) return "(none)";
    char buffer[64];
    switch (MmsValue_getType(v)) {
        case MMS_ARRAY:
        case MMS_STRUCTURE: {
            const bool array = MmsValue_getType(v) == MMS_ARRAY;
            std::string out = array ? "[" : "{";
            for (int i = 0; i < MmsValue_getArraySize(v); ++i) {
                if (i) out += ", ";
                out += text(MmsValue_getElement(v, i));
            }
            return out + (array ? "]" : "}");
        }
        case MMS_BOOLEAN:
            return MmsValue_getBoolean(v) ? "true" : "false";
        case MMS_INTEGER:
            std::snprintf(buffer, sizeof buffer, "%" PRId64, MmsValue_toInt64(v));
            return buffer;
        case MMS_UNSIGNED:
            std::snprintf(buffer, sizeof buffer, "%" PRIu32, MmsValue_toUint32(v));
            return buffer;
        case MMS_FLOAT:
            std::snprintf(buffer, sizeof buffer, "%g", MmsValue_toDouble(v));
            return buffer;
        case MMS_UTC_TIME:
            std::snprintf(buffer, sizeof buffer, "%" PRIu64 " ms", MmsValue_getUtcTimeInMs(v));
            return buffer;
        case MMS_BIT_STRING:
            std::snprintf(buffer, sizeof buffer, "bits 0x%" PRIx32, MmsValue_getBitStringAsInteger(v));
            return buffer;
        case MMS_VISIBLE_STRING:
        case MMS_STRING:
            return std::string("\"") + (MmsValue_toString(v) ? MmsValue_toString(v) : "") + "\"";
        default:
            return MmsValue_getTypeString(v);
    }
}

bool parseNumber(const std::string& s, long long& out) {
    errno = 0;
    char* end = nullptr;
    out = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end != s.c_str() && *end == '\0';
}

// The value of a write command; null (with a message) when it does not parse.
Value parseValue(const std::string& type, const std::string& value) {
    long long n = 0;
    if (type == "bool" && (value == "true" || value == "false")) return Value(MmsValue_newBoolean(value == "true"));
    if (type == "int" && parseNumber(value, n)) return Value(MmsValue_newIntegerFromInt64(n));
    if (type == "uint" && parseNumber(value, n) && n >= 0 && n <= UINT32_MAX)
        return Value(MmsValue_newUnsignedFromUint32(static_cast<uint32_t>(n)));
    if (type == "float") {
        char* end = nullptr;
        const float f = std::strtof(value.c_str(), &end);
        if (end != value.c_str() && *end == '\0') return Value(MmsValue_newFloat(f));
    }
    if (type == "utc") {
        using namespace std::chrono;
        const long long now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        if (value == "now") return Value(MmsValue_newUtcTimeByMsTime(static_cast<uint64_t>(now)));
        if (value.rfind("now-", 0) == 0 && parseNumber(value.substr(4), n) && n >= 0 && n <= now)
            return Value(MmsValue_newUtcTimeByMsTime(static_cast<uint64_t>(now - n)));
        if (parseNumber(value, n) && n >= 0) return Value(MmsValue_newUtcTimeByMsTime(static_cast<uint64_t>(n)));
    }
    std::fprintf(stderr, "mms-client: '%s' is no value of type %s\n", value.c_str(), type.c_str());
    return nullptr;
}

int fail(const char* what) {
    std::fprintf(stderr, "mms-client: %s\n", what);
    return 1;
}

// A refused or failed request: the data-access error by name and number.
int failWith(const char* what, std::optional<MmsDataAccessError> error) {
    if (!error) return fail(what);
    std::fprintf(stderr, "mms-client: %s: %s (access error %d)\n", what, MmsDataAccessError_toString(*error),
                 static_cast<int>(*error));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int port = 102;
    if (args.size() >= 2 && args[0] == "-p") {
        const std::optional<int> given = config::parsePort(args[1]);
        if (!given) return fail("-p takes a TCP port");
        port = *given;
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string& command = args[0];
    const size_t count = args.size() - 1;
    const bool known = (command == "identify" && count == 0) || (command == "list" && count <= 1) ||
                       (command == "read" && count == 2) || (command == "write" && count == 4) ||
                       (command == "operate" && count == 4);
    if (!known) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    mmstest::MmsTestClient client;
    if (!client.associate(port)) {
        std::fprintf(stderr, "mms-client: no MMS association with 127.0.0.1:%d\n", port);
        return 1;
    }
    int status = 0;
    if (command == "identify") {
        const auto fields = mmsreq::identify(client);
        if (!fields || fields->size() != 3) return fail("identify failed");
        std::printf("vendor: %s\nmodel: %s\nrevision: %s\n", (*fields)[0].c_str(), (*fields)[1].c_str(),
                    (*fields)[2].c_str());
    } else if (command == "list") {
        const std::string domain = count == 1 ? mmsreq::domainOf(args[1]) : "";
        const auto names = mmsreq::nameList(client, domain);
        if (!names) return fail("listing failed");
        for (const auto& name : *names) std::printf("%s\n", name.c_str());
    } else if (command == "read") {
        const auto value = mmsreq::read(client, args[1], args[2]);
        if (!value) return fail("read failed");
        if (MmsValue_getType(value.get()) == MMS_DATA_ACCESS_ERROR)
            return failWith("read refused", MmsValue_getDataAccessError(value.get()));
        std::printf("%s\n", text(value.get()).c_str());
    } else if (command == "write") {
        const Value value = parseValue(args[3], args[4]);
        if (!value) return 2;
        const auto result = mmsreq::writeResult(client, args[1], args[2], value.get());
        if (result != DATA_ACCESS_ERROR_SUCCESS) return failWith("write refused", result);
        std::printf("written\n");
    } else {
        if (args[4] != "true" && args[4] != "false") return fail("operate takes true or false");
        const auto result = mmsreq::operateResult(client, args[1], args[2], args[3], args[4] == "true");
        if (result != DATA_ACCESS_ERROR_SUCCESS) return failWith("operate refused", result);
        std::printf("operated\n");
    }
    client.release();
    return status;
}
