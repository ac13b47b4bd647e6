#pragma once
// The shared readers of the home-side outputs (D-Bus, JSON-RPC, internal
// MQTT): the active-power output of a CLS, its total active power, the
// scaling of the limit into whole watts, and the limit schedule of a CLS.
//
// Every value is read afresh from the model through the library's getters,
// under the data-model lock; nothing is cached here and no lock is held once
// a reader returns. Conversions to integers check their input first:
// a NaN, an infinity or a value outside int64 is reported, never cast.

#include <cstdint>
#include <optional>
#include <string>

#include "iec61850/iec61850_server.h"
#include "server/IecCore.h"

// One reading of "ActPow_GGIO001.AnOut1" of a CLS; every field zero when
// "mxVal" is missing.
struct ActPowGGIO001An1Data {
    float mxVal = 0.0f;
    uint64_t t = 0;  // UTC, ms since the epoch
    int32_t unitsMultiplier = 0;
    float minVal = 0.0f;
    float maxVal = 0.0f;
};

// The D-Bus struct "(xti)" of the total active power.
struct TotwValue {
    int64_t value = 0;
    uint64_t time = 0;  // s since the epoch
    int32_t multiplier = 0;
};

namespace valuereaders {

// Prints "getActPowGGIO001An1 -> DataAttribute for CLS<n> not found" when
// the output is missing (also for a null server).
ActPowGGIO001An1Data getActPowGGIO001An1(IedServer server, int n);

// "MMXU001.TotW.mag.f" of CLS n; nullopt when missing.
std::optional<float> getMMXU001TotW(IedServer server, int n);

// The TotW of CLS n truncated toward zero, with the time in seconds and
// multiplier 0; nullopt when TotW is missing or has no int64 value.
std::optional<TotwValue> totwValue(IedServer server, int n, uint64_t nowSeconds);

enum class ScaleError { None, MultiplierOutOfRange, OutOfBounds, NotANumber };

struct ScaledLimit {
    int64_t value = 0;
    ScaleError error = ScaleError::None;
    double scaled = 0.0;  // mxVal * 10^multiplier, for the error text
};

inline constexpr int32_t kMaxMultiplier = 24;
inline constexpr const char* kScaleOutOfRange = "Scale factor is out of expected range.";
inline constexpr const char* kScaledOutOfBounds = "Scaled power limit is out of int64_t bounds.";
inline constexpr const char* kScaledNotANumber = "Scaled power limit is not a number.";

// mxVal * 10^multiplier in whole watts, halves away from zero; -1 (no limit)
// for every negative value. The multiplier is checked first.
ScaledLimit scalePowerLimit(float mxVal, int32_t multiplier);
const char* scaleErrorText(ScaleError error);

// Rounded half away from zero / truncated toward zero; nullopt for NaN,
// infinities and values outside int64.
std::optional<int64_t> roundToInt64(double value);
std::optional<int64_t> truncateToInt64(double value);

// The limit schedule of CLS n from the core, printed one entry a line after
// the line "getSchedulePowerLimit: ".
PowerLimitScheduleMap getSchedulePowerLimit(IecCore& core, int n);

}  // namespace valuereaders
