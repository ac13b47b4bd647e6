// MMS server over loopback: sequential reads of one float attribute from one
// client (reads per second, mean and p99 latency), the same with 10 further
// idle associations open, and the resident memory with 100 associations.
// Falls back to Identify when the Read service is not built.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchServer.h"
#include "iec61850/iec61850_server.h"
#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_services.h"
#include "model/StaticModel.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRequests = 20000;
constexpr int kWarmup = 500;

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

std::vector<uint8_t> readRequest(const char* domain, const char* item) {
    ber::Writer w;
    const size_t spec = w.begin(ber::context(1));
    const size_t list = w.begin(ber::context(0));
    const size_t seq = w.begin(ber::universal(16));
    const size_t name = w.begin(ber::context(0));
    const size_t dom = w.begin(ber::context(1));
    w.writeVisibleString(ber::universal(26), domain);
    w.writeVisibleString(ber::universal(26), item);
    w.end(dom);
    w.end(name);
    w.end(seq);
    w.end(list);
    w.end(spec);
    return w.take();
}

struct Service {
    unsigned tag;
    std::vector<uint8_t> content;
    bool constructed;
    const char* name;
};

void run(mmstest::MmsTestClient& client, const Service& s, const char* label) {
    for (int i = 0; i < kWarmup; ++i) client.request(s.tag, s.content, s.constructed);
    std::vector<double> us;
    us.reserve(kRequests);
    const auto begin = Clock::now();
    for (int i = 0; i < kRequests; ++i) {
        const auto t0 = Clock::now();
        auto a = client.request(s.tag, s.content, s.constructed);
        const auto t1 = Clock::now();
        if (!a || a->pduTag != 1) {
            std::printf("%s: request %d failed\n", label, i);
            return;
        }
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    double sum = 0;
    for (double v : us) sum += v;
    std::sort(us.begin(), us.end());
    std::printf("%-34s %8.0f %s/s   mean %6.1f us   p99 %6.1f us\n", label, kRequests / seconds, s.name,
                sum / static_cast<double>(us.size()), us[us.size() * 99 / 100]);
}

}  // namespace

int main() {
    testsupport::TempWorkDir dir;  // the server may write below its working directory
    IedServer server = nullptr;
    int port = 0;
    std::unique_ptr<mmstest::ServerLoop> loop;
    mmstest::MmsTestClient client;
    if (!bench::startServerWithClient(server, port, loop, client)) return 1;
    Service service{MMS_SERVICE_READ, readRequest("FNN_STEUERBOXCLS1", "ActPow_GGIO001$MX$AnOut1$mxVal$f"), true,
                    "reads"};
    auto probe = client.request(service.tag, service.content, service.constructed);
    if (!probe || probe->pduTag != 1) service = Service{MMS_SERVICE_IDENTIFY, {}, false, "identifies"};
    std::printf("service: %s over 127.0.0.1, %d sequential requests\n", service.name, kRequests);

    run(client, service, "one client");

    std::vector<std::unique_ptr<mmstest::MmsTestClient>> idle;
    for (int i = 0; i < 10; ++i) {
        idle.push_back(std::make_unique<mmstest::MmsTestClient>());
        if (!idle.back()->associate(port)) std::printf("idle association %d failed\n", i);
    }
    run(client, service, "with 10 idle associations");

    const long before = residentKb();
    while (idle.size() < 99) {
        idle.push_back(std::make_unique<mmstest::MmsTestClient>());
        if (!idle.back()->associate(port)) std::printf("association %zu failed\n", idle.size());
    }
    const long after = residentKb();
    std::printf("resident memory: %ld kB with 11 associations, %ld kB with 100 (client side included)\n", before,
                after);
    run(client, service, "with 99 idle associations");

    loop.reset();
    IedServer_destroy(server);
    return 0;
}
