#pragma once
// The active power limit of a CLS as the model holds it
// ("ActPow_GGIO001.AnOut1"): the one reading every listener and gateway
// reports, and its checked scaling into whole watts. The core's seam hands
// it out (IecCore::readActiveLimit); nothing here is cached.
//
// Conversions to integers check their input first: a NaN, an infinity or a
// value outside int64 is reported, never cast.

#include <cstdint>
#include <optional>

#include "iec61850/iec61850_server.h"

enum class ScaleError { None, MultiplierOutOfRange, OutOfBounds, NotANumber };

struct ScaledLimit {
    int64_t value = 0;
    ScaleError error = ScaleError::None;
    double scaled = 0.0;  // value * 10^multiplier, unrounded (also for an error text)
};

inline constexpr int32_t kMaxMultiplier = 24;
inline constexpr const char* kScaleOutOfRange = "Scale factor is out of expected range.";
inline constexpr const char* kScaledOutOfBounds = "Scaled power limit is out of int64_t bounds.";
inline constexpr const char* kScaledNotANumber = "Scaled power limit is not a number.";

// One reading of "AnOut1" of a CLS, taken under the data-model lock so value
// and multiplier belong together. Every field zero (and found false) when
// "mxVal.f" is missing; a missing part leaves its field zero.
struct ActiveLimit {
    bool found = false;          // "mxVal.f" exists
    bool hasMultiplier = false;  // "units.multiplier" exists
    float value = 0.0f;          // "mxVal.f"
    int32_t multiplier = 0;      // "units.multiplier"
    uint64_t timestamp = 0;      // "t", UTC ms since the epoch
    float minVal = 0.0f;         // "minVal.f"
    float maxVal = 0.0f;         // "maxVal.f"

    // value * 10^multiplier in whole watts, halves away from zero; -1 (no
    // limit) for every negative value. The multiplier is checked first.
    ScaledLimit scaledWatts() const;
};

// Reads AnOut1 of CLS cls from the model of server (nothing found for a null server).
ActiveLimit readActiveLimitFromModel(IedServer server, int cls);

const char* scaleErrorText(ScaleError error);

// Rounded half away from zero / truncated toward zero; nullopt for NaN,
// infinities and values outside int64.
std::optional<int64_t> roundToInt64(double value);
std::optional<int64_t> truncateToInt64(double value);
