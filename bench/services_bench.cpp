// Variable services over loopback on the real model: sequential reads of one
// float attribute (reads per second, mean and p99 latency), the same with 10
// idle associations, the time to list every name of a CLS domain, reports
// per second from one enabled block while another thread updates a member,
// and the latency from an update to the report's arrival at the client.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchServer.h"
#include "iec61850/iec61850_server.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_services.h"
#include "iec61850/services/variable_services.h"
#include "model/StaticModel.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/services/ServiceTestModel.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReads = 20000;
constexpr int kWarmup = 500;
constexpr int kIdleAssociations = 10;
constexpr int kLatencySamples = 2000;
constexpr auto kFloodTime = std::chrono::seconds(2);

struct Figures {
    double perSecond;
    double meanUs;
    double p99Us;
};

Figures summarize(std::vector<double>& us, double seconds) {
    double sum = 0;
    for (double v : us) sum += v;
    std::sort(us.begin(), us.end());
    return {static_cast<double>(us.size()) / seconds, sum / static_cast<double>(us.size()), us[us.size() * 99 / 100]};
}

void reads(mmstest::MmsTestClient& client, const char* label) {
    std::vector<uint8_t> request = servicetest::readRequest({{"FNN_STEUERBOXCLS1", "ActPow_GGIO001$MX$AnOut1$mxVal$f"}});
    for (int i = 0; i < kWarmup; ++i) client.request(MMS_SERVICE_READ, request, true);
    std::vector<double> us;
    us.reserve(kReads);
    auto begin = Clock::now();
    for (int i = 0; i < kReads; ++i) {
        auto t0 = Clock::now();
        auto answer = client.request(MMS_SERVICE_READ, request, true);
        if (!answer || answer->pduTag != 1) {
            std::printf("%s: read %d failed\n", label, i);
            return;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    Figures f = summarize(us, std::chrono::duration<double>(Clock::now() - begin).count());
    std::printf("%-40s %9.0f reads/s   mean %6.1f us   p99 %6.1f us\n", label, f.perSecond, f.meanUs, f.p99Us);
}

// Pages through the named variables of a domain; the number of names.
size_t listNames(mmstest::MmsTestClient& client, const std::string& domain, int& pages) {
    size_t count = 0;
    std::string after;
    pages = 0;
    while (true) {
        auto answer =
            client.request(MMS_SERVICE_GET_NAME_LIST, servicetest::getNameListRequest(0, domain, after), true);
        if (!answer || answer->pduTag != 1) return count;
        ++pages;
        servicetest::NameListPage page = servicetest::decodeNameList(answer->content);
        count += page.names.size();
        if (!page.moreFollows || page.names.empty()) return count;
        after = page.names.back();
    }
}

bool isReport(const std::vector<uint8_t>& pdu) { return !pdu.empty() && pdu[0] == 0xA3; }

}  // namespace

int main() {
    testsupport::TempWorkDir dir;
    IedServer server = nullptr;
    int port = 0;
    std::unique_ptr<mmstest::ServerLoop> loop;
    mmstest::MmsTestClient client;
    if (!bench::startServerWithClient(server, port, loop, client)) return 1;
    std::printf("variable services on FNN_STEUERBOX over 127.0.0.1\n");

    // The service alone, without transport: what one read costs the loop.
    {
        auto* state = static_cast<ServicesState*>(server->services.get());
        std::vector<uint8_t> request = servicetest::readRequest({{"FNN_STEUERBOXCLS1", "ActPow_GGIO001$MX$AnOut1$mxVal$f"}});
        MmsServiceContext ctx{server, nullptr, 1, 65000};
        constexpr int kCalls = 200000;
        auto t0 = Clock::now();
        for (int i = 0; i < kCalls; ++i) (void)state->variables.read(ctx, request);
        double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kCalls;
        std::printf("%-40s %9.2f us per read\n", "read service alone (in process)", us);
    }
    reads(client, "reads, one client");
    std::vector<std::unique_ptr<mmstest::MmsTestClient>> idle;
    for (int i = 0; i < kIdleAssociations; ++i) {
        idle.push_back(std::make_unique<mmstest::MmsTestClient>());
        if (!idle.back()->associate(port)) std::printf("idle association %d failed\n", i);
    }
    reads(client, "reads, with 10 idle associations");

    for (const char* round : {"first listing (names built)", "second listing"}) {
        int pages = 0;
        auto t0 = Clock::now();
        size_t names = listNames(client, "FNN_STEUERBOXCLS2", pages);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        std::printf("%-40s %9zu names in %d pages, %7.1f ms\n", round, names, pages, ms);
    }

    // Reports: CLS1 block enabled; TotW.mag.f (dupd) updated from this thread.
    MmsValuePtr on(MmsValue_newBoolean(true));
    auto enable = client.request(
        MMS_SERVICE_WRITE, servicetest::writeRequest("FNN_STEUERBOXCLS1", "LLN0$RP$reportControl0101$RptEna", on.get()),
        true);
    if (!enable || enable->pduTag != 1) {
        std::printf("report block could not be enabled\n");
        return 1;
    }
    ModelNode* node = IedModel_getDeviceByInst(server->model, "CLS1");
    for (const char* name : {"MMXU001", "TotW", "mag", "f"}) node = node ? ModelNode_getChild(node, name) : nullptr;
    auto* totW = static_cast<DataAttribute*>(node);

    std::vector<double> latency;
    for (int i = 0; i < kLatencySamples; ++i) {
        auto t0 = Clock::now();
        IedServer_updateFloatAttributeValue(server, totW, static_cast<float>(i));
        auto pdu = client.receiveMmsPdu(1000);
        if (!pdu || !isReport(*pdu)) {
            std::printf("no report for update %d\n", i);
            break;
        }
        latency.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    if (!latency.empty()) {
        Figures f = summarize(latency, 1.0);
        std::printf("%-40s %9s            mean %6.1f us   p99 %6.1f us\n", "update to report", "", f.meanUs, f.p99Us);
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> updates{0};
    std::thread writer([&] {
        float v = 0;
        while (!stop.load()) {
            IedServer_updateFloatAttributeValue(server, totW, v += 1.0F);
            ++updates;
        }
    });
    uint64_t received = 0;
    auto begin = Clock::now();
    while (Clock::now() - begin < kFloodTime) {
        auto pdu = client.receiveMmsPdu(200);
        if (pdu && isReport(*pdu)) ++received;
    }
    stop = true;
    writer.join();
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    uint64_t dropped = 0;
    if (auto* state = static_cast<ServicesState*>(server->services.get())) dropped = state->variables.reports().droppedReports();
    std::printf("%-40s %9.0f reports/s  (%llu updates/s, %llu folded into later reports)\n", "reports while a thread updates",
                static_cast<double>(received) / seconds, static_cast<unsigned long long>(updates.load() / seconds),
                static_cast<unsigned long long>(dropped));

    while (client.receiveMmsPdu(100)) {
    }
    client.release();
    for (auto& c : idle) c->release();
    loop.reset();
    IedServer_destroy(server);
    return 0;
}
