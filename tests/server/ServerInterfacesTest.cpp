// IecServer with its interfaces: configuration file, interface start-up, the
// power-limit-source switch and the listener registry, with recording doubles.
#include <syslog.h>

#include <filesystem>

#include "server/ServerConfig.h"
#include "server/ServerLog.h"
#include "tests/server/ServerFixture.h"

namespace {

using servertest::ServerCoreTest;

// An interface double: records its creation and destruction.
struct Double {
    Double(std::vector<RecordingSchedules::Call>& log, std::string name) : log(log), name(std::move(name)) {
        log.push_back({"create " + this->name, "", 0, {}});
    }
    ~Double() { log.push_back({"destroy " + name, "", 0, {}}); }
    std::vector<RecordingSchedules::Call>& log;
    std::string name;
};

template <class T>
InterfaceOwner<T> makeDouble(std::vector<RecordingSchedules::Call>& log, const std::string& name) {
    return InterfaceOwner<T>(std::make_shared<Double>(log, name), nullptr);
}

class InterfacesTest : public ServerCoreTest {
protected:
    InterfacesTest() {
        auto& log = schedules->calls;
        InterfaceFactory& f = server.interfaceFactory;
        f.eebus = [&log](IecServer&, int) { return makeDouble<InternalInterfaceNymeaEEBUS>(log, "eebus"); };
        f.serviceIn = [&log](IecServer&) { return makeDouble<ExternalInterfaceServiceIn>(log, "serviceIn"); };
        f.resetServiceInCache = [&log](InterfaceOwner<ExternalInterfaceServiceIn>&) {
            log.push_back({"reset serviceIn", "", 0, {}});
        };
        f.pause = [&log](std::chrono::milliseconds d) { log.push_back({"pause " + std::to_string(d.count()), "", 0, {}}); };
    }

    std::vector<std::string> events() {
        std::vector<std::string> out = schedules->summary();
        schedules->calls.clear();
        for (auto& e : out) {
            if (e.size() > 2 && e.compare(e.size() - 2, 2, " 0") == 0) e.resize(e.size() - 2);
        }
        return out;
    }

    IecServer server;
};

const std::vector<std::string> kClearing = {"send EmpDCmd_FSCH050001 1", "update 1", "send EmpDCmd_FSCH050001 2",
                                            "update 2"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(InterfacesTest, EachSourceChangeStopsPausesCreatesAndClears) {
    struct Step {
        const char* source;
        std::vector<std::string> events;
    };
    const Step steps[] = {
        {"", {}},
        {"relais", join(join({"pause 1000", "create serviceIn"}, kClearing), {"reset serviceIn"})},
        {"relais", {}},
        {"eebus", join({"destroy serviceIn", "pause 1000", "create eebus"}, kClearing)},
        {"eebus", {}},
        {"relais", join(join({"destroy eebus", "pause 1000", "create serviceIn"}, kClearing), {"reset serviceIn"})},
        {"EEBUS", join({"destroy serviceIn", "pause 1000"}, kClearing)},
        {"none", join({"pause 1000"}, kClearing)},
    };
    for (const auto& step : steps) {
        server.setPowerLimitSource(step.source);
        EXPECT_EQ(events(), step.events) << step.source;
        EXPECT_EQ(server.getPowerLimitSource(), step.source);
        EXPECT_FALSE(server.serviceInInterface && server.eebusInterface);
    }
    // The clearing writes leave the direct-command schedules off.
    EXPECT_TRUE(IedServer_getBooleanAttributeValue(iedServer, servertest::attr("CLS2", "EmpDCmd_FSCH050001", "DsaReq", "stVal")));
}

TEST_F(InterfacesTest, AnInterfaceNotInTheBuildIsReportedAndSkipped) {
    server.interfaceFactory.eebus = nullptr;
    testing::internal::CaptureStdout();
    server.setPowerLimitSource("eebus");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(server.eebusInterface);
    EXPECT_EQ(out.find("EEBUS interface activated"), std::string::npos);
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "server: InternalInterfaceNymeaEEBUS is not available in this build"));
    EXPECT_EQ(events(), join({"pause 1000"}, kClearing));
}

TEST_F(InterfacesTest, InterfacesStartInOrderAndOnlyWhenActivated) {
    auto& log = schedules->calls;
    InterfaceFactory& f = server.interfaceFactory;
    f.nymea = [&log](IecServer& s, int port) {
        log.push_back({"create nymea " + std::to_string(port), "", 0, {}});
        s.setPowerLimitSource("relais");  // the platform answers during the construction
        return makeDouble<InternalInterfaceNymea>(log, "nymea-object");
    };
    f.clseedi = [&log](IecServer&) { return makeDouble<ExternalInterfaceCLSEEDI>(log, "clseedi"); };
    f.dbus = [&log](IecServer&) { return makeDouble<InternalInterfaceDBUS>(log, "dbus"); };
    f.jsonrpc = nullptr;
    f.moreVale = [&log](IecServer&) -> InterfaceOwner<ExternalInterfaceMoreVale> {
        throw std::runtime_error("broker refused");
    };
    server.config.nymeaTcpPort = 4711;
    server.config.activateExternMqttClseedi = false;
    server.config.activateInternDbus = true;
    server.config.activateInternJsonrpc = true;
    server.config.activateExternMqttMoreVale = true;
    testing::internal::CaptureStdout();
    server.initInterfaces();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(events(), join(join(join({"create nymea 4711", "pause 1000", "create serviceIn"}, kClearing),
                                  {"reset serviceIn", "create nymea-object"}),
                             {"create dbus"}));
    EXPECT_NE(out.find("The powerLimitSource is: relais\n"), std::string::npos);
    EXPECT_TRUE(server.nymeaInterface && server.dbusInterface && server.serviceInInterface);
    EXPECT_FALSE(server.clseediInterface || server.jsonrpcInterface || server.moreValeInterface);
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "server: InternalInterfaceJSONRPC is not available in this build"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "server: creating ExternalInterfaceMoreVale failed: broker refused"));
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "server: Interfaces initialized"));
}

TEST_F(InterfacesTest, TheRegistryKeepsTheLastListenerOfANameAndSurvivesAThrowingOne) {
    std::vector<std::string> heard;
    server.registerCallback("callback1", [&](int cls) { heard.push_back("first " + std::to_string(cls)); });
    server.registerCallback("callback1", [&](int cls) { heard.push_back("second " + std::to_string(cls)); });
    server.registerCallback("thrower", [](int) { throw std::runtime_error("listener broke"); });
    server.unregisterCallback("never-registered");
    ASSERT_EQ(server.callbacks.size(), 2u);
    for (auto& [name, listener] : server.callbacks) listener(2);
    EXPECT_EQ(heard, std::vector<std::string>{"second 2"});
    EXPECT_TRUE(syslog.contains(LOG_ERR, "server: listener thrower failed for CLS2: listener broke"));
    server.unregisterCallback("thrower");
    EXPECT_EQ(server.callbacks.count("thrower"), 0u);
}

TEST_F(InterfacesTest, TheConfigurationFileIsReadAndReported) {
    workDir.writeFile("/etc/iec/config/IECServer.conf", "IEC61850_tcpPort=1102\nactivate_intern_DBUS=true\n");
    testing::internal::CaptureStdout();
    server.loadConfig();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "IEC61850_port: 1102\nactivate_intern_DBUS:      1\nConfiguration loaded\n\n");
    EXPECT_EQ(server.config.iec61850TcpPort, 1102);
    EXPECT_TRUE(server.config.activateInternDbus);
    const char* report[] = {"server: Server configuration loaded:", "server: IEC61850 Server port: 1102",
                            "server: Nymea Server port: 0", "server: activate_extern_MQTT_CLSEEDI: 0",
                            "server: activate_extern_MQTT_MoreVale: 0", "server: activate_intern_DBUS: 1",
                            "server: activate_intern_JSONRPC: 0", "server: ---"};
    for (const char* line : report) EXPECT_TRUE(syslog.contains(LOG_NOTICE, line)) << line;

    // Debug mode reads the file relative to the working directory.
    IecServer debug;
    debug.debugMode = true;
    std::filesystem::create_directories("sub");
    workDir.writeFile("etc/iec/config/IECServer.conf", "nymea_tcpPort=2222\n");
    std::filesystem::current_path("sub");
    testing::internal::CaptureStdout();
    debug.loadConfig();
    testing::internal::GetCapturedStdout();
    std::filesystem::current_path("..");
    EXPECT_EQ(debug.config.nymeaTcpPort, 2222);
}

TEST_F(InterfacesTest, AMissingFileKeepsTheDefaults) {
    testing::internal::CaptureStdout();
    server.loadConfig();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "server: Configuration file not found, using defaults."));
    EXPECT_EQ(server.config.iec61850TcpPort, 0);
    EXPECT_FALSE(server.config.activateInternDbus);
}

TEST_F(InterfacesTest, ABadPortStopsTheStartUpWithAStartupError) {
    workDir.writeFile("/etc/iec/config/IECServer.conf", "IEC61850_tcpPort=abc\n");
    testing::internal::CaptureStdout();
    EXPECT_THROW(server.loadConfig(), StartupError);
    testing::internal::GetCapturedStdout();
}

TEST_F(ServerCoreTest, FileServicesRefuseRenamesAndTheServerImage) {
    struct Case {
        MmsFileServiceType service;
        const char* local;
        const char* other;
        MmsError result;
    };
    const Case cases[] = {
        {MMS_FILE_ACCESS_TYPE_READ_DIRECTORY, "", nullptr, MMS_ERROR_NONE},
        {MMS_FILE_ACCESS_TYPE_OPEN, "IEDSERVER.BIN", nullptr, MMS_ERROR_NONE},
        {MMS_FILE_ACCESS_TYPE_OBTAIN, "new.cfg", "client.cfg", MMS_ERROR_NONE},
        {MMS_FILE_ACCESS_TYPE_OBTAIN, "IEDSERVER.BIN", "client.bin", MMS_ERROR_FILE_FILE_ACCESS_DENIED},
        {MMS_FILE_ACCESS_TYPE_OBTAIN, "./IEDSERVER.BIN", "client.bin", MMS_ERROR_FILE_FILE_ACCESS_DENIED},
        {MMS_FILE_ACCESS_TYPE_DELETE, "IEDSERVER.BIN", nullptr, MMS_ERROR_FILE_FILE_ACCESS_DENIED},
        {MMS_FILE_ACCESS_TYPE_DELETE, "/IEDSERVER.BIN", nullptr, MMS_ERROR_FILE_FILE_ACCESS_DENIED},
        {MMS_FILE_ACCESS_TYPE_DELETE, "./IEDSERVER.BIN", nullptr, MMS_ERROR_FILE_FILE_ACCESS_DENIED},
        {MMS_FILE_ACCESS_TYPE_DELETE, "logs/../IEDSERVER.BIN", nullptr, MMS_ERROR_FILE_FILE_ACCESS_DENIED},
        {MMS_FILE_ACCESS_TYPE_DELETE, "iedserver.bin", nullptr, MMS_ERROR_NONE},
        {MMS_FILE_ACCESS_TYPE_DELETE, "logs/IEDSERVER.BIN", nullptr, MMS_ERROR_NONE},
        {MMS_FILE_ACCESS_TYPE_DELETE, nullptr, nullptr, MMS_ERROR_NONE},
        {MMS_FILE_ACCESS_TYPE_RENAME, "a.txt", "b.txt", MMS_ERROR_FILE_FILE_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(IecServer::fileAccessHandler(nullptr, nullptr, c.service, c.local, c.other), c.result)
            << c.service << " " << (c.local ? c.local : "(null)");
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string request = "file AccessHandler: service = " + std::to_string(c.service) +
                                    ", local-file: " + (c.local ? c.local : "") +
                                    ", other-file: " + (c.other ? c.other : "") + "\n";
        EXPECT_EQ(out.rfind("1 ########## file AccessHandler ##########\n" + request, 0), 0u) << out;
    }
    EXPECT_TRUE(syslog.records().empty());
}

}  // namespace
