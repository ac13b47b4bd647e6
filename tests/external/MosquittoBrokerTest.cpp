// The broker fixture and the test client the MQTT interface tests stand on.
#include <gtest/gtest.h>

#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::BrokerOptions;
using testsupport::BrokerTlsListener;
using testsupport::MosquittoBroker;
using testsupport::MqttTestClient;
using testsupport::MqttTestClientOptions;
using testsupport::TestCertificateAuthority;

namespace {

class MosquittoBrokerTest : public testsupport::IecTest {};

TEST_F(MosquittoBrokerTest, PlainListenerCarriesMessagesAndSurvivesRestartOnSamePort) {
    MosquittoBroker broker(workDir.path() / "broker");
    ASSERT_TRUE(broker.start());
    ASSERT_NE(broker.port(), 1883);
    ASSERT_NE(broker.port(), 1884);
    int port = broker.port();

    MqttTestClient sub("127.0.0.1", port);
    ASSERT_TRUE(sub.connect());
    ASSERT_TRUE(sub.subscribe("t/#"));
    MqttTestClient pub("127.0.0.1", port);
    ASSERT_TRUE(pub.connect());
    ASSERT_TRUE(pub.publish("t/a", "one", 1));
    auto got = sub.waitForMessage("t/a");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->payload, "one");
    EXPECT_TRUE(sub.noMessageWithin("t/a", 100ms));
    EXPECT_TRUE(broker.waitForLog("New client connected from", 2s));

    broker.stop();
    EXPECT_FALSE(broker.running());
    ASSERT_TRUE(broker.start());
    EXPECT_EQ(broker.port(), port);
    MqttTestClient again("127.0.0.1", port);
    EXPECT_TRUE(again.connect());
}

TEST_F(MosquittoBrokerTest, PasswordFileRefusesWrongCredentials) {
    BrokerOptions options;
    options.users = {{"gw", "secret"}};
    MosquittoBroker broker(workDir.path() / "broker", options);
    ASSERT_TRUE(broker.start());
    MqttTestClient good("127.0.0.1", broker.port(), MqttTestClientOptions::withCredentials("gw", "secret"));
    EXPECT_TRUE(good.connect());
    MqttTestClient bad("127.0.0.1", broker.port(), MqttTestClientOptions::withCredentials("gw", "wrong"));
    EXPECT_FALSE(bad.connect());
    EXPECT_EQ(bad.connackCode(), 5);  // not authorised
    MqttTestClient anonymous("127.0.0.1", broker.port());
    EXPECT_FALSE(anonymous.connect());
}

TEST_F(MosquittoBrokerTest, TlsListenerWithClientCertificates) {
    TestCertificateAuthority ca(workDir.path() / "ca");
    TestCertificateAuthority foreign(workDir.path() / "foreign", "Foreign CA");
    ASSERT_TRUE(ca.ok() && foreign.ok());
    BrokerOptions options;
    options.plainListener = false;
    options.tls = BrokerTlsListener{ca.caFile(), ca.issueServer("server", {"localhost"}, {"127.0.0.1"}), true};
    MosquittoBroker broker(workDir.path() / "broker", options);
    ASSERT_TRUE(broker.start());
    EXPECT_EQ(broker.port(), 0);

    auto client = ca.issueClient("client", "box");
    MqttTestClient mutual("localhost", broker.tlsPort(),
                          MqttTestClientOptions::withTls(ca.caFile(), client.certFile, client.keyFile));
    EXPECT_TRUE(mutual.connect());
    // Without a client certificate the broker refuses the handshake.
    MqttTestClient noCertificate("localhost", broker.tlsPort(), MqttTestClientOptions::withTls(ca.caFile()));
    EXPECT_FALSE(noCertificate.connect(2s));
    // A client that trusts another CA refuses the broker.
    auto foreignClient = foreign.issueClient("client", "box");
    MqttTestClient distrusting("localhost", broker.tlsPort(),
                               MqttTestClientOptions::withTls(foreign.caFile(), foreignClient.certFile,
                                                             foreignClient.keyFile));
    EXPECT_FALSE(distrusting.connect(2s));
}

}  // namespace
