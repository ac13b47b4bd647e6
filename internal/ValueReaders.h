#pragma once
// The shared readers of the home-side outputs (D-Bus, JSON-RPC, internal
// MQTT): the active-power output of a CLS (the core's one reading of the
// limit), its total active power and the limit schedule of a CLS.
//
// Every value is read afresh from the model through the library's getters;
// nothing is cached here and no lock is held once a reader returns.

#include <cstdint>
#include <optional>
#include <string>

#include "iec61850/iec61850_server.h"
#include "server/IecCore.h"

// The D-Bus struct "(xti)" of the total active power.
struct TotwValue {
    int64_t value = 0;
    uint64_t time = 0;  // s since the epoch
    int32_t multiplier = 0;
};

namespace valuereaders {

// The active limit of CLS n as the core reads it; prints
// "getActPowGGIO001An1 -> DataAttribute for CLS<n> not found" when the
// output is missing (also before the model exists).
ActiveLimit getActPowGGIO001An1(const IecCore& core, int n);

// "MMXU001.TotW.mag.f" of CLS n; nullopt when missing.
std::optional<float> getMMXU001TotW(IedServer server, int n);

// The TotW of CLS n truncated toward zero, with the time in seconds and
// multiplier 0; nullopt when TotW is missing or has no int64 value.
std::optional<TotwValue> totwValue(IedServer server, int n, uint64_t nowSeconds);

// The limit schedule of CLS n from the core, printed one entry a line after
// the line "getSchedulePowerLimit: ".
PowerLimitScheduleMap getSchedulePowerLimit(IecCore& core, int n);

}  // namespace valuereaders
