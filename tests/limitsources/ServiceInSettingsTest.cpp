// The home's device settings: the INI dialect, its numbers, the device lists
// and P_min.
#include <syslog.h>

#include <cmath>
#include <iostream>

#include "external/ServiceInSettings.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace servicein;

class SettingsTest : public testsupport::IecTest {
protected:
    SettingsTest() { workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n"); }

    DeviceSettings parse(const std::string& text) {
        testing::internal::CaptureStdout();
        DeviceSettings settings = parseThings(parseSettingsText(text), log);
        testing::internal::GetCapturedStdout();
        return settings;
    }

    float pMin(const std::vector<Thing>& things, int32_t lpcState = 1) {
        testing::internal::CaptureStdout();
        const float value = calculatePmin(things, lpcState, log);
        testing::internal::GetCapturedStdout();
        return value;
    }

    uint32_t level = LOG_DEBUG;
    LogContext log{&level, false};
};

TEST(SettingsNumber, DecimalsAndVariantFloatsInBothByteOrders) {
    struct Case {
        const char* text;
        std::optional<float> value;
    };
    const Case cases[] = {
        {"10", 10.0f},
        {"7.5kW", 7.5f},  // the leading number
        {"+3", 3.0f},
        {"0", 0.0f},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"-5", std::nullopt},  // never a negative limit
        {"inf", std::nullopt},
        {"nan", std::nullopt},
        {"1e39", std::nullopt},
        // A float variant: type word 00 00 00 87, then the value big-endian (10.0).
        {R"(@Variant(\0\0\0\x87\x41 \0\0))", 10.0f},
        {R"(@Variant(\0\0\0\x87\x41\x20\0\0))", 10.0f},
        // No type word: the first little-endian (then big-endian) reading in range.
        {R"(@Variant(\0\0\x20\x41))", 10.0f},
        {R"(@Variant(\0\0\0\x87\xc1 \0\0))", std::nullopt},  // -10.0
        {R"(@Variant(\0\0\0\x87\x7f\x80\0\0))", std::nullopt},  // infinity
        {R"(@Variant(\0\0\0\x87\x41 \0\0)", std::nullopt},     // no closing parenthesis
        {R"(@Variant(ab))", std::nullopt},                     // fewer than 4 bytes
        {R"(@Variant(\xff\xff\xff\xff))", std::nullopt},      // no reading in range
    };
    for (const Case& c : cases) {
        const auto value = parseSettingsNumber(c.text);
        ASSERT_EQ(value.has_value(), c.value.has_value()) << c.text;
        if (value) {
            EXPECT_FLOAT_EQ(*value, *c.value) << c.text;
        }
    }
}

TEST(SettingsKey, ThingIdAndPropertyAreCutAtPercentAndBackslash) {
    struct Case {
        const char* key;
        const char* id;
        const char* property;
    };
    const Case cases[] = {
        {R"(%7Bab-12%7D\controllableLocalSystem)", "7Bab-12%7D", "controllableLocalSystem"},
        {R"(x%7Bid%7D\kwPeak)", "7Bid%7D", "xkwPeak"},
        {R"(%7Bid%7D\a\b)", "7Bid%7D", "a\\b"},
    };
    for (const Case& c : cases) {
        const auto split = splitKey(c.key);
        ASSERT_TRUE(split) << c.key;
        EXPECT_EQ(split->first, c.id);
        EXPECT_EQ(split->second, c.property);
    }
    for (const char* key : {"plain", R"(no\percent)", "%nobackslash", R"(\before%)"}) {
        EXPECT_FALSE(splitKey(key)) << key;
    }
}

TEST_F(SettingsTest, TheIniDialectWithCommentsCrlfSectionsAndDuplicates) {
    const std::string text =
        "top=level\r\n"
        "# a comment=not a key\n"
        "; another=comment\n"
        "\n"
        "  [ChargingOptimizationConfigurations]  \r\n"
        "%7Bwb1%7D\\controllableLocalSystem = false\r\n"
        "%7Bwb1%7D\\controllableLocalSystem\t=\tTRUE\r\n"  // the later line wins
        "%7Bwb2%7D\\controllableLocalSystem=yes\n"
        "%7Bwb3%7D\\controllableLocalSystem=no\n"
        "[broken section\n"
        "no equals sign here\n"
        "[HeatingConfigurations]\n"
        "%7Bhp%7D\\controllableLocalSystem=1\n"
        "%7Bhp%7D\\maxElectricalPower=9\n"
        "%7Bwb1%7D\\controllableLocalSystem=true\n"  // already a wallbox: stays one
        "%7Bwb1%7D\\maxElectricalPower=abc\n"          // not a number: skipped
        "[HeatingRodConfigurations]\n"
        "%7Brod%7D\\controllableLocalSystem=true\n"
        "%7Brod%7D\\maxElectricalPower=@Variant(\\0\\0\\0\\x87\\x40\\x40\\0\\0)\n"
        "[PvConfigurations]\n"
        "%7Bpv1%7D\\controllableLocalSystem=true\n"
        "%7Bpv1%7D\\kwPeak=@Variant(\\0\\0\\0\\x87\\x41 \\0\\0)\n"
        "%7Bpv2%7D\\controllableLocalSystem=true\n"
        "%7Bpv2%7D\\kwPeak=2.5\n"
        "%7Bpv3%7D\\controllableLocalSystem=true\n"
        "%7Bpv3%7D\\kwPeak=-4\n"
        "%7Bpv4%7D\\controllableLocalSystem=false\n"
        "%7Bpv4%7D\\kwPeak=100\n"
        "[BatteryConfigurations]\n"
        "%7Bbat%7D\\controllableLocalSystem=true\n"
        "[OtherConfigurations]\n"
        "%7Bother%7D\\controllableLocalSystem=true\n";

    const SettingsStore store = parseSettingsText(text);
    EXPECT_EQ(store.at("").at("top"), "level");
    EXPECT_EQ(store.at("ChargingOptimizationConfigurations").at("%7Bwb1%7D\\controllableLocalSystem"), "TRUE");
    EXPECT_EQ(store.at("ChargingOptimizationConfigurations").count("[broken section"), 0u);
    EXPECT_EQ(store.count("broken section"), 0u);

    level = LOG_ERR;  // the direct records ignore the threshold
    const DeviceSettings settings = parse(text);
    std::vector<std::string> found;
    for (const Thing& t : settings.things) {
        found.push_back(t.id + " " + thingTypeName(t.type) + " " + std::to_string(static_cast<int>(t.pMax * 10)));
    }
    // Sections in name order: Battery, ChargingOptimization, Heating, HeatingRod.
    EXPECT_EQ(found, (std::vector<std::string>{"7Bbat%7D Storage 0", "7Bwb1%7D Wallbox 0", "7Bwb2%7D Wallbox 0",
                                               "7Bhp%7D HeatPump 90", "7Brod%7D HeatingRod 30"}));
    EXPECT_FLOAT_EQ(settings.pvClsPeakKwSum, 12.5f);
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "ServiceIn: kwPeak for 7Bpv3%7D not numeric (len=2)"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: CLS PV 7Bpv1%7D is controllable; kwPeak = 10.000 kW; sum = 10.000 kW"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: Found CLS consumer thing with type HeatingRod"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: Updated P_max for CLS thing 7Bhp%7D to 9.0 kW"));
    EXPECT_TRUE(syslog.contains(LOG_DEBUG, "ServiceIn: Found P_max for thing 7Bwb1%7D: abc kW"));
    // Filtered by the threshold: the skipped P_max (warning) is above "err".
    EXPECT_FALSE(syslog.contains("ServiceIn: P_max for 7Bwb1%7D is no number >= 0; skipped (len=3)"));
}

TEST_F(SettingsTest, AMissingFileGivesAnEmptyStoreAndALogLine) {
    testing::internal::CaptureStderr();
    EXPECT_TRUE(readSettingsFile(workDir.path().string() + "/etc/nymea/missing.conf", log).empty());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not open the settings file at "), std::string::npos);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "ServiceIn: Error: Unable to open settings file in " +
                                             workDir.path().string() + "/etc/nymea/missing.conf"));
}

// The home platform's file replaced by something that is no file (a FIFO
// would have stopped the relay road in its open): an empty store at once and
// one line naming the file and why.
TEST_F(SettingsTest, EntriesThatAreNoFilesGiveAnEmptyStoreWithoutBlocking) {
    const auto path = workDir.path() / "etc/nymea/tavelmarck.conf";
    for (const auto& c : testsupport::badFileCases()) {
        testsupport::makeBadFile(c.kind, path, "[PvConfigurations]\n");
        syslog.clear();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(testsupport::readsWithoutBlocking(path, [&] { return readSettingsFile(path, log); }).empty())
            << c.name;
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(syslog.contains(LOG_ERR, "ServiceIn: Error: Unable to open settings file in " + path.string() +
                                                 ": it " + c.reason))
            << c.name;
    }
}

TEST_F(SettingsTest, PminForTheDeviceMixes) {
    auto things = [](std::initializer_list<std::pair<int32_t, float>> list) {
        std::vector<Thing> out;
        int n = 0;
        for (auto [type, pMax] : list) out.push_back({'t' + std::to_string(++n), type, pMax});
        return out;
    };
    struct Case {
        const char* name;
        std::vector<Thing> things;
        int count;
        float pMin;
    };
    std::vector<Thing> twelve(12, Thing{"wb", Wallbox, 0});
    const Case cases[] = {
        {"no devices", {}, 0, 4.2f},
        {"one wallbox", things({{Wallbox, 11}}), 1, 4.2f},
        {"two wallboxes and a 9-kW heat pump", things({{Wallbox, 0}, {Wallbox, 0}, {HeatPump, 9}}), 3, 10.5f},
        {"two wallboxes and a 12-kW heat pump", things({{Wallbox, 0}, {Wallbox, 0}, {HeatPump, 12}}), 3, 11.1f},
        {"heat pump and heating rod count as one", things({{HeatPump, 5}, {HeatingRod, 4}}), 1, 4.2f},
        {"heat pump and heating rod above 11 kW", things({{HeatPump, 12}, {HeatingRod, 3}}), 1, 6.0f},
        {"exactly 11 kW is case 2", things({{HeatPump, 11}, {Storage, 0}}), 2, 4.2f + 0.8f * 4.2f},
        {"type None is no device", things({{None, 0}, {Wallbox, 0}}), 1, 4.2f},
        {"twelve devices use GZF 0.45", twelve, 12, 4.2f + 11 * 0.45f * 4.2f},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(countControllableDevices(c.things), c.count) << c.name;
        testing::internal::GetCapturedStdout();
        EXPECT_NEAR(pMin(c.things), c.pMin, 1e-4) << c.name;
    }
    EXPECT_EQ(pMin(things({{Wallbox, 0}}), 0), -1.0f);
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: LPC - Using simultaneity factor GZF = 0.45"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "ServiceIn: LPC - Applying Case 1 (device > 11 kW)."));
}

}  // namespace
