// The relay-contact source: GPIO reads through the seam (a counting double,
// the file stand-in and libgpiod itself), the relay states, and the cycles
// that write LPC and LPP through a recording core.
#include <syslog.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "external/ExternalInterfaceServiceIn.h"
#include "tests/support/BadFiles.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Kind = RecordedWrite::Kind;

// A GPIO double that counts every call and fails where told.
class CountingGpio : public GpioBackend {
public:
    struct Counts {
        int open = 0, getLine = 0, request = 0, get = 0, release = 0, close = 0;
    };
    struct Shared {
        std::map<unsigned, int> values = {{12, 0}, {13, 0}, {14, 0}, {15, 0}};
        bool chipFails = false;
        std::set<unsigned> lineFails, requestFails, valueFails;
        Counts counts;
        std::string label, consumer;
    };
    explicit CountingGpio(Shared& shared) : s(shared) {}

    Chip* openChipByLabel(const char* label) override {
        ++s.counts.open;
        s.label = label;
        return s.chipFails ? nullptr : reinterpret_cast<Chip*>(&s);
    }
    Line* getLine(Chip*, unsigned offset) override {
        ++s.counts.getLine;
        if (s.lineFails.count(offset)) return nullptr;
        return reinterpret_cast<Line*>(&s.values.at(offset));
    }
    int requestInput(Line* line, const char* consumer) override {
        ++s.counts.request;
        s.consumer = consumer;
        return s.requestFails.count(offsetOf(line)) ? -1 : 0;
    }
    int getValue(Line* line) override {
        ++s.counts.get;
        return s.valueFails.count(offsetOf(line)) ? -1 : *reinterpret_cast<int*>(line);
    }
    void releaseLine(Line*) override { ++s.counts.release; }
    void closeChip(Chip*) override { ++s.counts.close; }

private:
    unsigned offsetOf(Line* line) {
        for (auto& [offset, value] : s.values) {
            if (reinterpret_cast<Line*>(&value) == line) return offset;
        }
        return 0;
    }
    Shared& s;
};

// A core whose LPC write runs a hook first (a source switch arriving mid-write).
class HookedCore : public RecordingCore {
public:
    std::function<void()> beforeLpcWrite;
    bool writeLpcToIec61850(int durationSeconds, bool active, float limitW) override {
        if (beforeLpcWrite) beforeLpcWrite();
        return RecordingCore::writeLpcToIec61850(durationSeconds, active, limitW);
    }
};

class ServiceInTest : public testsupport::IecTest {
protected:
    ServiceInTest() { workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n"); }

    std::unique_ptr<ExternalInterfaceServiceIn> make(bool startThread = false,
                                                     std::chrono::milliseconds cycle = 10s) {
        ServiceInOptions options;
        options.gpio = std::make_unique<CountingGpio>(gpio);
        options.cycle = cycle;
        options.startThread = startThread;
        return std::make_unique<ExternalInterfaceServiceIn>(core, std::move(options));
    }

    // One cycle with these line values (console traces of the cycle swallowed).
    void cycle(ExternalInterfaceServiceIn& relay, std::map<unsigned, int> values = {}) {
        for (auto [line, value] : values) gpio.values[line] = value;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        relay.runCycle();
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
    }

    std::vector<std::string> takeWrites() {
        std::vector<std::string> out;
        for (const auto& w : core.writes()) {
            char text[96];
            std::snprintf(text, sizeof(text), "%s %d %s %.1f", w.kind == Kind::Lpc ? "LPC" : "LPP", w.durationSeconds,
                          w.active ? "on" : "off", w.limitW);
            out.push_back(text);
        }
        core.clear();
        return out;
    }

    void writeSettings(float pvKwPeak) {
        workDir.writeFile("/etc/nymea/tavelmarck.conf",
                          "[PvConfigurations]\n%7Bpv%7D\\controllableLocalSystem=true\n%7Bpv%7D\\kwPeak=" +
                              std::to_string(pvKwPeak) + "\n");
    }

    CountingGpio::Shared gpio;
    HookedCore core;
};

using Writes = std::vector<std::string>;

TEST_F(ServiceInTest, GpioFailureModesGiveUnreadableLinesAndBalancedCalls) {
    struct Case {
        const char* name;
        std::function<void(CountingGpio::Shared&)> fail;
        std::array<int32_t, 4> readings;
        CountingGpio::Counts counts;
        const char* logged;
    };
    const Case cases[] = {
        {"all read", [](auto&) {}, {1, 0, 1, 0}, {1, 4, 4, 4, 4, 1}, "ServiceIn: GPIO12 = 1"},
        {"chip", [](auto& s) { s.chipFails = true; }, {-1, -1, -1, -1}, {1, 0, 0, 0, 0, 0},
         "ServiceIn: Error: Unable to open chip pelmox"},
        {"line", [](auto& s) { s.lineFails = {13}; }, {1, -1, 1, 0}, {1, 4, 3, 3, 3, 1},
         "Error: Unable to get line for pin 13"},
        {"request", [](auto& s) { s.requestFails = {14}; }, {1, 0, -1, 0}, {1, 4, 4, 3, 4, 1},
         "ServiceIn: Error: Request line as input failed for pin 14"},
        {"value", [](auto& s) { s.valueFails = {15}; }, {1, 0, 1, -1}, {1, 4, 4, 4, 4, 1},
         "ServiceIn: Error: gpiod_line_get_value failed for pin 15"},
    };
    for (const Case& c : cases) {
        gpio = {};
        c.fail(gpio);
        syslog.clear();
        auto relay = make();
        cycle(*relay, {{12, 1}, {13, 0}, {14, 1}, {15, 0}});
        const auto snap = relay->snapshot();
        EXPECT_EQ((std::array<int32_t, 4>{snap.gpio12, snap.gpio13, snap.gpio14, snap.gpio15}), c.readings) << c.name;
        const auto& n = gpio.counts;
        EXPECT_EQ((std::array<int, 6>{n.open, n.getLine, n.request, n.get, n.release, n.close}),
                  (std::array<int, 6>{c.counts.open, c.counts.getLine, c.counts.request, c.counts.get,
                                      c.counts.release, c.counts.close}))
            << c.name;
        EXPECT_EQ(gpio.label, "pelmox");
        if (n.request > 0) {
            EXPECT_EQ(gpio.consumer, "gpio_read");
        }
        EXPECT_TRUE(syslog.contains(c.logged)) << c.name;
    }
}

TEST_F(ServiceInTest, RelayStatesForEveryContactMask) {
    struct Case {
        int l12, l13, l14, l15;
        int32_t lpc, lpp;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 1, 3}, {0, 0, 1, 0, 0, 2}, {0, 0, 0, 1, 0, 1},
        {0, 0, 1, 1, 0, 4}, {0, 1, 0, 1, 0, 4}, {0, 1, 1, 0, 0, 4}, {0, 1, 1, 1, 0, 4},
        {2, 2, 0, 0, 0, 0},  // any raw value other than 1 reads as 0
    };
    auto relay = make();
    for (const Case& c : cases) {
        cycle(*relay, {{12, c.l12}, {13, c.l13}, {14, c.l14}, {15, c.l15}});
        const auto snap = relay->snapshot();
        EXPECT_EQ(snap.lpcState, c.lpc) << c.l12 << c.l13 << c.l14 << c.l15;
        EXPECT_EQ(snap.lppState, c.lpp) << c.l12 << c.l13 << c.l14 << c.l15;
    }
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "ServiceIn: LPP: Invalid/undefined GPIO combination (mask=6)."));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: LPP: 30% limit (13=0,14=1,15=0)."));

    gpio.valueFails = {12, 14};
    cycle(*relay);
    EXPECT_EQ(relay->snapshot().lpcState, ExternalInterfaceServiceIn::LPC_SERVICE_IN_STATE_UNUSED);
    EXPECT_EQ(relay->snapshot().lppState, ExternalInterfaceServiceIn::LPP_SERVICE_IN_STATE_UNUSED);
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "ServiceIn: LPC: GPIO12 unused/invalid."));
    EXPECT_THROW(ExternalInterfaceServiceIn::lpcStateName(3), std::invalid_argument);
}

TEST_F(ServiceInTest, CyclesWriteOnlyChangesAndLiftWhatTheySet) {
    struct Step {
        const char* what;
        std::map<unsigned, int> lines;
        float activeLpc, activeLpp;  // what the core reports before the cycle
        Writes writes;
    };
    writeSettings(10.0f);
    auto relay = make();
    const Step steps[] = {
        {"dimmed, 60 %", {{12, 1}, {13, 0}, {14, 0}, {15, 1}}, -1, -1, {"LPC 0 on 4200.0", "LPP 0 on 6000.0"}},
        {"nothing changed", {}, 4200, 6000, {}},
        {"30 %", {{14, 1}, {15, 0}}, 4200, 6000, {"LPP 0 on 3000.0"}},
        {"unrestricted", {{12, 0}, {14, 0}}, 4200, 3000, {"LPC 0 off -1.0", "LPP 0 off 0.0"}},
        {"unrestricted again", {}, -1, -1, {}},
        {"mask 6: LPP unused, nothing written", {{13, 1}, {14, 1}}, -1, -1, {}},
        {"0 %", {{13, 1}, {14, 0}}, -1, -1, {"LPP 0 on 0.0"}},
    };
    for (const Step& s : steps) {
        core.setActive(1, s.activeLpc);
        core.setActive(2, s.activeLpp);
        cycle(*relay, s.lines);
        EXPECT_EQ(takeWrites(), s.writes) << s.what;
    }
    // After a reset the same relay values are written again.
    relay->resetCachedValues();
    core.setActive(1, -1);
    cycle(*relay);
    EXPECT_EQ(takeWrites(), Writes{"LPP 0 on 0.0"});
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: Cached LPC/LPP values reset."));
}

TEST_F(ServiceInTest, AZeroWattProductionLimitIsLiftedWhenTheRelaysRelease) {
    // No PV configured: every step limits to 0 W, so only the active flag changes.
    auto relay = make();
    cycle(*relay, {{12, 0}, {13, 0}, {14, 0}, {15, 1}});
    EXPECT_EQ(takeWrites(), Writes{"LPP 0 on 0.0"});
    cycle(*relay, {{14, 1}, {15, 0}});
    EXPECT_EQ(takeWrites(), Writes{});
    core.setActive(2, 0);
    cycle(*relay, {{14, 0}});
    EXPECT_EQ(takeWrites(), Writes{"LPP 0 off 0.0"});
    EXPECT_TRUE(relay->snapshot().cachedLppActive == false);
}

// A production limit that is never applied is never logged as activated:
// one the settings make infinite is refused before the write, one the core
// refuses is retried. "Unrestricted" lifts the limit whatever the computed
// value is: the deactivation does not use it.
TEST_F(ServiceInTest, AnLppThatIsNotAppliedIsNotReportedActivated) {
    struct Case {
        const char* what;
        float pvKwPeak;
        bool coreTakesIt;
        std::map<unsigned, int> lines;
        float activeLpp;  // what the core reports before the cycle
        Writes writes;
        std::string error;  // "": no error line
    };
    const std::string nonFinite = "ServiceIn: LPP - computed limit is no finite number (PV_CLS_peak_kW_Sum=" + [] {
        char text[64];
        std::snprintf(text, sizeof(text), "%.3f", 3e38f);
        return std::string(text);
    }() + " kW); not written.";
    const std::map<unsigned, int> sixtyPercent = {{12, 0}, {13, 0}, {14, 0}, {15, 1}};
    const std::map<unsigned, int> unrestricted = {{12, 0}, {13, 0}, {14, 0}, {15, 0}};
    const Case cases[] = {
        {"beyond any plant", 3e38f, true, sixtyPercent, -1, {}, nonFinite},
        {"refused by the core", 10.0f, false, sixtyPercent, -1, {"LPP 0 on 6000.0"},
         "ServiceIn: LPP - the write of 6000 W was refused; trying again next cycle."},
        {"unrestricted beyond any plant", 3e38f, true, unrestricted, 2400, {"LPP 0 off 0.0"}, ""},
    };
    for (const auto& c : cases) {
        writeSettings(c.pvKwPeak);
        core.writeResult = c.coreTakesIt;
        core.setActive(2, c.activeLpp);
        syslog.clear();
        auto relay = make();
        cycle(*relay, c.lines);
        EXPECT_EQ(takeWrites(), c.writes) << c.what;
        if (!c.error.empty()) {
            EXPECT_TRUE(syslog.contains(LOG_ERR, c.error)) << c.what;
        } else {
            EXPECT_FALSE(syslog.contains(nonFinite)) << c.what;
            EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: LPP successfully deactivated.")) << c.what;
        }
        for (const auto& r : syslog.records()) {
            EXPECT_EQ(r.text.find("ServiceIn: LPP successfully activated"), std::string::npos) << c.what;
        }
    }
}

TEST_F(ServiceInTest, ARefusedWriteIsRetriedAndAResetDuringTheCycleWins) {
    auto relay = make();
    core.writeResult = false;
    cycle(*relay, {{12, 1}, {13, 0}, {14, 0}, {15, 0}});
    cycle(*relay);
    EXPECT_EQ(takeWrites(), (Writes{"LPC 0 on 4200.0", "LPC 0 on 4200.0"}));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "ServiceIn: LPC - the write of 4.20 kW was refused; trying again next cycle."));
    EXPECT_EQ(relay->snapshot().cachedLpcKw, -1.0f);

    core.writeResult = true;
    cycle(*relay);
    cycle(*relay);
    EXPECT_EQ(takeWrites(), Writes{"LPC 0 on 4200.0"});

    // The source switch resets the caches while this cycle writes: the next cycle writes again.
    relay->resetCachedValues();
    core.beforeLpcWrite = [&] { relay->resetCachedValues(); };
    cycle(*relay);
    core.beforeLpcWrite = nullptr;
    EXPECT_EQ(relay->snapshot().cachedLpcKw, -1.0f);
    cycle(*relay);
    EXPECT_EQ(takeWrites(), (Writes{"LPC 0 on 4200.0", "LPC 0 on 4200.0"}));
}

TEST_F(ServiceInTest, DestructionWhileWaitingIsPrompt) {
    gpio.values[12] = 1;
    auto relay = make(true, 10s);
    ASSERT_TRUE(core.waitForWrites(1));
    std::this_thread::sleep_for(20ms);  // into the 10-s wait
    const auto start = std::chrono::steady_clock::now();
    relay.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "ServiceIn Destruktor ---> Stopped pollServiceIns thread"));
}

// Polling goes on when the settings file or a stand-in line file turns into
// a FIFO: no open waits for a writer, the cycle reads what it can.
TEST_F(ServiceInTest, FifosInPlaceOfTheSettingsOrALineFileStopNoCycle) {
    namespace fs = std::filesystem;
    const fs::path settings = workDir.path() / "etc/nymea/tavelmarck.conf";
    testsupport::makeBadFile(testsupport::BadFile::kFifo, settings);
    auto relay = testsupport::readsWithoutBlocking(settings, [&] { return make(); });
    EXPECT_TRUE(testsupport::readsWithoutBlocking(settings, [&] {
        cycle(*relay, {{12, 1}, {13, 0}, {14, 0}, {15, 0}});
        return true;
    }));
    EXPECT_EQ(takeWrites(), Writes{"LPC 0 on 4200.0"});
    EXPECT_TRUE(syslog.contains(LOG_ERR, "ServiceIn: Error: Unable to open settings file in " + settings.string() +
                                             ": it is not a regular file"));

    const fs::path dir = workDir.path() / "gpio";
    workDir.writeFile("gpio/12", "1\n");
    auto backend = makeFileGpioBackend(dir.string());
    GpioBackend::Line* line = backend->getLine(backend->openChipByLabel("any"), 12);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(backend->getValue(line), 1);
    testsupport::makeBadFile(testsupport::BadFile::kFifo, dir / "12");
    EXPECT_EQ(testsupport::readsWithoutBlocking(dir / "12", [&] { return backend->getValue(line); }), -1);
    testsupport::makeBadFile(testsupport::BadFile::kHuge, dir / "12", "1");
    EXPECT_EQ(backend->getValue(line), -1);
    EXPECT_EQ(backend->getLine(backend->openChipByLabel("any"), 13), nullptr);
}

TEST_F(ServiceInTest, TheFileStandInAndLibgpiodThroughTheSeam) {
    namespace fs = std::filesystem;
    const fs::path dir = workDir.path() / "gpio";
    fs::create_directories(dir);
    workDir.writeFile("gpio/12", "1\n");
    workDir.writeFile("gpio/13", "0");
    workDir.writeFile("gpio/14", "x");  // no value: a failed read
    // line 15 missing: no such line

    ::setenv(kGpioStandInEnv, dir.c_str(), 1);
    ServiceInOptions options;
    options.gpio = makeDefaultGpioBackend();
    ::unsetenv(kGpioStandInEnv);
    options.startThread = false;
    auto standIn = std::make_unique<ExternalInterfaceServiceIn>(core, std::move(options));
    cycle(*standIn);
    auto snap = standIn->snapshot();
    EXPECT_EQ((std::array<int32_t, 4>{snap.gpio12, snap.gpio13, snap.gpio14, snap.gpio15}),
              (std::array<int32_t, 4>{1, 0, -1, -1}));
    EXPECT_EQ(takeWrites(), Writes{"LPC 0 on 4200.0"});

    // libgpiod on a machine without the chip: every line unreadable, nothing written.
    options.gpio = makeLibgpiodBackend();
    auto real = std::make_unique<ExternalInterfaceServiceIn>(core, std::move(options));
    syslog.clear();
    cycle(*real);
    snap = real->snapshot();
    if (fs::exists("/dev/gpiochip0")) GTEST_SKIP() << "this machine has a GPIO chip";
    EXPECT_EQ((std::array<int32_t, 4>{snap.gpio12, snap.gpio13, snap.gpio14, snap.gpio15}),
              (std::array<int32_t, 4>{-1, -1, -1, -1}));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "ServiceIn: Error: Unable to open chip pelmox"));
    EXPECT_EQ(takeWrites(), Writes{});
}

}  // namespace
