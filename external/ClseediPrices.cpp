// Day-ahead prices from the CLSEEDI gateway: the price message check, the
// "PriceUpdated" signal on the system bus and the price file.
#include <sdbus-c++/sdbus-c++.h>
#include <syslog.h>

#include "external/ExternalInterfaceCLSEEDI.h"
#include "external/ReplyTemplate.h"
#include "iec61850/durable_file.h"
#include "foundation/Logging.h"
#include "foundation/Paths.h"

using nlohmann::json;

namespace {

constexpr const char* kBusName = "de.gridSupport.dynPrice";
constexpr const char* kObjectPath = "/de/gridSupport/dynPrice";
constexpr const char* kInterface = "de.gridSupport.dynPrice";

}  // namespace

void ExternalInterfaceCLSEEDI::handleDynamicPrice(const json& message) {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: DynPrices value received!");
    if (!hasJsonField(message, "data", "")) return;
    const json& data = message.at("data");
    if (!hasJsonField(data, "protocol", "data.") || !hasJsonField(data, "errorNumber", "data.")) return;
    const json& errorNumber = data.at("errorNumber");
    if (!errorNumber.is_number() || errorNumber != 0) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: DynPrices 'errorNumber' is not 0");
        return;
    }
    if (!hasJsonField(data, "daPrices", "data.")) return;
    const json& prices = data.at("daPrices");
    if (!prices.is_array()) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: DynPrices 'daPrices' is not an array");
        return;
    }
    for (size_t i = 0; i < prices.size(); ++i) {
        const std::string prefix = "data.daPrices[" + std::to_string(i) + "].";
        if (!hasJsonField(prices[i], "time", prefix) || !hasJsonField(prices[i], "value", prefix)) return;
    }
    daPricesJson = replytemplate::dump(prices);
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: All required fields in DynPrices are present and valid.");
    const bool delivered = createDaPricesMessage();
    // A NACK only when neither the signal nor the file carried the prices.
    sendAck(pubTopic, delivered ? 0 : 1, message.at("id").get<std::string>());
}

bool ExternalInterfaceCLSEEDI::createDaPricesMessage() {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Creating full JSON message for daPrices");
    json document = json::object();
    document["response"]["header"]["version"] = "1.4.2";
    document["response"]["daPrices"] = json::parse(daPricesJson);
    document["error"] = nullptr;
    const std::string text = replytemplate::dump(document);
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Sending daPrices via D-Bus");
    const bool signalled = sendPriceUpdatedSignal(text);
    const bool saved = saveJsonToFile(text);
    return signalled || saved;
}

// One short-lived system-bus connection per price message: it owns the bus
// name only while it emits. Releasing the connection flushes the signal.
bool ExternalInterfaceCLSEEDI::sendPriceUpdatedSignal(const std::string& text) {
    try {
        std::unique_ptr<sdbus::IConnection> connection = sdbus::createSystemBusConnection(kBusName);
        std::unique_ptr<sdbus::IObject> object = sdbus::createObject(*connection, kObjectPath);
        object->registerSignal(kInterface, "PriceUpdated", "s");
        object->finishRegistration();
        object->emitSignal("PriceUpdated").onInterface(kInterface).withArguments(text);
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Successfully sent JSON string via D-Bus signal 'PriceUpdated'.");
        object.reset();
        connection.reset();
        return true;
    } catch (const std::exception& e) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to send JSON string via D-Bus: %s", e.what());
    }
    return false;
}

bool ExternalInterfaceCLSEEDI::saveJsonToFile(const std::string& text) {
    const std::string path = paths::resolve(kPriceFile);
    // Readers see the old or the new file, never a part of one.
    iec61850::DurableFile file;
    if (!file.begin(path, 0644)) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to open file for writing: %s (%s)", path.c_str(),
                   file.error().c_str());
        return false;
    }
    if (!file.write(text.data(), text.size())) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to write JSON data to file: %s (%s)", path.c_str(),
                   file.error().c_str());
        return false;
    }
    if (!file.commit()) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to close file after writing: %s (%s)", path.c_str(),
                   file.error().c_str());
        return false;
    }
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Success: JSON data saved to file: %s", path.c_str());
    return true;
}
