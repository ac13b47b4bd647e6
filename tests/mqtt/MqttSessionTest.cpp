// The MQTT session against a real broker: both forms of the network loop,
// TLS that must be verified, a broker that goes away and comes back, and
// the end of a session while its network thread is inside a callback.
#include "foundation/MqttSession.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <syslog.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BrokerOptions;
using testsupport::BrokerTlsListener;
using testsupport::MosquittoBroker;
using testsupport::MqttTestClient;
using testsupport::TestCertificateAuthority;

constexpr const char* kInbox = "session/in";
constexpr const char* kOutbox = "session/out";
const uint32_t kLogLevel = LOG_DEBUG;

enum class LoopForm { kLibraryThread, kOwnThread };

std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// TCP_NODELAY of every socket of this process connected to 127.0.0.1:port.
std::vector<int> noDelayOfSocketsTo(int port) {
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != port)
            continue;
        int on = 0;
        socklen_t size = sizeof on;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0) found.push_back(on);
    }
    return found;
}

// What the session's callbacks saw, recorded from its network thread.
class Events {
public:
    void connected(int rc) { record([&] { connacks_.push_back(rc); }); }
    void disconnected(int rc) { record([&] { disconnects_.push_back(rc); }); }
    void message(const std::string& payload) {
        record([&] {
            payloads_.push_back(payload);
            threadNames_.push_back(currentThreadName());
        });
    }
    void log(const std::string& line) { record([&] { logLines_.push_back(line); }); }

    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, pred);
    }
    size_t successfulConnects() const {
        size_t n = 0;
        for (int rc : connacks_) n += rc == 0 ? 1 : 0;
        return n;
    }
    bool logged(const std::string& text) const {
        for (const auto& line : logLines_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<int> connacks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connacks_;
    }
    std::vector<std::string> payloads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return payloads_;
    }
    std::vector<std::string> threadNames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threadNames_;
    }

    // Read under the lock, inside waitFor's predicate.
    std::vector<int> connacks_;
    std::vector<int> disconnects_;
    std::vector<std::string> payloads_;

private:
    template <typename F>
    void record(F&& f) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            f();
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> threadNames_;
    std::vector<std::string> logLines_;
};

// A session as the clients use it: subscribes to the inbox on every accepted
// connection; the network loop in the form given.
class SessionUnderTest {
public:
    SessionUnderTest(const std::string& clientId, LoopForm form, Events& events,
                     std::function<void(const std::string&)> onPayload = {})
        : form_(form), session_(std::make_unique<MqttSession>(clientId, "mqtt-test", &kLogLevel, "test: ")) {
        MqttSession::Callbacks callbacks;
        callbacks.onConnect = [this, &events](int rc) {
            if (rc == 0) session_->subscribe(kInbox, 1);
            events.connected(rc);
        };
        callbacks.onDisconnect = [&events](int rc) { events.disconnected(rc); };
        callbacks.onMessage = [&events, onPayload](const mosquitto_message* message) {
            const std::string payload(static_cast<const char*>(message->payload),
                                      static_cast<size_t>(message->payloadlen));
            events.message(payload);
            if (onPayload) onPayload(payload);
        };
        callbacks.onLog = [&events](int, const char* text) { events.log(text != nullptr ? text : ""); };
        session_->setCallbacks(std::move(callbacks));
        session_->setReconnectDelay(1, 1, false);
        if (form_ == LoopForm::kOwnThread) session_->setThreadedByCaller();
    }
    ~SessionUnderTest() { destroy(); }

    MqttSession& session() { return *session_; }

    // Connects and runs the loop; the client library's code of the connect.
    int start(int port) {
        if (form_ == LoopForm::kLibraryThread) {
            EXPECT_EQ(session_->startLibraryLoop(), MOSQ_ERR_SUCCESS);
            return session_->connect("127.0.0.1", port, 60);
        }
        const int rc = session_->connect("127.0.0.1", port, 60);
        // Like the gateways with an own thread: loop until told to stop,
        // reconnect after a short pause when the connection is lost.
        EXPECT_TRUE(session_->startOwnThread([this] {
            while (!stopping_.load()) {
                if (session_->loopOnce(100) == MOSQ_ERR_SUCCESS || stopping_.load()) continue;
                std::this_thread::sleep_for(100ms);
                session_->reconnect();
            }
        }));
        return rc;
    }

    // The owner's order: its own loop is told to stop, then the session closes.
    void destroy() {
        stopping_ = true;
        // Closed while still reachable: the loop and callbacks use it until the end.
        if (session_) session_->close();
        session_.reset();
    }

private:
    LoopForm form_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<MqttSession> session_;
};

class MqttSessionTest : public testsupport::IecTest, public ::testing::WithParamInterface<LoopForm> {
protected:
    void SetUp() override {
        ASSERT_TRUE(ca.ok());
        BrokerOptions options;
        options.tls = BrokerTlsListener{ca.caFile(), ca.issueServer("broker", {"localhost"}, {"127.0.0.1"}), false};
        broker = std::make_unique<MosquittoBroker>(workDir.path() / "broker", options);
        ASSERT_TRUE(broker->start());
    }

    MqttTls tlsWith(const TestCertificateAuthority& authority) const {
        MqttTls tls;
        tls.caFile = authority.caFile().string();
        tls.tlsVersion = "tlsv1.2";
        tls.setInsecure = true;
        tls.insecure = false;
        return tls;
    }

    std::unique_ptr<MqttTestClient> peer() {
        auto client = std::make_unique<MqttTestClient>("127.0.0.1", broker->port());
        EXPECT_TRUE(client->connect());
        EXPECT_TRUE(client->subscribe(kOutbox, 1));
        return client;
    }

    TestCertificateAuthority ca{workDir.path() / "ca"};
    TestCertificateAuthority foreign{workDir.path() / "foreign", "Foreign CA"};
    Events events;
    std::unique_ptr<MosquittoBroker> broker;
};

INSTANTIATE_TEST_SUITE_P(LoopForms, MqttSessionTest,
                         ::testing::Values(LoopForm::kLibraryThread, LoopForm::kOwnThread),
                         [](const auto& info) {
                             return info.param == LoopForm::kLibraryThread ? "LibraryThread" : "OwnThread";
                         });

TEST_P(MqttSessionTest, ConnectsOverVerifiedTlsAndCarriesMessagesBothWays) {
    SessionUnderTest sut("session-roundtrip", GetParam(), events);
    ASSERT_EQ(sut.session().setTls(tlsWith(ca)), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(sut.start(broker->tlsPort()), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(events.waitFor([&] { return events.successfulConnects() == 1; })) << broker->log();
    ASSERT_TRUE(broker->waitForLog("session-roundtrip 1 " + std::string(kInbox), 5s)) << broker->log();

    auto client = peer();
    ASSERT_TRUE(client->publish(kInbox, "ping", 1));
    ASSERT_TRUE(events.waitFor([&] { return events.payloads_.size() == 1; }));
    EXPECT_EQ(events.payloads(), std::vector<std::string>{"ping"});
    // The network thread carries the session's name in both forms.
    EXPECT_EQ(events.threadNames(), std::vector<std::string>{"mqtt-test"});

    ASSERT_EQ(sut.session().publish(kOutbox, "pong", 1), MOSQ_ERR_SUCCESS);
    auto reply = client->waitForMessage(kOutbox);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, "pong");
    // An answer right after the PUBACK of what it answers must not wait for
    // the broker's delayed ACK: the session's socket sends without Nagle.
    EXPECT_EQ(noDelayOfSocketsTo(broker->tlsPort()), std::vector<int>{1});
}

TEST_P(MqttSessionTest, BrokerOfAForeignAuthorityIsRefusedWithoutPlaintextFallback) {
    SessionUnderTest sut("session-foreign", GetParam(), events);
    ASSERT_EQ(sut.session().setTls(tlsWith(foreign)), MOSQ_ERR_SUCCESS);
    const int rc = sut.start(broker->tlsPort());
    // The handshake fails in the connect or in the loop; either way the client says why.
    EXPECT_TRUE(rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_TLS) << rc;
    EXPECT_TRUE(events.waitFor([&] { return events.logged("certificate verify failed"); }));
    EXPECT_TRUE(broker->waitForLog("unknown ca", 5s)) << broker->log();
    sut.destroy();
    EXPECT_TRUE(events.connacks().empty());
    // Not on the TLS port and not on the plain one: the broker never saw the client.
    EXPECT_EQ(broker->countInLog("session-foreign"), 0u) << broker->log();
}

TEST_P(MqttSessionTest, ReconnectsWhenTheBrokerComesBackOnTheSamePort) {
    SessionUnderTest sut("session-restart", GetParam(), events);
    ASSERT_EQ(sut.start(broker->port()), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(events.waitFor([&] { return events.successfulConnects() == 1; })) << broker->log();

    broker->stop();
    // Lost, not ended by the client.
    ASSERT_TRUE(events.waitFor([&] { return !events.disconnects_.empty() && events.disconnects_.front() != 0; }));
    ASSERT_TRUE(broker->start());
    ASSERT_TRUE(events.waitFor([&] { return events.successfulConnects() == 2; }, 15s)) << broker->log();

    // The new session subscribed again and carries messages.
    ASSERT_TRUE(broker->waitForLog("session-restart 1 " + std::string(kInbox), 5s)) << broker->log();
    auto client = peer();
    ASSERT_TRUE(client->publish(kInbox, "after restart", 1));
    ASSERT_TRUE(events.waitFor([&] { return events.payloads_.size() == 1; }));
    EXPECT_EQ(events.payloads(), std::vector<std::string>{"after restart"});
}

TEST_P(MqttSessionTest, DestructionDuringACallbackStillSendsItsDisconnect) {
    // The message callback holds the network thread until the destroying
    // thread has asked for the DISCONNECT: it can only be queued then.
    std::unique_ptr<SessionUnderTest> sut;
    std::promise<void> entered;
    auto enteredOnce = std::make_shared<std::once_flag>();
    sut = std::make_unique<SessionUnderTest>("session-held", GetParam(), events, [&](const std::string&) {
        std::call_once(*enteredOnce, [&] { entered.set_value(); });
        events.waitFor([&] { return events.logged("sending DISCONNECT"); }, 10s);
    });
    ASSERT_EQ(sut->start(broker->port()), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(events.waitFor([&] { return events.successfulConnects() == 1; })) << broker->log();
    ASSERT_TRUE(broker->waitForLog("session-held 1 " + std::string(kInbox), 5s)) << broker->log();

    auto client = peer();
    ASSERT_TRUE(client->publish(kInbox, "hold", 1));
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);

    auto destroyed = std::async(std::launch::async, [&] { sut->destroy(); });
    // Well within the callback's own bound: the session does not wait for it to run out.
    ASSERT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(events.waitFor([&] { return events.logged("sending DISCONNECT"); }, 1s));
    EXPECT_TRUE(broker->waitForLog("Client session-held disconnected.", 5s)) << broker->log();
    EXPECT_EQ(broker->countInLog("Client session-held closed its connection"), 0u) << broker->log();
}

}  // namespace
