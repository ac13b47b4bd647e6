#pragma once
// A CLSEEDI gateway against a real mosquitto broker in a private working
// directory (absolute paths below it), with the repository's reply
// templates, a recording double of the core and the model's IEC 61850
// server for the read-backs.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "external/ExternalInterfaceCLSEEDI.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/TestSupport.h"

namespace clseeditest {

using nlohmann::json;

// The IEC 61850 server on the static model, made once per test process.
IedServer modelServer();
// Writes AnOut1 of CLS1 (mxVal.f, units.multiplier) and TotW.mag.f of CLS1.
void setAnOut1(float value, int32_t multiplier);
void setTotW(float value);

std::string machineHostName();
// True when text is a version-4 UUID of the RFC 4122 variant in lower-case canonical form.
bool isUuidV4(const std::string& text);
// The reply with its "id" (checked to be a UUIDv4) replaced by "<uuid>"; the
// text otherwise exactly as received. "<bad id>" when the id is no UUIDv4.
std::string maskedId(const std::string& reply);

class ClseediTest : public testsupport::IecTest {
protected:
    ClseediTest();
    ~ClseediTest() override;

    // A configuration for the broker's plain listener (port 0: the broker's).
    json configFor(int port = 0) const;
    void writeConfig(const json& config) const;
    void writeConfigText(const std::string& text) const;
    bool startBroker(testsupport::BrokerOptions options = {}, const std::string& folder = "broker");
    // Constructs the gateway and calls startMqttLoop, as the daemon's creator does.
    std::unique_ptr<ExternalInterfaceCLSEEDI> startGateway();

    const std::string host = machineHostName();
    std::string inTopic() const { return "clseedi/in/" + host; }
    std::string outTopic() const { return "clseedi/out/" + host; }
    std::string statusTopic() const { return outTopic() + "/status"; }

    RecordingCore core;
    std::unique_ptr<testsupport::MosquittoBroker> broker;
};

// A started gateway with a client subscribed to its replies and status.
class ClseediMessageTest : public ClseediTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Publishes the payload, then a sentinel message whose NACK shows that the
    // payload was handled (messages are handled in order); the replies in
    // between, in order.
    std::vector<std::string> exchange(const std::string& payload);

    std::unique_ptr<ExternalInterfaceCLSEEDI> gateway;
    std::unique_ptr<testsupport::MqttTestClient> client;
    int sentinel = 0;
};

// The exact ACK (errorNumber 0) or NACK (1) text with its id masked.
std::string expectedAck(int errorNumber, const std::string& relation, const std::string& host);

}  // namespace clseeditest
