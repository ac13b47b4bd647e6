// The MMS protocol machine over real loopback TCP: association, Identify,
// dispatch to registered services, the connection limit, the indication
// handler and the answers to malformed input at every layer.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "MmsTestClient.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_server.h"
#include "iec61850/mms/mms_services.h"
#include "tests/support/TestSupport.h"

using mmstest::Answer;
using mmstest::Bytes;
using mmstest::fromHex;
using mmstest::MmsTestClient;
using mmstest::ServerLoop;

namespace {

Bytes kCrBytes() { return fromHex("0300001611e00000000100c0010dc2020001c1020001"); }

IedModel* emptyModel() {
    static IedModel model{"TEST", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &model;
}

struct ServerDeleter {
    void operator()(sIedServer* s) const { IedServer_destroy(s); }
};
using ServerPtr = std::unique_ptr<sIedServer, ServerDeleter>;

// Reads the three strings of an Identify response content.
std::vector<std::string> identifyStrings(const Bytes& content) {
    std::vector<std::string> out;
    ber::Reader r(content);
    ber::Tlv t;
    while (r.next(t)) out.emplace_back(t.content.begin(), t.content.end());
    return out;
}

class MmsServerTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        server.reset(IedServer_create(emptyModel()));
        ASSERT_NE(server, nullptr);
        IedServer_setServerIdentity(server.get(), "Tavelmarck", "generic libIEC", "1.5");
    }
    // Registers services before the loop runs, then starts it.
    void start() {
        port = testsupport::freeLoopbackPort();
        ASSERT_TRUE(MmsServer_startListening(server.get(), port));
        ASSERT_TRUE(IedServer_isRunning(server.get()));
        loop = std::make_unique<ServerLoop>(server.get());
    }
    void TearDown() override {
        loop.reset();
        server.reset();
    }
    // Stops the loop when it leaves scope. Declared after the locals that a
    // test's hooks and handlers capture, it keeps the loop thread from
    // running them after those locals are gone (also on an early ASSERT exit).
    struct LoopStop {
        MmsServerTest* test;
        ~LoopStop() { test->loop.reset(); }
    };
    LoopStop stopLoopAtScopeEnd() { return LoopStop{this}; }

    void associateMany(int count, std::vector<std::unique_ptr<MmsTestClient>>& clients) {
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<MmsTestClient>());
            ASSERT_TRUE(clients.back()->associate(port)) << i;
        }
    }

    ServerPtr server;
    std::unique_ptr<ServerLoop> loop;
    int port = 0;
};

TEST_F(MmsServerTest, IdentifyAnswersTheServerIdentity) {
    struct Row {
        const char* vendor;
        const char* model;
        const char* revision;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"Tavelmarck", "generic libIEC", "1.5", {"Tavelmarck", "generic libIEC", "1.5"}},
        {"", "", "", {"", "", ""}},
        {nullptr, "m", "r", {"", "m", "r"}},
        {"tab\tand\xc3\xa4", "x", "y", {"tab?and??", "x", "y"}},  // VisibleString keeps printable ASCII only
    };
    start();
    for (const auto& row : rows) {
        IedServer_setServerIdentity(server.get(), row.vendor, row.model, row.revision);
        MmsTestClient client;
        ASSERT_TRUE(client.associate(port));
        auto a = client.request(MMS_SERVICE_IDENTIFY, {}, false);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->pduTag, 1u);
        EXPECT_EQ(a->serviceTag, MMS_SERVICE_IDENTIFY);
        EXPECT_EQ(identifyStrings(a->content), row.expected);
        EXPECT_TRUE(client.release());
        EXPECT_TRUE(client.waitClosed());
    }
}

TEST_F(MmsServerTest, InitiateNegotiatesPduSizeAndNamesRegisteredServices) {
    MmsServer_registerService(server.get(), MMS_SERVICE_READ,
                              [](MmsServiceContext&, std::span<const uint8_t>, bool) {
                                  return MmsServiceResult::response({});
                              });
    start();
    struct Row {
        int32_t proposed;
        int64_t expected;
    };
    for (const Row row : {Row{65000, 65000}, Row{1000, 1000}, Row{100000, 65000}, Row{0, 65000}}) {
        MmsTestClient client;
        ASSERT_TRUE(client.associate(port, row.proposed));
        // initiate-ResponsePDU [9] { [0] localDetailCalled ... [4] { [0] version [1] CBB [2] services } }
        ber::Tlv init, el;
        ASSERT_TRUE(ber::decodeSingle(client.initiateResponse(), init));
        EXPECT_TRUE(init.is(ber::TagClass::Context, 9));
        ber::Reader r(init.content);
        ASSERT_TRUE(r.next(el));
        int64_t detail = 0;
        ASSERT_TRUE(ber::decodeInteger(el.content, detail));
        EXPECT_EQ(detail, row.expected) << row.proposed;
        ber::Tlv services;
        while (r.next(el)) {
            if (!el.is(ber::TagClass::Context, 4)) continue;
            ber::Reader d(el.content);
            while (d.next(services)) {
            }
        }
        std::vector<uint8_t> bits;
        int count = 0;
        ASSERT_TRUE(ber::decodeBitString(services.content, bits, count));
        ASSERT_EQ(count, 93);
        EXPECT_TRUE(client.supportsService(MMS_SERVICE_IDENTIFY));
        EXPECT_TRUE(client.supportsService(MMS_SERVICE_READ));
        EXPECT_FALSE(client.supportsService(MMS_SERVICE_WRITE));
        EXPECT_FALSE(client.supportsService(MMS_SERVICE_FILE_OPEN));
    }
}

TEST_F(MmsServerTest, DispatchesRegisteredServicesAndRejectsOthers) {
    std::atomic<uint32_t> seenPduSize{0};
    MmsServer_registerService(server.get(), MMS_SERVICE_READ,
                              [&](MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed) {
                                  seenPduSize = ctx.maxPduSize;
                                  if (!constructed) return MmsServiceResult::reject(4);
                                  if (content.size() == 1) return MmsServiceResult::error(7, 2);
                                  return MmsServiceResult::response(Bytes(content.begin(), content.end()));
                              });
    MmsServer_registerService(server.get(), MMS_SERVICE_WRITE,
                              [](MmsServiceContext&, std::span<const uint8_t>, bool) -> MmsServiceResult {
                                  throw std::runtime_error("handler fault");
                              });
    MmsServer_registerService(server.get(), MMS_SERVICE_GET_NAME_LIST,
                              [](MmsServiceContext& ctx, std::span<const uint8_t>, bool) {
                                  return MmsServiceResult::response(Bytes(ctx.maxPduSize, 0x00), false);
                              });
    start();
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port, 4000));

    struct Row {
        const char* what;
        unsigned service;
        Bytes content;
        bool constructed;
        uint32_t pduTag;
        int detailA;  // response: service tag; error: class; reject: type
        int detailB;  // error: code; reject: code
    };
    const Row rows[] = {
        {"echoed response", MMS_SERVICE_READ, {0x80, 0x00}, true, 1, MMS_SERVICE_READ, -1},
        {"service error", MMS_SERVICE_READ, {0x05}, true, 2, 7, 2},
        {"service reject", MMS_SERVICE_READ, {}, false, 4, 1, 4},
        {"handler exception", MMS_SERVICE_WRITE, {}, true, 2, 4, 0},
        {"answer above the PDU size", MMS_SERVICE_GET_NAME_LIST, {}, true, 2, 4, 3},
        {"unregistered service", MMS_SERVICE_FILE_OPEN, {}, true, 4, 1, 1},
        {"unknown high tag", 200, {}, false, 4, 1, 1},
    };
    for (const auto& row : rows) {
        auto a = client.request(row.service, row.content, row.constructed);
        ASSERT_TRUE(a) << row.what;
        EXPECT_EQ(a->pduTag, row.pduTag) << row.what;
        if (row.pduTag == 1) {
            EXPECT_EQ(static_cast<int>(a->serviceTag), row.detailA) << row.what;
            EXPECT_EQ(a->content, row.content) << row.what;
        } else if (row.pduTag == 2) {
            EXPECT_EQ(a->errorClass, row.detailA) << row.what;
            EXPECT_EQ(a->errorCode, row.detailB) << row.what;
        } else {
            EXPECT_EQ(a->rejectType, row.detailA) << row.what;
            EXPECT_EQ(a->rejectCode, row.detailB) << row.what;
        }
    }
    EXPECT_EQ(seenPduSize.load(), 4000u);
    EXPECT_TRUE(client.release());
}

// A handler that defers its answer: the request stays open while others are
// served, its answer goes out once under its own invoke id, and nothing goes
// out once the association has ended.
TEST_F(MmsServerTest, DeferredAnswersGoOutOnceWhileTheAssociationLasts) {
    std::vector<uint32_t> deferred;
    sMmsServerConnection* connection = nullptr;
    MmsServer_registerService(server.get(), MMS_SERVICE_READ,
                              [&](MmsServiceContext& ctx, std::span<const uint8_t>, bool) {
                                  connection = ctx.connection;
                                  deferred.push_back(ctx.invokeId);
                                  return MmsServiceResult::deferred();
                              });
    start();
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));
    // From here the test thread runs the server loop, so it may answer.
    loop.reset();
    auto pump = [&] {
        for (int pass = 0; pass < 3; ++pass) {
            IedServer_waitReady(server.get(), 20);
            IedServer_processIncomingData(server.get());
            IedServer_performPeriodicTasks(server.get());
        }
    };
    auto next = [&]() -> Answer {
        pump();
        auto pdu = client.receiveMmsPdu(200);
        if (!pdu) return Answer{};
        return MmsTestClient::splitAnswer(*pdu).value_or(Answer{});
    };
    const Bytes read = {0xa0, 0x00};
    ASSERT_TRUE(client.sendMmsPdu(MmsTestClient::confirmedRequest(100, MMS_SERVICE_READ, read, true)));
    ASSERT_TRUE(client.sendMmsPdu(MmsTestClient::confirmedRequest(101, MMS_SERVICE_READ, read, true)));
    pump();
    ASSERT_EQ(deferred, (std::vector<uint32_t>{100, 101}));
    EXPECT_FALSE(client.receiveMmsPdu(50)) << "no answer before the handler gives one";

    // Other requests are served meanwhile; a second request under an open
    // invoke id is rejected (invalid invoke id) without reaching the handler.
    ASSERT_TRUE(client.sendMmsPdu(MmsTestClient::confirmedRequest(7, MMS_SERVICE_IDENTIFY, {}, false)));
    Answer identify = next();
    EXPECT_EQ(identify.pduTag, 1u);
    EXPECT_EQ(identify.invokeId, 7u);
    ASSERT_TRUE(client.sendMmsPdu(MmsTestClient::confirmedRequest(100, MMS_SERVICE_READ, read, true)));
    Answer duplicate = next();
    EXPECT_EQ(duplicate.pduTag, 4u);
    EXPECT_EQ(duplicate.rejectType, 1);
    EXPECT_EQ(duplicate.rejectCode, 3);
    EXPECT_EQ(deferred.size(), 2u);

    // The answers, in any order, each once and only under its service.
    EXPECT_TRUE(MmsServerConnection_sendServiceResult(connection, 101, MMS_SERVICE_READ,
                                                      MmsServiceResult::response({0x80, 0x01, 0x2a})));
    Answer later = next();
    EXPECT_EQ(later.pduTag, 1u);
    EXPECT_EQ(later.invokeId, 101u);
    EXPECT_EQ(later.serviceTag, MMS_SERVICE_READ);
    EXPECT_EQ(later.content, (Bytes{0x80, 0x01, 0x2a}));
    EXPECT_FALSE(MmsServerConnection_sendServiceResult(connection, 101, MMS_SERVICE_READ,
                                                       MmsServiceResult::response({})));
    EXPECT_FALSE(MmsServerConnection_sendServiceResult(connection, 100, MMS_SERVICE_WRITE,
                                                       MmsServiceResult::response({})));
    EXPECT_FALSE(MmsServerConnection_sendServiceResult(connection, 999, MMS_SERVICE_READ,
                                                       MmsServiceResult::response({})));
    EXPECT_FALSE(MmsServerConnection_sendServiceResult(connection, 100, MMS_SERVICE_READ,
                                                       MmsServiceResult::deferred()));
    EXPECT_TRUE(MmsServerConnection_sendServiceResult(connection, 100, MMS_SERVICE_READ,
                                                      MmsServiceResult::error(7, 2)));
    Answer error = next();
    EXPECT_EQ(error.pduTag, 2u);
    EXPECT_EQ(error.invokeId, 100u);
    EXPECT_EQ(error.errorClass, 7);
    EXPECT_EQ(error.errorCode, 2);
    EXPECT_FALSE(client.receiveMmsPdu(50)) << "each answer once";

    // Once the client has concluded, an open request gets no answer.
    ASSERT_TRUE(client.sendMmsPdu(MmsTestClient::confirmedRequest(102, MMS_SERVICE_READ, read, true)));
    pump();
    ASSERT_EQ(deferred.size(), 3u);
    ASSERT_TRUE(client.sendMmsPdu(fromHex("8b00")));
    pump();
    auto concluded = client.receiveMmsPdu(200);
    ASSERT_TRUE(concluded);
    EXPECT_EQ(*concluded, fromHex("8c00"));
    EXPECT_FALSE(MmsServerConnection_sendServiceResult(connection, 102, MMS_SERVICE_READ,
                                                       MmsServiceResult::response({})));
    pump();
    EXPECT_FALSE(client.receiveMmsPdu(50));
    EXPECT_FALSE(MmsServerConnection_sendServiceResult(nullptr, 102, MMS_SERVICE_READ, MmsServiceResult::response({})));
}

TEST_F(MmsServerTest, SegmentsAnswersToTheTpduSizeOfTheClient) {
    MmsServer_registerService(server.get(), MMS_SERVICE_READ, [](MmsServiceContext&, std::span<const uint8_t>, bool) {
        Bytes big(3000);
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
        return MmsServiceResult::response(big, false);
    });
    start();
    struct Row {
        uint8_t sizeCode;  // proposed TPDU size code
        size_t expectedTpdu;
    };
    for (const Row row : {Row{7, 128}, Row{10, 1024}, Row{13, 8192}, Row{16, 8192}, Row{2, 128}}) {
        MmsTestClient client;
        ASSERT_TRUE(client.associate(port, 65000, row.sizeCode)) << int(row.sizeCode);
        auto a = client.request(MMS_SERVICE_READ, {}, true);
        ASSERT_TRUE(a);
        ASSERT_EQ(a->content.size(), 3000u);
        EXPECT_EQ(a->content[2999], static_cast<uint8_t>(2999 % 256));
        // 3000 octets of content + 33 octets of MMS, presentation, session and DT headers
        EXPECT_EQ(client.largestTpdu(), std::min<size_t>(row.expectedTpdu, 3033)) << int(row.sizeCode);
        EXPECT_TRUE(client.release());
    }
}

struct IndicationLog {
    std::mutex mutex;
    std::vector<std::pair<bool, std::string>> events;
    std::vector<std::thread::id> threads;
};

void recordIndication(IedServer, ClientConnection connection, bool connected, void* parameter) {
    auto* log = static_cast<IndicationLog*>(parameter);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->events.emplace_back(connected, ClientConnection_getPeerAddress(connection));
    log->threads.push_back(std::this_thread::get_id());
}

TEST_F(MmsServerTest, IndicationHandlerRunsOnceEachWayOnTheLoopThread) {
    IndicationLog log;
    IedServer_setConnectionIndicationHandler(server.get(), recordIndication, &log);
    std::thread::id loopThread;
    MmsConnectionHooks hooks;
    hooks.periodic = [&loopThread] { loopThread = std::this_thread::get_id(); };
    MmsServer_addConnectionHooks(server.get(), hooks);
    start();
    const auto loopStop = stopLoopAtScopeEnd();

    struct Row {
        const char* how;
        int endings;  // 0 release, 1 TCP close, 2 COTP only (never associated), 3 session abort
    };
    for (const Row row : {Row{"release", 0}, Row{"tcp close", 1}, Row{"no association", 2}, Row{"abort", 3}}) {
        {
            std::lock_guard<std::mutex> lock(log.mutex);
            log.events.clear();
            log.threads.clear();
        }
        MmsTestClient client;
        std::string peer;
        if (row.endings == 2) {
            ASSERT_TRUE(client.connect(port));
            ASSERT_TRUE(client.sendRaw(fromHex("0300001611e00000000100c0010dc2020001c1020001")));
            ASSERT_TRUE(client.receiveTpdu());
            client.close();
        } else {
            ASSERT_TRUE(client.associate(port));
            peer = "127.0.0.1:" + std::to_string(client.localPort());
            ASSERT_TRUE(client.request(MMS_SERVICE_IDENTIFY, {}, false));  // the association is up
            if (row.endings == 0) {
                ASSERT_TRUE(client.release());
                EXPECT_TRUE(client.waitClosed());
            } else if (row.endings == 3) {
                ASSERT_TRUE(client.sendTsdu(fromHex("1900")));  // session ABORT without user data
                EXPECT_TRUE(client.waitClosed());
            }
            client.close();
        }
        for (int i = 0; i < 50; ++i) {
            {
                std::lock_guard<std::mutex> lock(log.mutex);
                if (row.endings == 2 || log.events.size() >= 2) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> lock(log.mutex);
        if (row.endings == 2) {
            EXPECT_TRUE(log.events.empty()) << row.how;
            continue;
        }
        ASSERT_EQ(log.events.size(), 2u) << row.how;
        EXPECT_EQ(log.events[0], std::make_pair(true, peer)) << row.how;
        EXPECT_EQ(log.events[1], std::make_pair(false, peer)) << row.how;
        for (auto id : log.threads) EXPECT_EQ(id, loopThread) << row.how;
    }
}

TEST_F(MmsServerTest, StopClosesAssociationsAndTheListener) {
    IndicationLog log;
    IedServer_setConnectionIndicationHandler(server.get(), recordIndication, &log);
    start();
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));
    ASSERT_TRUE(client.request(MMS_SERVICE_IDENTIFY, {}, false));
    loop.reset();  // stop runs on the thread that runs the loop
    IedServer_stopThreadless(server.get());
    EXPECT_FALSE(IedServer_isRunning(server.get()));
    EXPECT_TRUE(client.waitClosed());
    MmsTestClient late;
    EXPECT_FALSE(late.connect(port));
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_FALSE(log.events[1].first);
}

TEST_F(MmsServerTest, SecondServerOnAUsedPortIsNotRunning) {
    start();
    ServerPtr second(IedServer_create(emptyModel()));
    EXPECT_FALSE(MmsServer_startListening(second.get(), port));
    EXPECT_FALSE(IedServer_isRunning(second.get()));
    ServerPtr third(IedServer_create(emptyModel()));
    EXPECT_FALSE(MmsServer_startListening(third.get(), 0));
    EXPECT_FALSE(MmsServer_startListening(third.get(), 70000));
    EXPECT_FALSE(IedServer_isRunning(third.get()));
    // The first one still serves.
    MmsTestClient client;
    EXPECT_TRUE(client.associate(port));
}

TEST_F(MmsServerTest, HundredAssociationsHeldAndTheNextRefused) {
    start();
    std::vector<std::unique_ptr<MmsTestClient>> clients;
    ASSERT_NO_FATAL_FAILURE(associateMany(100, clients));
    MmsTestClient extra;
    ASSERT_TRUE(extra.connect(port));  // the kernel accepts; the server closes it at once
    EXPECT_TRUE(extra.waitClosed());
    for (size_t i = 0; i < clients.size(); i += 33) {
        auto a = clients[i]->request(MMS_SERVICE_IDENTIFY, {}, false);
        ASSERT_TRUE(a) << i;
        EXPECT_EQ(a->pduTag, 1u);
    }
    // A slot that frees up can be used again.
    EXPECT_TRUE(clients[0]->release());
    EXPECT_TRUE(clients[0]->waitClosed());
    MmsTestClient again;
    EXPECT_TRUE(again.associate(port));
}

TEST_F(MmsServerTest, AClientThatClosesAndReconnectsAtTheLimitIsServed) {
    start();
    std::vector<std::unique_ptr<MmsTestClient>> clients;
    ASSERT_NO_FATAL_FAILURE(associateMany(100, clients));
    // The test drives the passes, so one pass sees the old connection's end
    // and the new connection together.
    loop.reset();
    clients[0]->close();
    MmsTestClient again;
    ASSERT_TRUE(again.connect(port));  // completed by the kernel, not yet judged by the server
    ASSERT_GT(IedServer_waitReady(server.get(), 1000), 0);
    IedServer_processIncomingData(server.get());
    IedServer_performPeriodicTasks(server.get());
    loop = std::make_unique<ServerLoop>(server.get());
    ASSERT_TRUE(again.initiate());
    auto a = again.request(MMS_SERVICE_IDENTIFY, {}, false);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->pduTag, 1u);
}

// Brings the loopback link of the calling thread's network namespace up or down.
bool setLoopback(bool up) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        if (up) ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        else ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    ::close(fd);
    return ok;
}

// A peer that vanishes without a FIN, as with a pulled cable: in a private
// network namespace the loopback link goes down under an association, so
// nothing the server sends is answered any more. Keepalive finds the peer
// dead and frees its slot within the (shortened) bound.
TEST_F(MmsServerTest, APeerGoneWithoutAFinIsDroppedWithinTheKeepaliveBound) {
    using namespace std::chrono_literals;
    const MmsServerState::Keepalive keepalive{1s, 1s, 2};
    mmsState(server.get()).setKeepaliveForTesting(keepalive);
    std::atomic<int> closed{0};
    MmsConnectionHooks hooks;
    hooks.closed = [&closed](sMmsServerConnection*) { ++closed; };
    MmsServer_addConnectionHooks(server.get(), hooks);
    const auto loopStop = stopLoopAtScopeEnd();

    // Sockets belong to the namespace of the thread that makes them.
    std::string skipped;
    std::thread isolated([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            skipped = std::string("no private network namespace: ") + std::strerror(errno);
            return;
        }
        ASSERT_TRUE(setLoopback(true));
        start();
        MmsTestClient client;
        ASSERT_TRUE(client.associate(port));
        ASSERT_TRUE(client.request(MMS_SERVICE_IDENTIFY, {}, false));
        ASSERT_TRUE(setLoopback(false));
        const auto lost = std::chrono::steady_clock::now();
        const auto deadline = lost + keepalive.bound() + 3s;
        while (closed.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
        ASSERT_EQ(closed.load(), 1) << "the connection outlived the keepalive bound";
        EXPECT_GE(std::chrono::steady_clock::now() - lost, keepalive.idle);
    });
    isolated.join();
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

TEST_F(MmsServerTest, HooksSendUnconfirmedPdusAndServerRequests) {
    std::atomic<sMmsServerConnection*> current{nullptr};
    std::atomic<int> callbacks{0};
    std::atomic<bool> callbackSuccess{false};
    MmsConnectionHooks hooks;
    hooks.opened = [&](sMmsServerConnection* c) { current = c; };
    hooks.closed = [&](sMmsServerConnection* c) {
        if (current == c) current = nullptr;
    };
    std::atomic<int> phase{0};
    hooks.periodic = [&] {
        sMmsServerConnection* c = current;
        if (c == nullptr) return;
        int expected = 1;
        if (phase.compare_exchange_strong(expected, 2)) {
            // unconfirmed-PDU { informationReport ... } stands in for a report
            EXPECT_TRUE(MmsServerConnection_sendUnconfirmedPdu(c, fromHex("a305a003a10100")));
            EXPECT_FALSE(MmsServerConnection_sendUnconfirmedPdu(c, Bytes(70000, 0)));  // above the PDU size
            return;
        }
        expected = 3;
        if (phase.compare_exchange_strong(expected, 4)) {
            EXPECT_TRUE(MmsServerConnection_sendConfirmedRequest(c, MMS_SERVICE_FILE_OPEN, fromHex("a000"), true,
                                                                 [&](bool ok, std::span<const uint8_t> content) {
                                                                     callbackSuccess = ok && content.size() == 2;
                                                                     ++callbacks;
                                                                 }));
        }
    };
    MmsServer_addConnectionHooks(server.get(), hooks);
    start();
    const auto loopStop = stopLoopAtScopeEnd();
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));
    phase = 1;
    MmsServer_signalWork(server.get());
    auto report = client.receiveMmsPdu();
    ASSERT_TRUE(report);
    EXPECT_EQ(*report, fromHex("a305a003a10100"));

    phase = 3;
    MmsServer_signalWork(server.get());
    auto req = client.receiveMmsPdu();
    ASSERT_TRUE(req);
    // confirmed-RequestPDU { invokeID, fileOpen [72] }
    ber::Tlv t, id, svc;
    ASSERT_TRUE(ber::decodeSingle(*req, t));
    EXPECT_TRUE(t.is(ber::TagClass::Context, 0));
    ber::Reader r(t.content);
    ASSERT_TRUE(r.next(id));
    ASSERT_TRUE(r.next(svc));
    EXPECT_TRUE(svc.is(ber::TagClass::Context, MMS_SERVICE_FILE_OPEN));
    // The client answers with a response of its own.
    ber::Writer w;
    const size_t m = w.begin(ber::context(1));
    w.writeRaw(std::span(id.content.data() - id.headerSize, id.totalSize()));
    w.writeConstructed(ber::context(MMS_SERVICE_FILE_OPEN), fromHex("0000"));
    w.end(m);
    ASSERT_TRUE(client.sendMmsPdu(w.bytes()));
    // A response to an invoke id the server never used is rejected.
    ASSERT_TRUE(client.sendMmsPdu(fromHex("a1050201638200")));
    auto rej = client.receiveMmsPdu();
    ASSERT_TRUE(rej);
    auto split = MmsTestClient::splitAnswer(*rej);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->pduTag, 4u);
    EXPECT_EQ(split->rejectType, 2);
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_TRUE(callbackSuccess.load());

    // An outstanding request fails when the association goes away.
    phase = 3;
    MmsServer_signalWork(server.get());
    ASSERT_TRUE(client.receiveMmsPdu());
    client.close();
    for (int i = 0; i < 100 && callbacks.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(callbacks.load(), 2);
    EXPECT_FALSE(callbackSuccess.load());
}

TEST_F(MmsServerTest, ConnectionsThatNeverAssociateAreDropped) {
    mmsState(server.get()).setAssociationTimeoutForTesting(std::chrono::milliseconds(100));
    start();
    MmsTestClient associated;
    ASSERT_TRUE(associated.associate(port));
    MmsTestClient silent;
    ASSERT_TRUE(silent.connect(port));
    MmsTestClient transportOnly;
    ASSERT_TRUE(transportOnly.connect(port));
    ASSERT_TRUE(transportOnly.sendRaw(kCrBytes()));
    ASSERT_TRUE(transportOnly.receiveTpdu());
    EXPECT_TRUE(silent.waitClosed(2000));
    EXPECT_TRUE(transportOnly.waitClosed(2000));
    // An association is kept however long it idles.
    auto a = associated.request(MMS_SERVICE_IDENTIFY, {}, false);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->pduTag, 1u);
}

TEST_F(MmsServerTest, PeerThatStopsReadingIsDroppedAndResetsDoNotHurt) {
    std::atomic<sMmsServerConnection*> flooded{nullptr};
    std::atomic<bool> refused{false};
    std::atomic<int> closedCount{0};
    MmsConnectionHooks hooks;
    hooks.closed = [&](sMmsServerConnection* c) {
        ++closedCount;
        if (flooded == c) flooded = nullptr;
    };
    hooks.periodic = [&] {
        // 60-kB unconfirmed PDUs until the server gives the peer up (bounded).
        sMmsServerConnection* c = flooded;
        for (int i = 0; c != nullptr && i < 50 && !refused; ++i) {
            Bytes pdu = {0xA3, 0x83, 0x00, 0xEA, 0x5B};
            pdu.resize(60000, 0x00);
            if (!MmsServerConnection_sendUnconfirmedPdu(c, pdu)) refused = true;
        }
    };
    MmsServer_addConnectionHooks(server.get(), hooks);
    hooks = {};
    std::atomic<sMmsServerConnection*> last{nullptr};
    hooks.opened = [&](sMmsServerConnection* c) { last = c; };
    MmsServer_addConnectionHooks(server.get(), hooks);
    start();
    const auto loopStop = stopLoopAtScopeEnd();

    MmsTestClient bystander;
    ASSERT_TRUE(bystander.associate(port));
    MmsTestClient sleeper;
    ASSERT_TRUE(sleeper.associate(port));
    flooded = last.load();
    MmsServer_signalWork(server.get());
    for (int i = 0; i < 500 && !refused; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(refused.load());
    EXPECT_EQ(closedCount.load(), 1);

    // Requests in flight while the peer resets: the answers hit a dead socket.
    for (int round = 0; round < 5; ++round) {
        MmsTestClient rude;
        ASSERT_TRUE(rude.associate(port));
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(rude.sendMmsPdu(fromHex("a0050201018200")));
        rude.reset();
    }
    auto a = bystander.request(MMS_SERVICE_IDENTIFY, {}, false);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->pduTag, 1u);
}

// --- malformed input -----------------------------------------------------------

enum class Stage { Tcp, Transport, Associated };
enum class Expect { Closed, Reject, Abort, Disconnect, Answer };

struct BadInput {
    const char* what;
    Stage stage;
    Bytes bytes;        // raw bytes for Tcp/Transport, MMS PDU (wrapped) or TSDU for Associated
    bool rawTsdu;       // Associated: bytes are a whole TSDU rather than an MMS PDU
    Expect expect;
    int rejectType = -1;
};

class MmsMalformed : public MmsServerTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(MmsMalformed, GetsTheLayersAnswerAndOthersStayServed) {
    const auto& c = GetParam();
    start();
    MmsTestClient bystander;
    ASSERT_TRUE(bystander.associate(port));

    MmsTestClient client;
    switch (c.stage) {
        case Stage::Tcp: ASSERT_TRUE(client.connect(port)); break;
        case Stage::Transport:
            ASSERT_TRUE(client.connect(port));
            ASSERT_TRUE(client.sendRaw(fromHex("0300001611e00000000100c0010dc2020001c1020001")));
            ASSERT_TRUE(client.receiveTpdu());
            break;
        case Stage::Associated: ASSERT_TRUE(client.associate(port)); break;
    }
    if (c.stage != Stage::Associated) {
        ASSERT_TRUE(client.sendRaw(c.bytes));
    } else if (c.rawTsdu) {
        ASSERT_TRUE(client.sendTsdu(c.bytes));
    } else {
        ASSERT_TRUE(client.sendMmsPdu(c.bytes));
    }

    switch (c.expect) {
        case Expect::Closed: EXPECT_TRUE(client.waitClosed()) << c.what; break;
        case Expect::Disconnect: {
            auto dr = client.receiveTpdu();
            ASSERT_TRUE(dr) << c.what;
            EXPECT_EQ((*dr)[1], 0x80) << c.what;  // COTP DR
            EXPECT_TRUE(client.waitClosed()) << c.what;
            break;
        }
        case Expect::Abort: {
            auto ab = client.receiveTsdu();
            ASSERT_TRUE(ab) << c.what;
            EXPECT_EQ((*ab)[0], 25) << c.what;  // session ABORT
            EXPECT_TRUE(client.waitClosed()) << c.what;
            break;
        }
        case Expect::Reject: {
            auto pdu = client.receiveMmsPdu();
            ASSERT_TRUE(pdu) << c.what;
            auto a = MmsTestClient::splitAnswer(*pdu);
            ASSERT_TRUE(a) << c.what;
            EXPECT_EQ(a->pduTag, 4u) << c.what;
            EXPECT_EQ(a->rejectType, c.rejectType) << c.what;
            // the association stays usable
            auto id = client.request(MMS_SERVICE_IDENTIFY, {}, false);
            ASSERT_TRUE(id) << c.what;
            EXPECT_EQ(id->pduTag, 1u) << c.what;
            break;
        }
        case Expect::Answer: {
            auto pdu = client.receiveMmsPdu();
            ASSERT_TRUE(pdu) << c.what;
            break;
        }
    }
    auto a = bystander.request(MMS_SERVICE_IDENTIFY, {}, false);
    ASSERT_TRUE(a) << c.what;
    EXPECT_EQ(a->pduTag, 1u);
}

const Bytes kCr = fromHex("0300001611e00000000100c0010dc2020001c1020001");

INSTANTIATE_TEST_SUITE_P(
    Layers, MmsMalformed,
    ::testing::Values(
        // TPKT
        BadInput{"wrong TPKT version", Stage::Tcp, fromHex("0400001611e00000000100c0010dc2020001c1020001"), false,
                 Expect::Closed},
        BadInput{"TPKT length below minimum", Stage::Tcp, fromHex("03000003"), false, Expect::Closed},
        // COTP
        BadInput{"data before connect", Stage::Tcp, fromHex("0300000702f080"), false, Expect::Closed},
        BadInput{"LI beyond the TPDU", Stage::Tcp, fromHex("0300000810e00000"), false, Expect::Closed},
        BadInput{"CR of class 4", Stage::Tcp, fromHex("0300000b06e00000000140"), false, Expect::Closed},
        BadInput{"CR parameter overruns", Stage::Tcp, fromHex("0300000d08e00000000100c005"), false, Expect::Closed},
        BadInput{"second CR", Stage::Transport, kCr, false, Expect::Disconnect},
        BadInput{"connect confirm from client", Stage::Transport, fromHex("0300000b06d00000000100"), false,
                 Expect::Disconnect},
        BadInput{"DT with LI 3", Stage::Transport, fromHex("0300000803f08000"), false, Expect::Disconnect},
        BadInput{"TSDU above the limit", Stage::Transport,
                 [] {
                     Bytes b;
                     Bytes seg = {0x03, 0x00, 0xFF, 0xFF, 0x02, 0xF0, 0x00};
                     seg.resize(65535, 0x41);
                     for (int i = 0; i < 2; ++i) b.insert(b.end(), seg.begin(), seg.end());
                     return b;
                 }(),
                 false, Expect::Abort},
        // session
        BadInput{"session data before connect", Stage::Transport, fromHex("0300000b02f08001000100"), false,
                 Expect::Abort},
        BadInput{"session length overruns", Stage::Transport, fromHex("0300000902f0800d30"), false, Expect::Abort},
        BadInput{"unknown SPDU", Stage::Transport, fromHex("0300000902f0807700"), false, Expect::Abort},
        // presentation / ACSE
        BadInput{"connect without user data", Stage::Transport, fromHex("0300001102f0800d080506130100160102"), false,
                 Expect::Abort},
        BadInput{"CP is not a SET", Stage::Transport, fromHex("0300000d02f0800d04c1023000"), false, Expect::Abort},
        BadInput{"second session connect", Stage::Associated, fromHex("0d00"), true, Expect::Abort},
        BadInput{"data on an unknown context", Stage::Associated, fromHex("0100010061093007020107a0028200"),
                 true, Expect::Abort},
        BadInput{"finish without release request", Stage::Associated, fromHex("0900"), true, Expect::Abort},
        BadInput{"presentation data truncated", Stage::Associated, fromHex("0100010061053003020103"), true,
                 Expect::Abort},
        // MMS
        BadInput{"not BER", Stage::Associated, fromHex("a0ff"), false, Expect::Reject, 5},
        BadInput{"unknown PDU type", Stage::Associated, fromHex("bf2000"), false, Expect::Reject, 5},
        BadInput{"request without service", Stage::Associated, fromHex("a003020101"), false, Expect::Reject, 1},
        BadInput{"request without invoke id", Stage::Associated, fromHex("a0028200"), false, Expect::Reject, 5},
        BadInput{"negative invoke id", Stage::Associated, fromHex("a00502018f8200"), false, Expect::Reject, 5},
        BadInput{"request with modifiers", Stage::Associated, fromHex("a00702010130008200"), false,
                 Expect::Reject, 1},
        BadInput{"identify with content", Stage::Associated, fromHex("a00702010aa2020500"), false, Expect::Reject,
                 1},
        BadInput{"initiate again", Stage::Associated, fromHex("a800"), false, Expect::Reject, 5},
        BadInput{"unconfirmed from client", Stage::Associated, fromHex("a300"), false, Expect::Reject, 4},
        BadInput{"cancel of nothing", Stage::Associated, fromHex("850101"), false, Expect::Answer},
        BadInput{"deep nesting", Stage::Associated,
                 [] {
                     Bytes inner = {0x82, 0x00};
                     for (int i = 0; i < 60; ++i) {
                         Bytes outer = {0xA0, static_cast<uint8_t>(inner.size())};
                         outer.insert(outer.end(), inner.begin(), inner.end());
                         inner = outer;
                         if (inner.size() > 120) break;
                     }
                     Bytes pdu;
                     pdu.reserve(5 + inner.size());
                     pdu.assign({0xA0, static_cast<uint8_t>(inner.size() + 3), 0x02, 0x01, 0x09});
                     pdu.insert(pdu.end(), inner.begin(), inner.end());
                     return pdu;
                 }(),
                 false, Expect::Reject, 1}));

TEST_F(MmsServerTest, AssociationRefusedWithoutMmsContextOrInitiate) {
    start();
    struct Row {
        const char* what;
        Bytes cn;
    };
    // CN built from the reference request with the AARQ's application context
    // name changed (…0203 -> …0204) and with the initiate PDU tag damaged.
    const Bytes reference = fromHex(
        "0db20506130100160102140200023302000134020001c19c318199a003800101a28191810400000001820400000001a423300f02010106"
        "04520100013004060251013010020103060528ca220201300406025101615e305c020101a0576055a107060528ca220203a20706052901"
        "876701a30302010ca606060429018767a70302010cbe2f282d020103a028a826800300fde881010582010583010aa416800101810305f1"
        "00820c03ee1c00000408000079ef18");
    Bytes wrongContext = reference;
    Bytes badInitiate = reference;
    // application-context-name ends at the first "28ca220203"
    auto find = [](const Bytes& b, const Bytes& what) {
        return std::search(b.begin(), b.end(), what.begin(), what.end()) - b.begin();
    };
    wrongContext[find(reference, fromHex("28ca220203")) + 4] = 0x04;
    badInitiate[find(reference, fromHex("a826800300fde8")) + 2] = 0x70;  // localDetail tag 0x80 -> 0x70
    for (const Row& row : {Row{"wrong application context", wrongContext}, Row{"bad initiate", badInitiate}}) {
        MmsTestClient client;
        ASSERT_TRUE(client.connect(port));
        ASSERT_TRUE(client.sendRaw(kCr));
        ASSERT_TRUE(client.receiveTpdu());
        ASSERT_TRUE(client.sendTsdu(row.cn));
        auto ac = client.receiveTsdu();
        ASSERT_TRUE(ac) << row.what;
        // AARE result rejected-permanent: "a2 03 02 01 01"
        EXPECT_NE(find(*ac, fromHex("a203020101")), static_cast<long>(ac->size())) << row.what << " " << mmstest::toHex(*ac);
        EXPECT_TRUE(client.waitClosed()) << row.what;
    }
}

TEST(MmsControlHandler, InstalledOnlyOnObjectsWithOper) {
    ServerPtr server(IedServer_create(emptyModel()));
    DataAttribute oper{};
    oper.modelType = DataAttributeModelType;
    oper.name = "Oper";
    DataObject controllable{};
    controllable.modelType = DataObjectModelType;
    controllable.name = "EnaReq";
    controllable.firstChild = &oper;
    DataObject statusOnly{};
    statusOnly.modelType = DataObjectModelType;
    statusOnly.name = "SchdSt";
    auto handler = [](ControlAction, void*, MmsValue*, bool) { return CONTROL_RESULT_OK; };
    int param = 0;
    IedServer_setControlHandler(server.get(), &controllable, handler, &param);
    IedServer_setControlHandler(server.get(), &statusOnly, handler, &param);
    ASSERT_EQ(server->controlHandlers.size(), 1u);
    EXPECT_EQ(server->controlHandlers.at(&controllable).parameter, &param);
    IedServer_setWriteAccessPolicy(server.get(), IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    IedServer_setWriteAccessPolicy(server.get(), IEC61850_FC_ST, ACCESS_POLICY_ALLOW);
    EXPECT_EQ(server->writePolicyCF, ACCESS_POLICY_ALLOW);
    EXPECT_EQ(server->writePolicySP, ACCESS_POLICY_ALLOW);
    IedServer_setWriteAccessPolicy(server.get(), IEC61850_FC_SP, ACCESS_POLICY_DENY);
    EXPECT_EQ(server->writePolicySP, ACCESS_POLICY_DENY);
}

}  // namespace
