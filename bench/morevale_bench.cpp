// MoreVale gateway against a local mosquitto with mutual TLS:
//  - LPC message published -> ACK received: median and p99 over 300 messages
//    (the core is a recording double, so this is the gateway's and the
//    broker's share of the road);
//  - MGCP at interval 1 s over 20 s: the gaps between the messages as the
//    platform receives them, and the CPU time of the sender thread.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchStats.h"
#include "external/ExternalInterfaceMoreVale.h"
#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"
#include "tests/morevale/MoreValeTestSupport.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/RecordingCore.h"
#include "foundation/Logging.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

using benchstats::percentile;

constexpr const char* kPrefix = "dso/dso1/gcp/gcp7/lpc/0.4.0/";

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
        }
        closedir(dir);
    }
    return ids;
}

// CPU time of one thread of this process in ms (the scheduler's run time, in ns).
double threadCpuMs(int tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long runNs = 0;
    stat >> runNs;
    return static_cast<double>(runNs) / 1e6;
}

std::string iso(SteadyClock::duration fromNow) {
    const auto t = std::chrono::system_clock::now() + fromNow;
    return formatUtcIso(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count()));
}

}  // namespace

int main() {
    testsupport::TempWorkDir workDir;
    setSyslogSinkForTesting([](int, const std::string&) {});
    std::ofstream devNull("/dev/null");
    auto* coutBuffer = std::cout.rdbuf(devNull.rdbuf());
    auto* cerrBuffer = std::cerr.rdbuf(devNull.rdbuf());

    testsupport::TestCertificateAuthority ca(workDir.path() / "ca");
    testsupport::BrokerOptions options;
    options.plainListener = false;
    options.tls = testsupport::BrokerTlsListener{ca.caFile(), ca.issueServer("broker", {"localhost"}, {"127.0.0.1"}),
                                                 true};
    testsupport::MosquittoBroker broker(workDir.path() / "broker", options);
    if (!ca.ok() || !broker.start()) {
        std::fprintf(stderr, "broker did not start\n");
        return 1;
    }
    moreValeTest::installGatewayCertificates(workDir.path(), ca.caFile(), ca, "gcp7");
    moreValeTest::writeConfig(workDir, broker.tlsPort(), true);
    workDir.writeFile("/etc/iec/MQTT_morevale/lpc_ack.json", R"({"data":{"errorNumber":0},"relation":""})");
    workDir.writeFile("/etc/iec/MQTT_morevale/mgcp.json", R"({"clsAvailability":{},"states":{}})");

    RecordingCore core;
    IedServer iedServer = IedServer_create(getStaticIedModel());
    core.iedServer = iedServer;
    auto gateway = std::make_unique<ExternalInterfaceMoreVale>(core);
    gateway->startMqttLoop();
    for (auto end = SteadyClock::now() + 10s; !gateway->isConnected() && SteadyClock::now() < end;) {
        std::this_thread::sleep_for(10ms);
    }
    auto platformCert = ca.issueClient("platform", "platform");
    testsupport::MqttTestClient platform(
        "127.0.0.1", broker.tlsPort(),
        testsupport::MqttTestClientOptions::withTls(ca.caFile(), platformCert.certFile, platformCert.keyFile));
    if (!gateway->isConnected() || !platform.connect() || !platform.subscribe(std::string(kPrefix) + "ack") ||
        !platform.subscribe(std::string(kPrefix) + "msg")) {
        std::fprintf(stderr, "gateway or platform not connected\n");
        return 1;
    }
    std::this_thread::sleep_for(200ms);  // the gateway's subscriptions are in place

    // LPC -> ACK.
    std::vector<double> latencies;
    for (int i = 0; i < 300; ++i) {
        json lpc = {{"creationDateTime", iso(0s)},       {"transactionId", "tx-" + std::to_string(i)},
                    {"initialTransactionId", "itx"},     {"gridConnectionPoint", "gcp7"},
                    {"maximumPowerValue", 1.0 + i},      {"unit", "kW"},
                    {"executionTimeFrom", iso(-1min)},   {"executionTimeUntil", iso(59min)}};
        const auto start = SteadyClock::now();
        platform.publish(std::string(kPrefix) + "set", lpc.dump());
        auto ack = platform.waitForMessage(std::string(kPrefix) + "ack", 5s);
        if (!ack) {
            std::fprintf(stderr, "no ACK for message %d\n", i);
            return 1;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }

    // MGCP at 1 s for 20 s.
    const std::set<int> before = threadIds();
    json request = {{"creationDateTime", iso(0s)},   {"transactionId", "mgcp-1"},
                    {"initialTransactionId", "itx"}, {"gridConnectionPoint", "gcp7"},
                    {"requestMGCP", true},           {"interval", 1},
                    {"requestTimeFrom", iso(0s)},    {"requestTimeTo", iso(1h)},
                    {"requiredOBIS", json::array()}, {"optionalOBIS", json::array()},
                    {"clsAvailability", true}};
    platform.publish(std::string(kPrefix) + "req", request.dump());
    std::vector<SteadyClock::time_point> arrivals;
    const auto end = SteadyClock::now() + 20500ms;
    while (SteadyClock::now() < end) {
        if (platform.waitForMessage(std::string(kPrefix) + "msg", 100ms)) arrivals.push_back(SteadyClock::now());
    }
    int senderTid = -1;
    for (int tid : threadIds()) {
        if (!before.count(tid)) senderTid = tid;
    }
    const double senderCpuMs = senderTid > 0 ? threadCpuMs(senderTid) : -1.0;
    gateway.reset();
    IedServer_destroy(iedServer);

    std::vector<double> gaps;
    for (size_t i = 1; i < arrivals.size(); ++i) {
        gaps.push_back(std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
    }
    std::cout.rdbuf(coutBuffer);
    std::cerr.rdbuf(cerrBuffer);
    std::printf("LPC -> ACK over mutual TLS (%zu messages): median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.99),
                percentile(latencies, 1.0));
    if (gaps.empty()) {
        std::printf("MGCP: no messages\n");
        return 1;
    }
    const auto [minGap, maxGap] = std::minmax_element(gaps.begin(), gaps.end());
    std::printf("MGCP at 1 s over 20 s: %zu messages, gaps min %.1f ms, max %.1f ms, median %.1f ms\n",
                arrivals.size(), *minGap, *maxGap, percentile(gaps, 0.5));
    std::printf("MGCP sender thread CPU time over the run: %.1f ms\n", senderCpuMs);
    return 0;
}
