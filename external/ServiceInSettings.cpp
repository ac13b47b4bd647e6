#include "external/ServiceInSettings.h"

#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "foundation/FileRead.h"
#include "foundation/Logging.h"

namespace servicein {
namespace {

// Records that go to syslog whatever the threshold says.
void directSyslog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void directSyslog(int priority, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    writeSyslog(priority, text);
}

std::string strip(const std::string& text, const char* blanks) {
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// The per-thing record while one section is parsed.
struct SettingsThingEntry {
    bool controllable = false;
    float kwPeak = 0;
    bool hasKwPeak = false;
};

std::optional<float> finiteNonNegative(float value) {
    if (!std::isfinite(value) || value < 0) return std::nullopt;
    return value;
}

// The leading decimal number of text.
std::optional<float> leadingNumber(const std::string& text) {
    float value = 0;
    const char* begin = text.data();
    if (!text.empty() && text.front() == '+') ++begin;
    auto result = std::from_chars(begin, text.data() + text.size(), value, std::chars_format::general);
    if (result.ec != std::errc()) return std::nullopt;
    return finiteNonNegative(value);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<uint8_t> unescape(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
            hexDigit(text[i + 3]) >= 0) {
            bytes.push_back(static_cast<uint8_t>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3])));
            i += 3;
        } else if (c == '\\' && i + 1 < text.size() && text[i + 1] == '0') {
            bytes.push_back(0);
            i += 1;
        } else if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes.push_back('\\');
            i += 1;
        } else {
            bytes.push_back(static_cast<uint8_t>(c));
        }
    }
    return bytes;
}

float floatFromBytes(const uint8_t* p, bool bigEndian) {
    const uint32_t bits = bigEndian ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                                    : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

std::optional<float> variantNumber(const std::string& value) {
    constexpr const char* kPrefix = "@Variant(";
    if (value.back() != ')') return std::nullopt;
    const std::vector<uint8_t> bytes = unescape(value.substr(std::strlen(kPrefix), value.size() - std::strlen(kPrefix) - 1));
    if (bytes.size() < 4) return std::nullopt;
    if (bytes.size() >= 8 && bytes[3] == 0x87) {
        // A float variant: the type word, then the value, big-endian.
        return finiteNonNegative(floatFromBytes(&bytes[4], true));
    }
    for (size_t offset = 0; offset + 4 <= bytes.size(); ++offset) {
        for (bool bigEndian : {false, true}) {
            const float reading = floatFromBytes(&bytes[offset], bigEndian);
            if (std::isfinite(reading) && reading >= 0 && reading <= 1000000) return reading;
        }
    }
    return std::nullopt;
}

void parseThingsOfType(const std::map<std::string, std::string>& section, ThingType type, DeviceSettings& out,
                       const LogContext& log) {
    if (log.debugMode) {
        std::cout << thingTypeName(type) << std::endl;
        for (const auto& [key, value] : section) std::cout << "  Key: " << key << ", Value: " << value << std::endl;
    }
    std::map<std::string, SettingsThingEntry> entries;
    for (const auto& [key, value] : section) {
        const auto split = splitKey(key);
        if (!split) continue;
        const auto& [id, property] = *split;
        SettingsThingEntry& entry = entries[id];
        if (property == "controllableLocalSystem") {
            std::string lower = value;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            entry.controllable = lower == "true" || lower == "1" || lower == "yes";
        } else if (property == "kwPeak" && type == PV) {
            if (const auto number = parseSettingsNumber(value)) {
                entry.kwPeak = *number;
                entry.hasKwPeak = true;
            } else {
                directSyslog(LOG_WARNING, "ServiceIn: kwPeak for %s not numeric (len=%zu)", id.c_str(), value.size());
            }
        }
    }
    for (const auto& [id, entry] : entries) {
        if (type == PV) {
            if (entry.controllable && entry.hasKwPeak) {
                out.pvClsPeakKwSum += entry.kwPeak;
                directSyslog(LOG_INFO, "ServiceIn: CLS PV %s is controllable; kwPeak = %.3f kW; sum = %.3f kW",
                             id.c_str(), entry.kwPeak, out.pvClsPeakKwSum);
            } else if (log.debugMode) {
                std::cout << "  PV " << id << (entry.controllable ? " missing kwPeak; skip." : " not controllable; skip.")
                          << std::endl;
            }
            continue;
        }
        if (!entry.controllable) {
            if (log.debugMode) std::cout << "  Consumer " << id << " not controllable; skip." << std::endl;
            continue;
        }
        directSyslog(LOG_INFO, "ServiceIn: Found CLS consumer thing with type %s", thingTypeName(type));
        const std::string& thingId = id;
        const bool known =
            std::any_of(out.things.begin(), out.things.end(), [&](const Thing& t) { return t.id == thingId; });
        if (known) continue;
        out.things.push_back({id, type, 0});
        if (log.debugMode) {
            std::cout << "Found CLS Consumer thing with: " << "Thing type: " << type << " " << "Thing ID: " << id
                      << std::endl;
        }
    }
}

void updatePmaxOfThings(const std::map<std::string, std::string>& section, const std::string& property,
                        DeviceSettings& out, const LogContext& log) {
    if (log.debugMode) std::cout << "Updating P_max for CLS things..." << std::endl;
    for (const auto& [key, value] : section) {
        const auto split = splitKey(key);
        if (!split || split->second != property) continue;
        const std::string& id = split->first;
        directSyslog(LOG_DEBUG, "ServiceIn: Found P_max for thing %s: %s kW", id.c_str(), value.c_str());
        const auto pMax = parseSettingsNumber(value);
        if (!pMax) {
            logMessage(log.logLevel, LOG_WARNING, "ServiceIn: P_max for %s is no number >= 0; skipped (len=%zu)",
                       id.c_str(), value.size());
            continue;
        }
        for (Thing& thing : out.things) {
            if (thing.id != id) continue;
            thing.pMax = *pMax;
            directSyslog(LOG_INFO, "ServiceIn: Updated P_max for CLS thing %s to %.1f kW", id.c_str(), thing.pMax);
        }
    }
}

}  // namespace

const char* thingTypeName(int32_t type) {
    static constexpr const char* kNames[] = {"None", "Wallbox", "HeatPump", "Cooling", "Storage", "HeatingRod", "PV"};
    return type >= 0 && type <= PV ? kNames[type] : "Unknown";
}

SettingsStore parseSettingsText(const std::string& text) {
    SettingsStore store;
    std::string section;
    std::istringstream lines(text);
    std::string raw;
    while (std::getline(lines, raw)) {
        const std::string line = strip(raw, " \t\r\n");
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        store[section][strip(line.substr(0, eq), " \t")] = strip(line.substr(eq + 1), " \t");
    }
    return store;
}

SettingsStore readSettingsFile(const std::string& path, const LogContext& log) {
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: Opening settings file: %s", path.c_str());
    if (log.debugMode) std::cout << "Opening settings file..." << std::endl;
    const fileread::FileText file = fileread::readTextFile(path);
    if (!file.read()) {
        std::cerr << "Could not open the settings file at " << path << "!" << std::endl;
        if (file.outcome == fileread::Outcome::kMissing) {
            logMessage(log.logLevel, LOG_ERR, "ServiceIn: Error: Unable to open settings file in %s", path.c_str());
        } else {
            logMessage(log.logLevel, LOG_ERR, "ServiceIn: Error: Unable to open settings file in %s: it %s",
                       path.c_str(), file.reason.c_str());
        }
        return {};
    }
    SettingsStore store = parseSettingsText(file.content);
    logMessage(log.logLevel, LOG_DEBUG, "ServiceIn: Reading settings done.");
    if (log.debugMode) std::cout << "Reading settings done." << std::endl;
    return store;
}

std::optional<std::pair<std::string, std::string>> splitKey(const std::string& key) {
    const size_t percent = key.find('%');
    if (percent == std::string::npos) return std::nullopt;
    const size_t backslash = key.find('\\', percent + 1);
    if (backslash == std::string::npos) return std::nullopt;
    return std::make_pair(key.substr(percent + 1, backslash - percent - 1),
                          key.substr(0, percent) + key.substr(backslash + 1));
}

std::optional<float> parseSettingsNumber(const std::string& value) {
    if (value.size() < 10 || value.rfind("@Variant(", 0) != 0) return leadingNumber(value);
    return variantNumber(value);
}

DeviceSettings parseThings(const SettingsStore& store, const LogContext& log) {
    DeviceSettings out;
    if (log.debugMode) std::cout << "Parsing things from settings..." << std::endl;
    for (const auto& [name, section] : store) {
        if (log.debugMode) std::cout << "Section: " << name << std::endl;
        if (name == "ChargingOptimizationConfigurations") {
            parseThingsOfType(section, Wallbox, out, log);
        } else if (name == "HeatingConfigurations") {
            parseThingsOfType(section, HeatPump, out, log);
            updatePmaxOfThings(section, "maxElectricalPower", out, log);
        } else if (name == "BatteryConfigurations") {
            parseThingsOfType(section, Storage, out, log);
        } else if (name == "HeatingRodConfigurations") {
            parseThingsOfType(section, HeatingRod, out, log);
            updatePmaxOfThings(section, "maxElectricalPower", out, log);
        } else if (name == "PvConfigurations") {
            parseThingsOfType(section, PV, out, log);
        }
    }
    logMessage(log.logLevel, LOG_DEBUG, "ServiceIn: Parsing things from settings done.");
    if (log.debugMode) std::cout << "ServiceIn: Parsing things from settings done." << std::endl;
    return out;
}

int countControllableDevices(const std::vector<Thing>& things) {
    int count = 0;
    bool heatingCounted = false;
    for (const Thing& thing : things) {
        std::cout << "Consumer: " << thingTypeName(thing.type) << std::endl;
        if (thing.type == None) continue;
        if (thing.type == HeatPump || thing.type == HeatingRod) {
            if (heatingCounted) continue;
            heatingCounted = true;
        }
        ++count;
    }
    return count;
}

float calculatePmin(const std::vector<Thing>& things, int32_t lpcState, const LogContext& log) {
    constexpr float kDeviceKw = 4.2f;
    const int n = countControllableDevices(things);
    std::cout << "Number of controllable CLS (steuVE): " << n << std::endl;
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Calculating P_min with number of %lu CLS devices.",
               static_cast<unsigned long>(n));
    if (lpcState == 0) {
        logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Unrestricted mode, no P_min (-1).");
        return -1.0f;
    }
    if (n == 0) {
        logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - No CLS devices found. Returning default P_min = %.1f kW",
                   kDeviceKw);
        return kDeviceKw;
    }
    float heating = 0;
    float cooling = 0;
    float maxDevice = 0;
    for (const Thing& thing : things) {
        if (thing.type == HeatPump || thing.type == HeatingRod) heating += thing.pMax;
        if (thing.type == Cooling) cooling += thing.pMax;
        if (thing.type == HeatPump || thing.type == HeatingRod || thing.type == Cooling) {
            maxDevice = std::max(maxDevice, thing.pMax);
        }
    }
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Total heating group power (WP + HeatingRod): %.1f kW", heating);
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Total cooling group power: %.1f kW", cooling);
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Max single WP/HeatingRod/Cooling device power: %.1f kW",
               maxDevice);
    static constexpr float kGzf[] = {0.0f, 0.8f, 0.75f, 0.7f, 0.65f, 0.6f, 0.55f, 0.5f, 0.45f};
    const float gzf = kGzf[std::min(n, 9) - 1];
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Using simultaneity factor GZF = %.2f", gzf);
    const float others = (static_cast<float>(n - 1) * gzf) * kDeviceKw;
    float pMin;
    if (maxDevice > 11.0f) {
        logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Applying Case 1 (device > 11 kW).");
        pMin = std::max(0.4f * cooling, 0.4f * heating) + others;
    } else {
        logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Applying Case 2 (no device > 11 kW).");
        pMin = kDeviceKw + others;
    }
    logMessage(log.logLevel, LOG_INFO, "ServiceIn: LPC - Calculated P_min: %.2f kW", pMin);
    return pMin;
}

}  // namespace servicein
