// The D-Bus service against a real private bus: its objects, properties and
// signatures, "setTotw", the listener's signals and the CLS input log.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "foundation/Paths.h"
#include "tests/internal/DbusTestSupport.h"

namespace {

using namespace std::chrono_literals;
using bustest::actPowPath;
using bustest::clsPath;
using bustest::mmxuPath;

class DbusObjectsTest : public bustest::DbusServiceTest {};

TEST_F(DbusObjectsTest, ObjectsPropertiesAndSignaturesOnTheBus) {
    struct Member {
        std::string path;
        std::string interfaceName;
        std::string kind;  // property, method, signal
        std::string name;
        std::vector<std::string> types;
    };
    std::vector<Member> members = {{bustest::kRootPath, bustest::kRootInterface, "property", "cls_devices", {"ao"}}};
    for (int cls = 1; cls <= 4; ++cls) {
        members.push_back({clsPath(cls), bustest::kClsInterface, "property", "mmxu001", {"o"}});
        members.push_back({clsPath(cls), bustest::kClsInterface, "property", "actpow_ggioO001", {"o"}});
        members.push_back({mmxuPath(cls), bustest::kMmxuInterface, "property", "totw", {"(xti)"}});
        members.push_back({mmxuPath(cls), bustest::kMmxuInterface, "method", "setTotw", {"x", "t", "i"}});
        members.push_back({mmxuPath(cls), bustest::kMmxuInterface, "signal", "totw", {"(xti)"}});
        for (const char* kind : {"property", "signal"}) {
            members.push_back({actPowPath(cls), bustest::kActPowInterface, kind, "AnOut_mxVal_f", {"x"}});
            members.push_back({actPowPath(cls), bustest::kActPowInterface, kind, "AnOut1_units_multiplier", {"i"}});
            members.push_back({actPowPath(cls), bustest::kActPowInterface, kind, "AnOut1_minVal_f", {"x"}});
            members.push_back({actPowPath(cls), bustest::kActPowInterface, kind, "AnOut1_maxVal_f", {"x"}});
            members.push_back({actPowPath(cls), bustest::kActPowInterface, kind, "AnOut_mxVal_Schedule", {"a{tx}"}});
        }
    }
    for (const Member& member : members) {
        SCOPED_TRACE(member.path + " " + member.kind + " " + member.name);
        const std::string xml = client->introspect(member.path);
        const std::string iface = bustest::memberXml(xml, "interface", member.interfaceName);
        const std::string element = bustest::memberXml(iface, member.kind, member.name);
        ASSERT_FALSE(element.empty()) << xml;
        if (member.kind == "property") {
            EXPECT_NE(element.find("type=\"" + member.types[0] + "\""), std::string::npos) << element;
            EXPECT_NE(element.find("access=\"read\""), std::string::npos) << element;
            // No PropertiesChanged is ever sent: a caching client must know.
            EXPECT_NE(element.find(R"(<annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal" value="false"/>)"),
                      std::string::npos)
                << element;
        } else {
            EXPECT_EQ(bustest::argTypes(element), member.types) << element;
        }
        if (member.kind == "method") {
            EXPECT_EQ(element.find("direction=\"out\""), std::string::npos) << element;
        }
    }
    EXPECT_EQ(core.listenerNames(), std::vector<std::string>{"callback1"});
}

TEST_F(DbusObjectsTest, PathPropertiesNameTheObjectsOfTheirOwnCls) {
    const auto devices = client->property(bustest::kRootPath, bustest::kRootInterface, "cls_devices")
                             .get<std::vector<sdbus::ObjectPath>>();
    ASSERT_EQ(devices.size(), 4u);
    for (int cls = 1; cls <= 4; ++cls) {
        SCOPED_TRACE(cls);
        EXPECT_EQ(devices[static_cast<size_t>(cls - 1)], clsPath(cls));
        EXPECT_EQ(client->property(clsPath(cls), bustest::kClsInterface, "mmxu001").get<sdbus::ObjectPath>(),
                  mmxuPath(cls));
        EXPECT_EQ(client->property(clsPath(cls), bustest::kClsInterface, "actpow_ggioO001").get<sdbus::ObjectPath>(),
                  actPowPath(cls));
    }
}

TEST_F(DbusObjectsTest, ValuePropertiesReadTheModelOfTheirOwnCls) {
    setFloat(1, "MMXU001", "TotW", "mag", 5.0f);
    setFloat(4, "MMXU001", "TotW", "mag", 321.9f);
    setActPow(1, 7.0f, 0);
    setActPow(2, 4.2f, 2, -800.5f, 1500.4f);
    const auto before = static_cast<uint64_t>(std::time(nullptr));
    const auto totw = client->property(mmxuPath(4), bustest::kMmxuInterface, "totw")
                          .get<sdbus::Struct<int64_t, uint64_t, int32_t>>();
    EXPECT_EQ(std::get<0>(totw), 321);
    EXPECT_GE(std::get<1>(totw), before);
    EXPECT_LE(std::get<1>(totw), before + 5);
    EXPECT_EQ(std::get<2>(totw), 0);

    const std::string actPow2 = actPowPath(2);
    EXPECT_EQ(client->property(actPow2, bustest::kActPowInterface, "AnOut_mxVal_f").get<int64_t>(), 420);
    EXPECT_EQ(client->property(actPow2, bustest::kActPowInterface, "AnOut1_units_multiplier").get<int32_t>(), 2);
    EXPECT_EQ(client->property(actPow2, bustest::kActPowInterface, "AnOut1_minVal_f").get<int64_t>(), -801);
    EXPECT_EQ(client->property(actPow2, bustest::kActPowInterface, "AnOut1_maxVal_f").get<int64_t>(), 1500);

    core.setScheduleData(2, {{1000, 4200}, {2000, -1}});
    core.callListeners(2);
    const auto schedule = client->property(actPow2, bustest::kActPowInterface, "AnOut_mxVal_Schedule")
                              .get<std::map<uint64_t, int64_t>>();
    EXPECT_EQ(schedule, (std::map<uint64_t, int64_t>{{1000, 4200}, {2000, -1}}));
}

TEST_F(DbusObjectsTest, AFailingReadIsADBusErrorWithTheReason) {
    struct Row {
        float mxVal;
        int32_t multiplier;
        std::string message;
    };
    const Row rows[] = {{-1.0f, 25, "Scale factor is out of expected range."},
                        {1.0f, 24, "Scaled power limit is out of int64_t bounds."},
                        {std::numeric_limits<float>::quiet_NaN(), 0, "Scaled power limit is not a number."}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        setActPow(3, row.mxVal, row.multiplier);
        try {
            client->property(actPowPath(3), bustest::kActPowInterface, "AnOut_mxVal_f");
            ADD_FAILURE() << "the read succeeded";
        } catch (const sdbus::Error& e) {
            EXPECT_EQ(e.getMessage(), row.message);
        }
    }
    EXPECT_TRUE(syslog.contains(LOG_ERR, "DBUS: Scale factor 25 is out of expected range."));
    // The service goes on serving.
    setActPow(1, 7.0f, 0);
    EXPECT_EQ(client->property(actPowPath(1), bustest::kActPowInterface, "AnOut1_units_multiplier").get<int32_t>(), 0);
}

TEST_F(DbusObjectsTest, SetTotwWritesAndEmitsOnTheObjectOfItsCls) {
    for (int cls : {2, 4}) {
        SCOPED_TRACE(cls);
        client->clear();
        client->setTotw(cls, 750 + cls, 42, 3);
        ASSERT_TRUE(client->waitForCount(1));
        const auto signals = client->signals();
        EXPECT_EQ(signals[0].path, mmxuPath(cls));
        EXPECT_EQ(signals[0].name + " " + signals[0].value, "totw (" + std::to_string(750 + cls) + ",42,3)");
        EXPECT_EQ(totW(cls), static_cast<float>(750 + cls));
    }
    EXPECT_EQ(totW(1), 0.0f);
    EXPECT_EQ(totW(3), 0.0f);
}

class DbusUpdateTest : public bustest::DbusServiceTest {
protected:
    std::string logFile() const { return workDir.readFile(InternalInterfaceDBUS::kClsInputLog); }
};

TEST_F(DbusUpdateTest, AnUpdateEmitsTheSignalsOfItsClsInOrderAndLogsLpcAndLpp) {
    struct Row {
        int cls;
        float mxVal;
        int32_t multiplier;
        std::vector<std::string> actPowSignals;
        std::string logLine;  // empty: no entry
    };
    const Row rows[] = {
        {1, -1.0f, 0,
         {"AnOut1_maxVal_f 1500", "AnOut1_minVal_f -801", "AnOut1_units_multiplier 0", "AnOut_mxVal_Schedule {}",
          "AnOut_mxVal_f -1"},
         " - (LPC): Power Limit: Unlimited (-1)"},
        {2, 4.2f, 2,
         {"AnOut1_maxVal_f 1500", "AnOut1_minVal_f -801", "AnOut1_units_multiplier 2",
          "AnOut_mxVal_Schedule {1000:4200}", "AnOut_mxVal_f 420"},
         " - (LPP): Power Limit: 420 W"},
        {3, 4.2f, 2,
         {"AnOut1_maxVal_f 1500", "AnOut1_minVal_f -801", "AnOut1_units_multiplier 2",
          "AnOut_mxVal_Schedule {1000:4200}", "AnOut_mxVal_f 420"},
         ""},
        // A scaling failure skips the limit, the log entry and nothing else.
        {2, 4.2f, 25,
         {"AnOut1_maxVal_f 1500", "AnOut1_minVal_f -801", "AnOut1_units_multiplier 25",
          "AnOut_mxVal_Schedule {1000:4200}"},
         ""},
    };
    setFloat(1, "MMXU001", "TotW", "mag", 99.5f);
    setFloat(3, "MMXU001", "TotW", "mag", 33.0f);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "CLS" << row.cls << " " << row.mxVal << " x 10^" << row.multiplier);
        client->clear();
        workDir.writeFile(InternalInterfaceDBUS::kClsInputLog, "");
        setActPow(row.cls, row.mxVal, row.multiplier, -800.5f, 1500.4f);
        core.setScheduleData(row.cls, row.cls == 1 ? PowerLimitScheduleMap{} : PowerLimitScheduleMap{{1000, 4200}});
        core.callListeners(row.cls);
        ASSERT_TRUE(client->waitForCount(row.actPowSignals.size() + 1)) << client->signals().size();
        EXPECT_EQ(client->signalsOf(actPowPath(row.cls)), row.actPowSignals);
        const auto totw = client->signalsOf(mmxuPath(row.cls));
        ASSERT_EQ(totw.size(), 1u);
        const std::string ownTotW = row.cls == 1 ? "99" : row.cls == 3 ? "33" : "0";
        EXPECT_EQ(totw[0].rfind("totw (" + ownTotW + ",", 0), 0u) << totw[0];
        EXPECT_EQ(client->signals().back().name, "totw");

        const std::string log = logFile();
        if (row.logLine.empty()) {
            EXPECT_EQ(log, "");
        } else {
            const std::regex entry(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)" + std::regex_replace(row.logLine, std::regex(R"([()])"), R"(\$&)") +
                                   "\n-{24}\n$");
            EXPECT_TRUE(std::regex_match(log, entry)) << log;
        }
    }
    EXPECT_TRUE(syslog.contains(LOG_NOTICE,
                                "##### DBUS: 4.0 DBUS for CLS2 -- AnOut1_maxVal_f (Max Consumption Power) 1500 -- "
                                "AnOut1_minVal_f (MaxProductionPower): -801 -- Units Multiplier: 2 -- Schedule Size: 1 "
                                "-- AnOut_mxVal_f (Power Limit): 420"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "DBUS: Scale factor 25 is out of expected range."));
}

TEST_F(DbusUpdateTest, AnUpdateOfNoClsEmitsNothing) {
    testing::internal::CaptureStderr();
    core.callListeners(5);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Index out of range for emitting totw signal\nIndex out of range for emitting totw signal\n");
    core.callListeners(4);  // the marker: the first signal seen must be CLS4's
    ASSERT_TRUE(client->waitForCount(6));
    for (const auto& signal : client->signals()) {
        EXPECT_TRUE(signal.path == actPowPath(4) || signal.path == mmxuPath(4)) << signal.path;
    }
}

TEST_F(DbusUpdateTest, AnUnwritableLogDirectoryIsReportedAndTotwStillGoesOut) {
    workDir.writeFile("/data", "a file where the log directory should be");
    setActPow(1, 4200.0f, 0);
    testing::internal::CaptureStderr();
    core.callListeners(1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to create directory: " + paths::resolve("/data/cls-logs") + " ("), std::string::npos)
        << err;
    ASSERT_TRUE(client->waitForCount(6));
    EXPECT_EQ(client->signals().back().name, "totw");
    EXPECT_EQ(client->signalsOf(actPowPath(1)).back(), "AnOut_mxVal_f 4200");
}

// Without a bus, or without the name, the start-up goes on without the service.
TEST(DbusStartTest, NoBusOrARefusedNameLeavesNoListener) {
    testsupport::TempWorkDir workDir;
    workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n");
    workDir.writeFile("/deny.conf",
                      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                      "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                      "<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                      "<policy context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                      "<allow eavesdrop=\"true\"/><allow own=\"*\"/><deny own=\"de.tavelmarck.rurodi.iec61850\"/>"
                      "</policy>"
                      "</busconfig>\n");
    for (const std::string variant : {"absent", "refused"}) {
        SCOPED_TRACE(variant);
        std::unique_ptr<testsupport::PrivateSystemBus> bus;
        std::string previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS") ? std::getenv("DBUS_SYSTEM_BUS_ADDRESS") : "";
        if (variant == "absent") {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (workDir.path() / "nobus").string()).c_str(), 1);
        } else {
            bus = std::make_unique<testsupport::PrivateSystemBus>(paths::resolve("/deny.conf"));
            ASSERT_TRUE(bus->running());
        }
        RecordingCore core;
        testing::internal::CaptureStderr();
        {
            InternalInterfaceDBUS service(core);
            EXPECT_FALSE(service.isServing());
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("Error during InternalInterfaceDBUS initialization: ", 0), 0u) << err;
        EXPECT_TRUE(core.listenerNames().empty());
        if (variant == "absent") {
            if (previous.empty()) {
                unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
            } else {
                setenv("DBUS_SYSTEM_BUS_ADDRESS", previous.c_str(), 1);
            }
        }
    }
}

}  // namespace
