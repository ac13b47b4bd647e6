// The daemon as a whole process: debug mode in a temporary working directory,
// a free MMS port, a private system bus and the home-platform stand-in.
#include <sys/stat.h>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <tinyxml2.h>

#include "tests/server/ChildProcess.h"
#include "tests/server/DaemonFixture.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/BadFiles.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kAnOut1 = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kSchedule = "EmpWCmd_FSCH030001";

class DaemonProcessTest : public servertest::DaemonWithStandIn {
protected:
    // Reads AnOut1 of CLS1 until it shows want (the road runs after the operate's answer).
    std::optional<float> awaitAnOut1(mmstest::MmsTestClient& client, float want) {
        std::optional<float> value;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        do {
            value = mmsreq::readFloat(client, "CLS1", kAnOut1);
            if (value && *value == want) break;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return value;
    }

    // One entry of an hour from a second ago with the value, into kSchedule of CLS1.
    static bool writeSchedule(mmstest::MmsTestClient& client, float value) {
        const std::string sp = std::string(kSchedule) + "$SP$";
        const uint64_t now = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       std::chrono::system_clock::now().time_since_epoch())
                                                       .count());
        MmsValuePtr one(MmsValue_newIntegerFromInt32(1));
        MmsValuePtr interval(MmsValue_newIntegerFromInt32(3600));
        MmsValuePtr limit(MmsValue_newFloat(value));
        MmsValuePtr start(MmsValue_newUtcTimeByMsTime(now - 1000));
        return mmsreq::write(client, "CLS1", sp + "NumEntr$setVal", one.get()) &&
               mmsreq::write(client, "CLS1", sp + "SchdIntv$setVal", interval.get()) &&
               mmsreq::write(client, "CLS1", sp + "ValASG001$setMag$f", limit.get()) &&
               mmsreq::write(client, "CLS1", sp + "StrTm01$setTm", start.get());
    }

    // Connects to the stand-in, sends one line and waits (bounded) until the
    // stand-in logged it.
    bool probeStandIn(const std::string& line) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(nymeaPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string text = line + "\n";
        const bool sent = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                          ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
        const bool seen = sent && standIn->waitForOutput(line, 5s);
        ::close(fd);
        return seen;
    }

    // The number of the last client the stand-in accepted ("connected <n>" lines), 0 for none.
    int lastStandInClient() const {
        std::istringstream lines(standIn->output());
        int last = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("connected ")) last = std::stoi(line.substr(10));
        }
        return last;
    }

};

TEST_F(DaemonProcessTest, AnOperatedScheduleRunsTheWholeRoad) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(standInUp) << standIn->output();
    auto daemon = startDaemon("daemon.log");
    ASSERT_TRUE(daemon->waitForOutput("Waiting for Clients...", 20s)) << daemon->output();

    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(mmsPort));
    EXPECT_EQ(mmsreq::readFloat(client, "CLS1", kAnOut1), -1.0f);

    ASSERT_TRUE(writeSchedule(client, 4200.5f));

    const size_t callsBefore = daemon->countInOutput("3.1 callCallback on CLS1");
    ASSERT_TRUE(mmsreq::operate(client, "CLS1", kSchedule, "EnaReq", true));
    EXPECT_EQ(awaitAnOut1(client, 4200.5f), 4200.5f) << daemon->output();
    EXPECT_EQ(daemon->countInOutput("3.1 callCallback on CLS1") - callsBefore, 1u);

    const std::string scheduleFile = "run/schedules/CLS1/EmpWCmd_FSCH030001.json";
    ASSERT_TRUE(fs::exists(workDir.path() / scheduleFile));
    const nlohmann::json stored = nlohmann::json::parse(workDir.readFile(scheduleFile), nullptr, false);
    ASSERT_TRUE(stored.is_object()) << workDir.readFile(scheduleFile);
    EXPECT_EQ(stored.value("SchdIntv", 0), 3600) << stored.dump();
    EXPECT_EQ(stored.value("NumEntr", 0), 1) << stored.dump();
    EXPECT_NE(stored.dump().find("4200.5"), std::string::npos) << stored.dump();

    tinyxml2::XMLDocument xml;
    ASSERT_EQ(xml.LoadFile((runDir / "IEC61850_Values.xml").c_str()), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* cls1 = xml.FirstChildElement("Root")->FirstChildElement("CLS1");
    ASSERT_NE(cls1, nullptr);
    EXPECT_NE(cls1->FirstChildElement(kSchedule), nullptr);

    ASSERT_TRUE(mmsreq::operate(client, "CLS1", kSchedule, "DsaReq", true));
    EXPECT_EQ(awaitAnOut1(client, -1.0f), -1.0f) << daemon->output();
    EXPECT_TRUE(client.release());
    EXPECT_FALSE(daemon->waitExit(0ms).has_value()) << daemon->output();
}

// Entries in the schedule directories that are no schedule files stop
// neither the start-up nor a road: a FIFO (opening it for reading waits for
// a writer), a directory, and text nested deeply enough to exhaust a
// recursive parser. In debug mode the syslog records that name them are on
// the console too.
TEST_F(DaemonProcessTest, EntriesThatAreNoScheduleFilesStopNeitherStartNorRoad) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(standInUp) << standIn->output();
    const fs::path cls1 = runDir / "schedules" / "CLS1";
    const fs::path cls2 = runDir / "schedules" / "CLS2";
    fs::create_directories(cls1);
    fs::create_directories(cls2);
    const std::string deep = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    auto plant = [&](const fs::path& dir, const char* name, char kind) {
        const fs::path file = dir / (std::string(name) + ".json");
        fs::remove_all(file);
        if (kind == 'f') {
            ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
        } else if (kind == 'd') {
            fs::create_directory(file);
        } else {
            std::ofstream(file) << deep;
        }
    };
    plant(cls1, kSchedule, 'f');
    plant(cls1, "EmpSPrg_FSCH020001", 'd');
    plant(cls2, "EmpWCmd_FSCH030001", 'j');

    auto daemon = startDaemon("daemon.log");
    ASSERT_TRUE(daemon->waitForOutput("Waiting for Clients...", 20s)) << daemon->output();
    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(mmsPort));
    EXPECT_EQ(mmsreq::readFloat(client, "CLS1", kAnOut1), -1.0f);

    // New ones during a road: the evaluation reads every schedule of CLS1.
    plant(cls1, "EmpSPrg_FSCH020002", 'f');
    plant(cls1, "EmpSPrg_FSCH020003", 'j');
    ASSERT_TRUE(writeSchedule(client, 4200.5f));
    ASSERT_TRUE(mmsreq::operate(client, "CLS1", kSchedule, "EnaReq", true));
    EXPECT_EQ(awaitAnOut1(client, 4200.5f), 4200.5f) << daemon->output();

    const std::string out = daemon->output();
    EXPECT_NE(out.find("[notice] server: IEC Server start"), std::string::npos) << out;
    for (const std::string named : {"CLS2/EmpWCmd_FSCH030001.json nests deeper than",
                                    "CLS1/EmpSPrg_FSCH020001.json is not a regular file",
                                    "CLS1/EmpSPrg_FSCH020002.json is not a regular file",
                                    "CLS1/EmpSPrg_FSCH020003.json nests deeper than"}) {
        EXPECT_NE(out.find("[warning] SM: ./schedules/" + named), std::string::npos) << named << "\n" << out;
    }
    EXPECT_FALSE(daemon->waitExit(0ms).has_value()) << out;
}

// "IECServer.conf" at its absolute path is read for every unit's log
// threshold, at static initialisation too, before main. A FIFO there (opening
// it would wait for a writer for good) reads as no file: the daemon takes its
// ports from the debug path and opens its MMS port.
TEST_F(DaemonProcessTest, AFifoAsTheConfigurationFileStopsNoStartUp) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(standInUp) << standIn->output();
    const fs::path absolute = workDir.path() / "etc/iec/config/IECServer.conf";
    const fs::path elsewhere = workDir.path() / "elsewhere";
    fs::create_directories(elsewhere / "run");
    fs::create_directories(elsewhere / "etc/iec/config");
    fs::copy_file(absolute, elsewhere / "etc/iec/config/IECServer.conf");
    testsupport::makeBadFile(testsupport::BadFile::kFifo, absolute);

    testsupport::ChildProcess daemon({IEC_SERVER_BINARY, "--debug"}, elsewhere / "run",
                                     {{"IEC_FS_ROOT", workDir.path().string()}}, workDir.path() / "fifo.log");
    ASSERT_TRUE(daemon.waitForOutput("Waiting for Clients...", 20s)) << daemon.output();
    mmstest::MmsTestClient client;
    EXPECT_TRUE(client.associate(mmsPort)) << daemon.output();
    EXPECT_NE(daemon.output().find("readLogLevel: Failed to open configuration file. " + absolute.string() +
                                   " is not a regular file"),
              std::string::npos)
        << daemon.output();
}

// The command-line client of tools/mms-client, as the README uses it.
TEST_F(DaemonProcessTest, TheCommandLineClientIdentifiesListsReadsWritesAndOperates) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(standInUp) << standIn->output();
    auto daemon = startDaemon("daemon.log");
    ASSERT_TRUE(daemon->waitForOutput("Waiting for Clients...", 20s)) << daemon->output();
    int run = 0;
    auto client = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {MMS_CLIENT_BINARY, "-p", std::to_string(mmsPort)});
        testsupport::ChildProcess tool(args, workDir.path(), {}, workDir.path() / ("client" + std::to_string(++run)));
        const auto code = tool.waitExit(10s);
        return std::make_pair(code.value_or(-1), tool.output());
    };
    const std::string sp = std::string(kSchedule) + "$SP$";
    struct Step {
        std::vector<std::string> args;
        int code;
        std::string output;
    };
    const Step steps[] = {
        {{"identify"}, 0, "vendor: Tavelmarck\nmodel: generic libIEC\nrevision: 1.5\n"},
        {{"read", "CLS1", kAnOut1}, 0, "-1\n"},
        {{"write", "CLS1", sp + "NumEntr$setVal", "int", "1"}, 0, "written\n"},
        {{"write", "CLS1", sp + "SchdIntv$setVal", "int", "3600"}, 0, "written\n"},
        {{"write", "CLS1", sp + "ValASG001$setMag$f", "float", "4200.5"}, 0, "written\n"},
        {{"write", "CLS1", sp + "StrTm01$setTm", "utc", "now-1000"}, 0, "written\n"},
        {{"operate", "CLS1", kSchedule, "EnaReq", "true"}, 0, "operated\n"},
        {{"write", "CLS1", sp + "NumEntr$setVal", "int", "x"}, 2, "mms-client: 'x' is no value of type int\n"},
        {{"read", "CLS9", kAnOut1}, 1, ""},
        {{"read", "CLS1", "NoSuch_GGIO001$MX$AnOut1$mxVal$f"}, 1,
         "mms-client: read refused: object-non-existent (access error 10)\n"},
        {{"write", "CLS1", "NoSuch_GGIO001$MX$AnOut1$mxVal$f", "float", "1"}, 1,
         "mms-client: write refused: object-non-existent (access error 10)\n"},
        {{"frobnicate"}, 2, ""},
    };
    for (const auto& step : steps) {
        const auto [code, out] = client(step.args);
        EXPECT_EQ(code, step.code) << step.args[0] << "\n" << out;
        if (!step.output.empty()) {
            EXPECT_EQ(out, step.output) << step.args[0];
        }
    }
    mmstest::MmsTestClient reader;
    ASSERT_TRUE(reader.associate(mmsPort));
    EXPECT_EQ(awaitAnOut1(reader, 4200.5f), 4200.5f) << daemon->output();
    EXPECT_EQ(client({"read", "CLS1", kAnOut1}).second, "4200.5\n");

    const auto domains = client({"list"});
    EXPECT_EQ(domains.second, "FNN_STEUERBOXCLS1\nFNN_STEUERBOXCLS2\nFNN_STEUERBOXCLS3\nFNN_STEUERBOXCLS4\nFNN_STEUERBOXSTB\n");
    const auto variables = client({"list", "CLS1"});
    EXPECT_EQ(variables.first, 0);
    EXPECT_NE(variables.second.find("\nActPow_GGIO001$MX$AnOut1$mxVal$f\n"), std::string::npos);
    EXPECT_GT(std::count(variables.second.begin(), variables.second.end(), '\n'), 1000);
}

TEST_F(DaemonProcessTest, ASecondInstanceOnTheSamePortEndsBeforeAnyInterface) {
    ASSERT_TRUE(standInUp) << standIn->output();
    auto first = startDaemon("first.log");
    ASSERT_TRUE(first->waitForOutput("Waiting for Clients...", 20s)) << first->output();
    ASSERT_TRUE(standIn->waitForOutput("request", 5s));
    const int lastClient = lastStandInClient();

    auto second = startDaemon("second.log");
    EXPECT_EQ(second->waitExit(10s), 255) << second->output();
    EXPECT_NE(second->output().find("Starting server failed on Port: " + std::to_string(mmsPort) +
                                    "! Exit.\nCause: address in use: another process listens on port " +
                                    std::to_string(mmsPort) + "\n"),
              std::string::npos)
        << second->output();
    // The second instance never reached the home platform: a probe that
    // connects after it ended is accepted after anything it could have
    // opened, and the stand-in numbers its clients in that order, so the
    // probe is the very next client.
    ASSERT_TRUE(probeStandIn("probe-after-second-instance")) << standIn->output();
    EXPECT_NE(standIn->output().find("request " + std::to_string(lastClient + 1) + " probe-after-second-instance"),
              std::string::npos)
        << standIn->output();
}

// Unit start-up: before the entry point's first line the units
// read their thresholds in their order (CLSEEDI, MoreVale, UMeadow, the
// ScheduleManager, which then names itself, the Serialization object,
// serverLogLevel, the internal MQTT unit); without the file at its absolute
// path each reading reports it instead. The MMS port of both rows is 0 (the
// default without the file), so the start ends at once with exit code 255.
TEST_F(DaemonProcessTest, TheUnitStartUpReadsEveryThresholdBeforeTheEntryPoint) {
    const fs::path file = workDir.path() / "etc/iec/config/IECServer.conf";
    const std::string loaded = "readLogLevel loaded";
    const std::string missing = "Could not open configuration file!";
    const struct {
        const char* name;
        bool withFile;
        std::vector<std::string> firstLines;  // up to the entry point's first console line
    } cases[] = {
        {"with the file", true, {loaded, loaded, loaded, loaded, "SM: name: Manager", loaded, loaded, loaded}},
        {"without the file", false,
         {missing, missing, missing, missing, "SM: name: Manager", missing, missing, missing}},
    };
    for (const auto& c : cases) {
        if (c.withFile) {
            workDir.writeFile("/etc/iec/config/IECServer.conf", "IEC61850_tcpPort=0\nplim_log_level=notice\n");
        } else {
            fs::remove(file);
        }
        auto daemon = startDaemon(std::string("start-up ") + c.name + ".log");
        EXPECT_EQ(daemon->waitExit(10s), 255) << c.name << "\n" << daemon->output();
        // Standard output and standard error, in the order written; the
        // entry point's first lines are its two start records (debug mode
        // shows them on standard error).
        std::vector<std::string> want = c.firstLines;
        want.push_back("[notice] server: -----------------------------------------------");
        want.push_back("[notice] server: IEC Server start");
        std::istringstream out(daemon->output());
        std::vector<std::string> lines;
        for (std::string line; lines.size() < want.size() && std::getline(out, line);) lines.push_back(line);
        EXPECT_EQ(lines, want) << c.name << "\n" << daemon->output();
    }
}

// A port value that is an int is taken as written (-5 stays -5), in range or not: the echo and the report show it, and the
// start ends on that port with exit code 255, before any interface exists.
TEST_F(DaemonProcessTest, AnUnusablePortIsEchoedAsWrittenAndEndsTheStartUpWithExitCode255) {
    ASSERT_TRUE(standInUp) << standIn->output();
    for (const std::string port : {"-5", "70000"}) {
        workDir.writeFile("/etc/iec/config/IECServer.conf",
                          "IEC61850_tcpPort=" + port + "\nnymea_tcpPort=" + std::to_string(nymeaPort) + "\n");
        auto daemon = startDaemon("port " + port + ".log");
        EXPECT_EQ(daemon->waitExit(10s), 255) << port << "\n" << daemon->output();
        const std::string out = daemon->output();
        for (const std::string& line : {"IEC61850_port: " + port + "\n", "[notice] server: IEC61850 Server port: " + port + "\n",
                                        "Starting server failed on Port: " + port + "! Exit.\n"}) {
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        }
    }
    EXPECT_EQ(standIn->countInOutput("connected "), 0u) << standIn->output();
}

TEST_F(DaemonProcessTest, ABadPortEndsTheStartUpWithExitCodeOne) {
    workDir.writeFile("/etc/iec/config/IECServer.conf", "IEC61850_tcpPort=10x2\nnymea_tcpPort=abc\n");
    auto daemon = startDaemon("bad.log");
    EXPECT_EQ(daemon->waitExit(10s), 1) << daemon->output();
    EXPECT_NE(daemon->output().find("Invalid value for nymea_tcpPort"), std::string::npos) << daemon->output();
}

TEST_F(DaemonProcessTest, AnUnreachableSystemBusEndsTheStartUpWithExitCodeOne) {
    auto daemon = startDaemon("nobus.log", {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (workDir.path() / "nobus").string()}});
    EXPECT_EQ(daemon->waitExit(10s), 1) << daemon->output();
    EXPECT_NE(daemon->output().find("The schedule handling could not start (system D-Bus)"), std::string::npos)
        << daemon->output();
    EXPECT_EQ(standIn->countInOutput("connected "), 0u);
}

}  // namespace
