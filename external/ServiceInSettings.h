#pragma once
// The home's device settings as the relay interface reads them: the home
// platform's settings file (an INI dialect with percent-escaped keys and
// "@Variant(...)" floats), the controllable consumer devices and PV systems
// found there, and P_min, the consumption limit while the relays dim.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace servicein {

enum ThingType : int32_t { None = 0, Wallbox = 1, HeatPump = 2, Cooling = 3, Storage = 4, HeatingRod = 5, PV = 6 };
// "None" .. "PV"; "Unknown" for any other value.
const char* thingTypeName(int32_t type);

struct Thing {
    std::string id;
    int32_t type = None;
    float pMax = 0;  // kW
};

// Section -> key -> value. Keys before any section belong to the section "".
using SettingsStore = std::map<std::string, std::map<std::string, std::string>>;

// Log threshold and console traces of the caller.
struct LogContext {
    const uint32_t* logLevel;
    bool debugMode;
};

// Reads the settings file; an unreadable file gives an empty store.
SettingsStore readSettingsFile(const std::string& path, const LogContext& log);
// The same for text already read.
SettingsStore parseSettingsText(const std::string& text);

// Splits "%7Bid%7D\property" into the thing id ("7Bid%7D") and the property;
// nullopt for a key without a "%" followed later by a "\".
std::optional<std::pair<std::string, std::string>> splitKey(const std::string& key);

// A settings number: a decimal (its leading number) or "@Variant(...)" with a
// float inside. nullopt unless it is a finite number >= 0.
std::optional<float> parseSettingsNumber(const std::string& value);

struct DeviceSettings {
    std::vector<Thing> things;  // controllable consumers
    float pvClsPeakKwSum = 0;   // kW peak of the controllable PV systems
};
DeviceSettings parseThings(const SettingsStore& store, const LogContext& log);

// steuVE: consumers that are not None; heat pumps and heating rods count as one.
int countControllableDevices(const std::vector<Thing>& things);

// P_min in kW for the LPC state (0 unrestricted gives -1, the value for no limit).
float calculatePmin(const std::vector<Thing>& things, int32_t lpcState, const LogContext& log);

}  // namespace servicein
