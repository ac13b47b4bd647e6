// The whole box against real peers, every road at once: each row of the
// table drives the running daemon through its own protocols, breaks peers
// where it says so, and ends when every observer (AnOut1 over MMS, the
// ActPow signals on the bus, the energy-management server's last call, the
// CLSEEDI state reply) shows the limit that the checker's model computes
// from what was sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/system/Observers.h"
#include "tests/system/Roads.h"
#include "tests/system/SystemUnderTest.h"
#include "tests/support/TestSupport.h"

namespace systest {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

// A source change shows after the interface's next poll (10 s) at the latest.
constexpr auto kSettle = 30s;

class SystemTest;
struct Scenario {
    const char* name;
    std::function<void(SystemTest&)> run;
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class SystemTest : public testsupport::IecTest, public ::testing::WithParamInterface<Scenario> {
public:
    // Starts the peers and the daemon with the source given; observers attached.
    void bringUp(SourceState initial) {
        source = initial;
        SystemOptions options;
        options.source = initial.source;
        options.controlBox = "unlimited";
        system = std::make_unique<SystemUnderTest>(workDir.path(), options);
        std::string why;
        ASSERT_TRUE(system->peersUp(why)) << why;
        applyBox();
        observers = std::make_unique<Observers>(*system);
        ASSERT_TRUE(observers->watchBus());
        ASSERT_TRUE(system->startDaemon()) << system->daemonLog();
        ASSERT_TRUE(observers->connectMms());
        ASSERT_TRUE(observers->watchGateway());
        recordSource(source, true, model);
        model.barrier();
        expectAgreement("after the start");
    }

    // The control box's states as the stand-in shows them.
    void applyBox() {
        auto& platform = system->homePlatform();
        ASSERT_TRUE(platform.command("state consumptionLimitationState " + source.consumption));
        ASSERT_TRUE(platform.command("state productionLimitationState " + source.production));
        ASSERT_TRUE(platform.command("state maxConsumptionPower " + std::to_string(source.maxConsumption)));
        ASSERT_TRUE(platform.command("state maxProductionPower " + std::to_string(source.maxProduction)));
        system->setRelays(source.relayLpc, 0, source.relayLpp30, 0);
    }

    void switchSource(const SourceState& next) {
        const bool switched = next.source != source.source;
        source = next;
        applyBox();
        if (switched) {
            // The platform's setting and its notification name the same source.
            ASSERT_TRUE(system->homePlatform().command("source " + next.source));
            ASSERT_TRUE(system->homePlatform().command("event " + next.source));
        }
        recordSource(source, switched, model);
    }

    void expectAgreement(const std::string& when, std::chrono::milliseconds timeout = kSettle) {
        model.barrier();
        std::string report;
        const bool agreed = observers->awaitAgreement(model.snapshot(), timeout, report);
        EXPECT_TRUE(agreed)
            << when << ":\n" << report << "\n--- daemon log (tail) ---\n" << tail(system->daemonLog());
    }

    static std::string tail(const std::string& text) {
        return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
    }

    // Scenario 1's traffic: MMS clients on their own schedule nodes, CLSEEDI
    // platforms and a MoreVale platform, all at once, each in its own random
    // order.
    // Returns the number of commands the daemon refused or never answered.
    size_t burst(uint32_t seed, int commandsPerClient, bool daemonMayDie = false) {
        std::atomic<size_t> failures{0};
        std::vector<std::thread> clients;
        const std::vector<std::pair<int, std::vector<std::string>>> mmsNodes = {
            {1, {"EmpSPrg_FSCH020001", "DsoWCmd_FSCH130001", "DsoECmd_FSCH250001"}},
            {2, {"EmpSPrg_FSCH020002", "DsoDCmd_FSCH150001", "EmpWCmd_FSCH030002"}},
            {1, {"EmpSPrg_FSCH020003", "DsoDCmd_FSCH150002", "EmpWCmd_FSCH030002"}},
        };
        for (size_t c = 0; c < mmsNodes.size(); ++c) {
            clients.emplace_back([&, c] {
                std::mt19937 random(seed + static_cast<uint32_t>(c));
                MmsRoad road("mms" + std::to_string(c), system->mmsPort());
                for (int i = 0; i < commandsPerClient; ++i) {
                    const auto& [cls, nodes] = mmsNodes[c];
                    const std::string& node = nodes[random() % nodes.size()];
                    if (!road.connected() || !road.send(cls, node, randomSchedule(random, node, wallSeconds()), model)) {
                        ++failures;
                        if (!daemonMayDie) ADD_FAILURE() << road.failure();
                        if (daemonMayDie) return;
                    }
                }
            });
        }
        for (int c = 0; c < 2; ++c) {
            clients.emplace_back([&, c] {
                std::mt19937 random(seed + 100 + static_cast<uint32_t>(c));
                ClseediRoad road("platform" + std::to_string(c), *system);
                for (int i = 0; i < commandsPerClient; ++i) {
                    const int cls = 1 + static_cast<int>(random() % 2);
                    const int64_t watts = static_cast<int64_t>(random() % 200 + 1) * 100;
                    const bool active = random() % 4 != 0;
                    // Mostly an hour; some short limits expire while the test runs; a few without duration.
                    const int choice = static_cast<int>(random() % 10);
                    const int duration = choice == 0 ? 0 : choice == 1 ? 6 : 3600;
                    if (!road.connected() || !road.send(cls, watts, active, duration, model)) {
                        ++failures;
                        if (!daemonMayDie) ADD_FAILURE() << road.failure();
                        if (daemonMayDie) return;
                    }
                }
            });
        }
        // The MoreVale platform: limits of CLS1 starting now or within seconds, whole kW.
        clients.emplace_back([&] {
            std::mt19937 random(seed + 200);
            MoreValeRoad road("morevale", *system);
            for (int i = 0; i < commandsPerClient; ++i) {
                const uint64_t startMs = (wallMs() / 1000 + random() % 6) * 1000;
                const double kW = static_cast<double>(random() % 20 + 1);
                if (!road.connected() || !road.send(kW, startMs, 3600, model)) {
                    ++failures;
                    if (!daemonMayDie) ADD_FAILURE() << road.failure();
                    if (daemonMayDie) return;
                }
            }
        });
        for (auto& client : clients) client.join();
        return failures;
    }

    SharedModel model;
    SourceState source;
    std::unique_ptr<SystemUnderTest> system;
    std::unique_ptr<Observers> observers;
};

// Every schedule file below run/schedules parses as a schedule; the names of
// those that don't. A kill during a write may leave the writer's hidden
// temporary file (the schedule file itself stays whole); once the restarted
// daemon has written its schedules, no file but the schedules may be left.
std::vector<std::string> unparsableScheduleFiles(const fs::path& runDir, bool temporariesAllowed = false) {
    std::vector<std::string> bad;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(runDir / "schedules", ignored)) {
        if (!entry.is_regular_file()) continue;
        if (temporariesAllowed && entry.path().filename().string().rfind('.', 0) == 0) continue;
        if (entry.path().extension() != ".json") {
            bad.push_back(entry.path().string() + " (stray file)");
            continue;
        }
        std::ifstream in(entry.path());
        const json doc = json::parse(in, nullptr, false);
        if (!doc.is_object() || !doc.contains("SchdName") || !doc.contains("LatestUpdate")) {
            bad.push_back(entry.path().string());
        }
    }
    return bad;
}

// The model the schedule files on disk make: each enabled schedule with its
// contents, the later "LatestUpdate" ordered after the earlier.
LimitModel modelOfFiles(const fs::path& runDir) {
    std::vector<std::tuple<int64_t, int, std::string, ScheduleContent>> files;
    for (int cls = 1; cls <= 2; ++cls) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(runDir / "schedules" / ("CLS" + std::to_string(cls)), ignored)) {
            std::ifstream in(entry.path());
            const json doc = json::parse(in, nullptr, false);
            if (!doc.is_object()) continue;
            ScheduleContent content;
            content.enabled = doc.value("EnaReq", false) && !doc.value("DsaReq", true);
            content.priority = doc.value("SchdPrio", 0);
            content.intervalSeconds = doc.value("SchdIntv", 0);
            content.multiplier = doc.value("Multiplier", 0);
            const int entries = doc.value("NumEntr", 0);
            const json values = doc.value("ValASG", json());
            if (values.is_array()) {
                for (const auto& v : values) {
                    if (static_cast<int>(content.values.size()) < entries && v.is_number()) {
                        content.values.push_back(v.get<float>());
                    }
                }
            }
            const json starts = doc.value("StrTm", json());
            if (starts.is_array()) {
                for (const auto& s : starts) content.startSeconds.push_back(s.is_number_integer() ? s.get<int64_t>() : 0);
            }
            files.emplace_back(doc.value("LatestUpdate", int64_t{0}), cls, entry.path().stem().string(), content);
        }
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    LimitModel model;
    for (const auto& [latest, cls, node, content] : files) {
        model.record("files", cls, node, content);
    }
    return model;
}

const Scenario kScenarios[] = {
    {"MixedSourcesInABurst",
     [](SystemTest& t) {
         SourceState start;
         start.consumption = "limited";
         start.maxConsumption = 3000;
         t.bringUp(start);
         if (::testing::Test::HasFatalFailure()) return;
         const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
         SCOPED_TRACE("seed " + std::to_string(seed));
         EXPECT_EQ(t.burst(seed, 12), 0u) << SystemTest::tail(t.system->daemonLog());
         t.expectAgreement("after the burst");
         // Short limits of the burst run out; the observers follow.
         std::this_thread::sleep_for(7s);
         t.expectAgreement("once the short limits ran out");
     }},
    {"SourceSwitchingUnderLoad",
     [](SystemTest& t) {
         SourceState eebus;
         eebus.consumption = "limited";
         eebus.production = "limited";
         eebus.maxProduction = 3000;
         t.bringUp(eebus);
         if (::testing::Test::HasFatalFailure()) return;
         SourceState relais = eebus;
         relais.source = "relais";
         relais.relayLpc = true;
         relais.relayLpp30 = true;
         SourceState none = relais;
         none.source = "none";
         std::mt19937 random(7);
         for (const SourceState& next : {relais, none, eebus}) {
             std::atomic<bool> loading{true};
             std::thread load([&] {
                 ClseediRoad road("load", *t.system);
                 while (loading) {
                     const int cls = 1 + static_cast<int>(random() % 2);
                     EXPECT_TRUE(road.send(cls, (random() % 100 + 1) * 100, true, 3600, t.model));
                 }
             });
             t.switchSource(next);
             std::this_thread::sleep_for(2s);
             loading = false;
             load.join();
             t.expectAgreement("after switching to " + next.source + " under load");
         }
     }},
    {"PeersFailAndReturn",
     [](SystemTest& t) {
         t.bringUp(SourceState{});
         if (::testing::Test::HasFatalFailure()) return;
         MmsRoad mms("mms", t.system->mmsPort());
         std::mt19937 random(11);
         auto mmsLimit = [&](int cls, const char* node, float value) {
             ScheduleContent content;
             content.enabled = true;
             content.priority = LimitModel::defaultPriority(node);
             content.values = {value};
             content.intervalSeconds = 3600;
             content.startSeconds = {wallSeconds() - 1};
             EXPECT_TRUE(mms.send(cls, node, content, t.model));
         };
         // The broker restarts: the gateway comes back by itself.
         ASSERT_TRUE(t.system->broker().restart()) << t.system->broker().log();
         ASSERT_TRUE(t.observers->watchGateway());
         {
             ClseediRoad road("after-restart", *t.system);
             bool sent = false;
             for (auto end = std::chrono::steady_clock::now() + 20s; !sent && std::chrono::steady_clock::now() < end;) {
                 sent = road.send(1, 5100, true, 3600, t.model);
             }
             EXPECT_TRUE(sent) << SystemTest::tail(t.system->daemonLog());
         }
         t.expectAgreement("after the broker restart");

         // The energy-management server is blackholed while limits change, then back.
         t.system->ems().blackhole();
         mmsLimit(1, "EmpSPrg_FSCH020001", 2700);
         mmsLimit(2, "EmpSPrg_FSCH020001", 1900);
         std::this_thread::sleep_for(6s);
         ASSERT_TRUE(t.system->ems().back());
         t.expectAgreement("after the energy-management server came back");

         // The home platform drops the connection and comes back naming another source.
         SourceState relais;
         relais.source = "relais";
         relais.relayLpc = true;
         t.source = relais;
         t.applyBox();
         ASSERT_TRUE(t.system->homePlatform().command("source relais"));
         ASSERT_TRUE(t.system->homePlatform().command("close"));
         recordSource(relais, true, t.model);
         t.expectAgreement("after the home platform came back with another source");

         // The bus daemon goes away: limits keep being enforced and the failure is logged.
         t.observers->dropBus();
         t.system->bus().stop();
         mmsLimit(1, "DsoECmd_FSCH250001", 1200);
         {
             ClseediRoad road("without-bus", *t.system);
             EXPECT_TRUE(road.send(2, 800, true, 3600, t.model));
         }
         t.expectAgreement("without the bus");
         EXPECT_TRUE(t.system->daemonRunning());
         EXPECT_NE(t.system->daemonLog().find("DBUS: "), std::string::npos);
     }},
    {"KilledDuringABurstAndRestarted",
     [](SystemTest& t) {
         SourceState start;
         start.consumption = "limited";
         t.bringUp(start);
         if (::testing::Test::HasFatalFailure()) return;
         const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
         SCOPED_TRACE("seed " + std::to_string(seed));
         std::mt19937 random(seed);
         for (int round = 0; round < 3; ++round) {
             std::thread killer([&, delay = std::chrono::milliseconds(200 + random() % 1500)] {
                 std::this_thread::sleep_for(delay);
                 t.system->killDaemon();
             });
             t.burst(seed + static_cast<uint32_t>(round) * 1000, 40, true);
             killer.join();
             EXPECT_EQ(unparsableScheduleFiles(t.system->runDir(), true), std::vector<std::string>{}) << "round " << round;

             ASSERT_TRUE(t.system->startDaemon()) << t.system->daemonLog();
             ASSERT_TRUE(t.observers->connectMms());
             // Published limits come from the files as the restarted daemon keeps them, and from the source.
             LimitModel fromFiles = modelOfFiles(t.system->runDir());
             t.model.replace(fromFiles);
             recordSource(t.source, false, t.model);
             t.expectAgreement("after restart " + std::to_string(round + 1));
             EXPECT_EQ(unparsableScheduleFiles(t.system->runDir()), std::vector<std::string>{});
         }
     }},
};

TEST_P(SystemTest, ObserversAgreeWithTheModel) { GetParam().run(*this); }

INSTANTIATE_TEST_SUITE_P(Scenarios, SystemTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace systest
