#include "internal/ValueReaders.h"

#include <cmath>
#include <iostream>

#include "foundation/ModelLookup.h"

namespace valuereaders {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

std::string clsDevice(int n) { return "CLS" + std::to_string(n); }

float floatOf(IedServer server, DataAttribute* attribute) {
    return attribute ? IedServer_getFloatAttributeValue(server, attribute) : 0.0f;
}

// Inside int64 once rounded or truncated: [-2^63, 2^63).
std::optional<int64_t> toInt64(double whole) {
    if (std::isnan(whole) || whole < -kTwoTo63 || whole >= kTwoTo63) return std::nullopt;
    return static_cast<int64_t>(whole);
}

}  // namespace

ActPowGGIO001An1Data getActPowGGIO001An1(IedServer server, int n) {
    ActPowGGIO001An1Data data;
    const std::string ld = clsDevice(n);
    DataAttribute* mxVal = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "mxVal", "f");
    if (mxVal == nullptr || server == nullptr) {
        std::cout << "getActPowGGIO001An1 -> DataAttribute for CLS" << n << " not found" << std::endl;
        return data;
    }
    // One consistent reading: a writer changes value and multiplier under the
    // same lock, and the multiplier is read through its borrowed value.
    DataModelLock lock(server);
    data.mxVal = IedServer_getFloatAttributeValue(server, mxVal);
    if (DataAttribute* t = findDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "t")) {
        data.t = IedServer_getUTCTimeAttributeValue(server, t);
    }
    if (DataAttribute* multiplier = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "units", "multiplier")) {
        if (const MmsValue* value = IedServer_getAttributeValue(server, multiplier)) {
            data.unitsMultiplier = MmsValue_toInt32(value);
        }
    }
    data.minVal = floatOf(server, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "minVal", "f"));
    data.maxVal = floatOf(server, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "maxVal", "f"));
    return data;
}

std::optional<float> getMMXU001TotW(IedServer server, int n) {
    DataAttribute* mag = findSubDataAttribute(clsDevice(n), "MMXU001", "TotW", "mag", "f");
    if (mag == nullptr || server == nullptr) return std::nullopt;
    return IedServer_getFloatAttributeValue(server, mag);
}

std::optional<TotwValue> totwValue(IedServer server, int n, uint64_t nowSeconds) {
    const std::optional<float> totW = getMMXU001TotW(server, n);
    if (!totW) return std::nullopt;
    const std::optional<int64_t> value = truncateToInt64(*totW);
    if (!value) return std::nullopt;
    return TotwValue{*value, nowSeconds, 0};
}

ScaledLimit scalePowerLimit(float mxVal, int32_t multiplier) {
    ScaledLimit result;
    if (multiplier < -kMaxMultiplier || multiplier > kMaxMultiplier) {
        result.error = ScaleError::MultiplierOutOfRange;
        return result;
    }
    result.scaled = static_cast<double>(mxVal) * std::pow(10.0, static_cast<double>(multiplier));
    if (std::isnan(result.scaled)) {
        result.error = ScaleError::NotANumber;
    } else if (result.scaled < 0) {
        result.value = -1;
    } else if (const std::optional<int64_t> rounded = roundToInt64(result.scaled)) {
        result.value = *rounded;
    } else {
        result.error = ScaleError::OutOfBounds;
    }
    return result;
}

const char* scaleErrorText(ScaleError error) {
    switch (error) {
        case ScaleError::MultiplierOutOfRange: return kScaleOutOfRange;
        case ScaleError::OutOfBounds: return kScaledOutOfBounds;
        case ScaleError::NotANumber: return kScaledNotANumber;
        case ScaleError::None: break;
    }
    return "";
}

std::optional<int64_t> roundToInt64(double value) { return toInt64(std::round(value)); }

std::optional<int64_t> truncateToInt64(double value) { return toInt64(std::trunc(value)); }

PowerLimitScheduleMap getSchedulePowerLimit(IecCore& core, int n) {
    PowerLimitScheduleMap schedule = core.getScheduleData(n);
    std::cout << "getSchedulePowerLimit: " << std::endl;
    for (const auto& [start, limit] : schedule) std::cout << start << " " << limit << std::endl;
    return schedule;
}

}  // namespace valuereaders
