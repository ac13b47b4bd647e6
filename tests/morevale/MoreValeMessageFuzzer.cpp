// libFuzzer target: one MoreVale message (LPC or MGCP, any bytes) through the
// message handler into a recording sink.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "external/MoreValeMessages.h"
#include "foundation/Logging.h"
#include "tests/morevale/RecordingSink.h"

namespace {

std::string ackTemplate() {
    static const std::string path = [] {
        std::string file = "/tmp/morevale-fuzz-ack-" + std::to_string(::getpid()) + ".json";
        std::ofstream(file) << R"({"data":{"errorNumber":0},"relation":""})";
        return file;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The handler's console and syslog lines would only slow the runs down.
    std::cout.rdbuf(nullptr);
    std::cerr.rdbuf(nullptr);
    setSyslogSinkForTesting([](int, const std::string&) {});
    moreValeLogLevel = 7;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RecordingSink sink;
    MoreValeMessageHandler handler({"ack", ackTemplate()}, sink);
    handler.onMessage("dso/d/gcp/g/lpc/0.4.0/set", reinterpret_cast<const char*>(data), size);
    // One message gives at most one write and one ACK; every written limit
    // and every MGCP interval is sane.
    if (sink.publications.size() > 1 || sink.writes.size() > 1) __builtin_trap();
    for (const auto& w : sink.writes) {
        if (!(w.limitW >= 0.0f) || w.durationSeconds < 1) __builtin_trap();
    }
    for (const auto& m : sink.mgcpRequests) {
        if (m.intervalSeconds < 1) __builtin_trap();
    }
    return 0;
}
