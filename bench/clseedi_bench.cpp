// Figures of the CLSEEDI gateway through a real broker and the real core
// (schedule store, evaluation, listeners) in this process:
//   1. control message published -> ACK received: median and p99 over
//      sequential messages (goal: median < 5 ms);
//   2. a burst of 1,000 control messages: every one answered, none lost, the
//      final AnOut1 of CLS1 equal to the last message's value; messages per
//      second.
// Runs in a temporary directory with a private system bus; prints one line
// per figure.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchStats.h"
#include "external/ExternalInterfaceCLSEEDI.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "server/IecServer.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using benchstats::percentile;

using Clock = std::chrono::steady_clock;
using nlohmann::json;
namespace fs = std::filesystem;

std::string controlMessage(const std::string& id, int value) {
    return json{{"type", "de.ostrel-linkage.clseedi.control"},
                {"source", "bench"},
                {"id", id},
                {"specversion", "1.0"},
                {"data",
                 {{"protocol", "0.4.0"},
                  {"limits",
                   {{"power", {{"active", {{"consumption", {{"value", value}, {"active", true}, {"duration", 3600}}}}}}}}}}}}
        .dump();
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("clseedi-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "etc/iec/config");
    fs::create_directories(dir / "tools/MQTT_configs");
    fs::copy(fs::path(IEC_SOURCE_DIR) / "etc/iec/MQTT_JSON", dir / "etc/iec/MQTT_JSON");
    std::ofstream(dir / "etc/iec/config/IECServer.conf") << "plim_log_level=notice\n";
    paths::setFsRootForTesting(dir.string());
    fs::current_path(dir / "run");
    testsupport::PrivateSystemBus bus;
    if (!bus.running()) {
        std::cerr << "no private system bus; bench skipped" << std::endl;
        return 0;
    }
    testsupport::MosquittoBroker broker(dir / "broker");
    if (!broker.start()) {
        std::cerr << "mosquitto did not start; bench skipped" << std::endl;
        return 0;
    }
    std::ofstream(dir / "tools/MQTT_configs/MQTT_gateway_config_localhost.json")
        << json{{"mqttBroker", "127.0.0.1"},
                {"mqttPort", broker.port()},
                {"mqttUsernameGateway", "bench"},
                {"mqttPasswordGateway", "bench"},
                {"CLS1", {{"gateway_sub_topic", "bench/in/"}, {"gateway_pub_topic", "bench/out/"}}}}
               .dump();

    IecServer server;
    server.debugMode = true;
    server.config.iec61850TcpPort = testsupport::freeLoopbackPort();
    std::cout.setstate(std::ios::failbit);  // the road's console lines would drown the figures
    server.initIecServer();
    server.startMainLoop();
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        while (!stop) server.runMainLoopPass(100);
    });

    std::vector<double> latencyMs;
    size_t burstAnswered = 0;
    double burstPerSecond = 0;
    float finalAnOut1 = 0;
    const int burst = 1000;
    const int lastValue = 20000 + burst - 1;
    {
        ExternalInterfaceCLSEEDI gateway(server);
        gateway.startMqttLoop();
        testsupport::MqttTestClient client("127.0.0.1", broker.port());
        const std::string out = gateway.getPubTopic();
        if (client.connect() && client.subscribe(out) && client.subscribe(out + "/status") &&
            client.waitForMessage(out + "/status", std::chrono::seconds(10))) {
            for (int i = 0; i < 200; ++i) {
                const auto t0 = Clock::now();
                client.publish(gateway.getSubTopic(), controlMessage("l-" + std::to_string(i), 1000 + i));
                if (client.waitForMessage(out, std::chrono::seconds(2))) {
                    latencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                }
            }
            client.clear();
            const auto t0 = Clock::now();
            for (int i = 0; i < burst; ++i) {
                client.publish(gateway.getSubTopic(), controlMessage("b-" + std::to_string(i), 20000 + i), 1);
            }
            std::vector<testsupport::MqttMessage> acks = client.waitForMessages(out, burst, std::chrono::seconds(60));
            const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            for (const auto& ack : acks) {
                const json reply = json::parse(ack.payload, nullptr, false);
                if (reply.is_object() && reply["data"].value("errorNumber", 1) == 0) ++burstAnswered;
            }
            burstPerSecond = static_cast<double>(acks.size()) / seconds;
            DataAttribute* mxVal = findDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal");
            finalAnOut1 = IedServer_getFloatAttributeValue(iedServer, static_cast<DataAttribute*>(mxVal->firstChild));
        } else {
            std::cerr << "the gateway did not come online" << std::endl;
        }
    }
    stop = true;
    driver.join();
    std::cout.clear();

    std::printf("Control message -> ACK through the broker and the core: median %.3f ms, p99 %.3f ms over %zu "
                "messages (goal: median < 5 ms)\n",
                percentile(latencyMs, 0.5), percentile(latencyMs, 0.99), latencyMs.size());
    std::printf("Burst of %d control messages: %zu acknowledged, %d lost, final AnOut1 %.0f (last value %d), "
                "%.0f messages per second\n",
                burst, burstAnswered, burst - static_cast<int>(burstAnswered), static_cast<double>(finalAnOut1),
                lastValue, burstPerSecond);
    broker.stop();
    fs::current_path(fs::temp_directory_path());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
