// libFuzzer target: the text of one MQTT message into the CLSEEDI gateway's
// message handler, with a recording core and the model's IEC 61850 server.
// The gateway has no broker (its configuration is missing), so every reply
// is built from the templates and then fails to publish; prices meet a
// system bus that is not there and a price file in a private folder.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "external/ExternalInterfaceCLSEEDI.h"
#include "foundation/Logging.h"
#include "foundation/Paths.h"
#include "tests/external/ClseediFixture.h"

namespace {

namespace fs = std::filesystem;

struct Harness {
    Harness() {
        char pattern[] = "/tmp/clseedi-fuzz-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directories(dir / "etc/iec/MQTT_JSON");
        fs::create_directories(dir / "etc/iec/config");
        for (const auto& entry : fs::directory_iterator(fs::path(IEC_SOURCE_DIR) / "etc/iec/MQTT_JSON")) {
            fs::copy_file(entry.path(), dir / "etc/iec/MQTT_JSON" / entry.path().filename());
        }
        std::FILE* conf = std::fopen((dir / "etc/iec/config/IECServer.conf").c_str(), "w");
        if (conf != nullptr) {
            std::fputs("plim_log_level=debug\n", conf);
            std::fclose(conf);
        }
        paths::setFsRootForTesting(dir.string());
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir / "nobus").string()).c_str(), 1);
        setSyslogSinkForTesting([](int, const std::string&) {});
        core.iedServer = clseeditest::modelServer();
        gateway = std::make_unique<ExternalInterfaceCLSEEDI>(core);
    }
    ~Harness() {
        gateway.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path dir;
    RecordingCore core;
    std::unique_ptr<ExternalInterfaceCLSEEDI> gateway;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    harness.gateway->handleMessage("clseedi/in/fuzz", std::string(reinterpret_cast<const char*>(data), size));
    harness.core.clear();
    return 0;
}
