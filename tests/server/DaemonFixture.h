#pragma once
// The daemon as a whole process in a test: debug mode in a temporary working
// directory (its run/ folder), free MMS and home-platform ports, a private
// system bus and the home-platform stand-in naming the source "relais".
// Needs IEC_SERVER_BINARY and NYMEA_STANDIN from the test's build.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/server/ChildProcess.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace servertest {

class DaemonWithStandIn : public testsupport::IecTest {
protected:
    using Environment = std::vector<std::pair<std::string, std::string>>;

    // extraConfig: further "IECServer.conf" lines, each ending in "\n".
    explicit DaemonWithStandIn(const std::string& extraConfig = "") {
        using namespace std::chrono_literals;
        std::filesystem::create_directories(runDir);
        workDir.writeFile("/etc/iec/config/IECServer.conf",
                          "IEC61850_tcpPort=" + std::to_string(mmsPort) + "\nnymea_tcpPort=" +
                              std::to_string(nymeaPort) + "\nplim_log_level=info\n" + extraConfig);
        standIn = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", NYMEA_STANDIN, "--port", std::to_string(nymeaPort),
                                     "--source", "relais"},
            workDir.path(), Environment{}, workDir.path() / "standin.log", true);
        standInUp = standIn->waitForOutput("listening", 10s);
    }

    // The daemon in debug mode in run/, its output in logName.
    std::unique_ptr<testsupport::ChildProcess> startDaemon(const std::string& logName,
                                                           Environment environment = {}) {
        environment.emplace_back("IEC_FS_ROOT", workDir.path().string());
        return std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{IEC_SERVER_BINARY, "--debug"},
                                                           runDir, environment, workDir.path() / logName);
    }

    testsupport::PrivateSystemBus bus;
    const int mmsPort = testsupport::freeLoopbackPort();
    const int nymeaPort = testsupport::freeLoopbackPort();
    const std::filesystem::path runDir = workDir.path() / "run";
    std::unique_ptr<testsupport::ChildProcess> standIn;
    bool standInUp = false;
};

}  // namespace servertest
