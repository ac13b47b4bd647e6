// MMS server over loopback: sequential reads of one float attribute from one
// client (reads per second, mean and p99 latency), the same with 10 further
// idle associations open, and the resident memory with 100 associations.
// Falls back to Identify when the Read service is not built.
// Last, a bystander's reads while another client's ObtainFile comes in 1-byte
// pieces and the file store holds 20,000 files (median and p99 latency).
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchServer.h"
#include "bench/BenchStats.h"
#include "iec61850/files/file_codec.h"
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

// --- A bystander's read while an upload comes in -----------------------------

constexpr int kStoreFiles = 20000;
constexpr size_t kStoreFileSize = 100;  // 2 MB in all, within the daemon's 4 MB
constexpr uint32_t kUploadSize = 1u << 20;
constexpr int kBystanderReads = 2000;
constexpr auto kBystanderTime = std::chrono::seconds(20);

// Plays the client of one ObtainFile after another on an association of its
// own, on a thread of its own, answering each FileRead of the server with one
// octet, until stopped.
class PieceUploader {
public:
    ~PieceUploader() { stop(); }

    bool start(int port) {
        if (!client_.associate(port)) return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        client_.reset();  // the server drops the running transfer and its temporary
    }
    uint64_t pieces() const { return pieces_; }
    uint64_t refusals() const { return refusals_; }

private:
    void request() {
        const std::string name = "upload-" + std::to_string(uploads_++) + ".bin";
        client_.sendMmsPdu(mmstest::MmsTestClient::confirmedRequest(
            kObtainInvokeId, MMS_SERVICE_OBTAIN_FILE,
            iec61850::files::encodeObtainFileRequest({"client/" + name, name}), true));
    }

    void run() {
        using namespace iec61850::files;
        request();
        uint32_t position = 0;
        while (!stop_) {
            auto pdu = client_.receiveMmsPdu(100);
            if (!pdu) continue;
            if (auto answer = mmstest::MmsTestClient::splitAnswer(*pdu);
                answer && answer->invokeId == kObtainInvokeId && (answer->pduTag == 1 || answer->pduTag == 2)) {
                refusals_ += answer->pduTag == 2;
                if (answer->pduTag == 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                position = 0;
                request();
                continue;
            }
            const auto asked = mmstest::MmsTestClient::splitRequest(*pdu);
            if (!asked) continue;
            using mmstest::MmsTestClient;
            if (asked->service == MMS_SERVICE_FILE_OPEN) {
                client_.sendMmsPdu(MmsTestClient::confirmedResponse(
                    asked->invokeId, asked->service, encodeFileOpenResponse({3, {kUploadSize, 1796897317}}), true));
            } else if (asked->service == MMS_SERVICE_FILE_READ) {
                const uint8_t piece[1] = {'p'};
                ++position;
                ++pieces_;
                client_.sendMmsPdu(MmsTestClient::confirmedResponse(
                    asked->invokeId, asked->service, encodeFileReadResponse(piece, position < kUploadSize), true));
            } else {
                client_.sendMmsPdu(MmsTestClient::confirmedResponse(asked->invokeId, asked->service, {}, false));
            }
        }
    }

    static constexpr uint32_t kObtainInvokeId = 1;
    mmstest::MmsTestClient client_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> pieces_{0};
    std::atomic<uint64_t> refusals_{0};
    int uploads_ = 0;
};

void bystanderWhileUploading(const Service& service) {
    // The files are there before the server starts, as after a restart.
    const std::filesystem::path many = "vmd-filestore/many";
    std::filesystem::create_directories(many);
    const std::string content(kStoreFileSize, 'f');
    for (int i = 0; i < kStoreFiles; ++i) std::ofstream(many / ('f' + std::to_string(i))) << content;

    IedServer server = nullptr;
    int port = 0;
    std::unique_ptr<mmstest::ServerLoop> loop;
    mmstest::MmsTestClient bystander;
    if (!bench::startServerWithClient(server, port, loop, bystander)) return;
    FilestoreLimits limits;
    limits.maxTotalBytes = 64u * 1024u * 1024u;
    limits.reservedFreeBytes = 0;
    limits.maxFiles = 100000;  // the upload runs: the figure is the store's accounting
    IedServer_setFilestoreLimits(server, limits);

    PieceUploader uploader;
    if (!uploader.start(port)) {
        std::printf("uploader association failed\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> ms;
    const uint64_t piecesBefore = uploader.pieces();
    const auto begin = Clock::now();
    while (static_cast<int>(ms.size()) < kBystanderReads && Clock::now() - begin < kBystanderTime) {
        const auto t0 = Clock::now();
        auto a = bystander.request(service.tag, service.content, service.constructed, 10000);
        if (!a || a->pduTag != 1) {
            std::printf("bystander request %zu failed\n", ms.size());
            break;
        }
        ms.push_back(benchstats::msSince(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const uint64_t pieces = uploader.pieces() - piecesBefore;
    uploader.stop();
    std::printf("bystander %s, upload in 1-byte pieces, %d files in the store: median %.3f ms   p99 %.3f ms"
                "   (%zu %s, %.0f pieces/s, %llu uploads refused)\n",
                service.name, kStoreFiles, benchstats::median(ms), benchstats::percentile(ms, 0.99), ms.size(),
                service.name, static_cast<double>(pieces) / seconds,
                static_cast<unsigned long long>(uploader.refusals()));
    loop.reset();
    IedServer_destroy(server);
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
    idle.clear();

    bystanderWhileUploading(service);
    return 0;
}
