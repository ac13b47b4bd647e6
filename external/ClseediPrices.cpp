// Day-ahead prices from the CLSEEDI gateway: the price message check, the
// "PriceUpdated" signal on the system bus and the price file.
#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "external/ExternalInterfaceCLSEEDI.h"
#include "external/ReplyTemplate.h"
#include "foundation/Logging.h"
#include "foundation/Paths.h"

using nlohmann::json;

namespace {

constexpr const char* kBusName = "de.gridSupport.dynPrice";
constexpr const char* kObjectPath = "/de/gridSupport/dynPrice";
constexpr const char* kInterface = "de.gridSupport.dynPrice";

enum class ReplaceResult { Done, OpenFailed, WriteFailed, CloseFailed };

// Replaces the file whole so that a reader sees the old or the new content,
// never a part: the text goes into a temporary file beside it, is synced to
// the disk and renamed over the file; then the directory entry is synced.
ReplaceResult replaceFileDurably(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return ReplaceResult::OpenFailed;
    size_t written = 0;
    bool ok = true;
    while (ok && written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (::close(fd) != 0 && ok) {
        ::unlink(temporary.c_str());
        return ReplaceResult::CloseFailed;
    }
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return ReplaceResult::WriteFailed;
    }
    const std::string::size_type slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ReplaceResult::Done;
}

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
    switch (replaceFileDurably(path, text)) {
        case ReplaceResult::Done:
            logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Success: JSON data saved to file: %s", path.c_str());
            return true;
        case ReplaceResult::OpenFailed:
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to open file for writing: %s", path.c_str());
            return false;
        case ReplaceResult::WriteFailed:
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to write JSON data to file: %s", path.c_str());
            return false;
        case ReplaceResult::CloseFailed:
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to close file after writing: %s", path.c_str());
            return false;
    }
    return false;
}
