#include "server/ActiveLimit.h"

#include <cmath>
#include <string>

#include "foundation/ModelLookup.h"

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

// Inside int64 once rounded or truncated: [-2^63, 2^63).
std::optional<int64_t> toInt64(double whole) {
    if (std::isnan(whole) || whole < -kTwoTo63 || whole >= kTwoTo63) return std::nullopt;
    return static_cast<int64_t>(whole);
}

}  // namespace

ActiveLimit readActiveLimitFromModel(IedServer server, int cls) {
    ActiveLimit limit;
    const std::string ld = "CLS" + std::to_string(cls);
    DataAttribute* mxVal = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "mxVal", "f");
    if (mxVal == nullptr || server == nullptr) return limit;
    DataAttribute* t = findDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "t");
    DataAttribute* multiplier = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "units", "multiplier");
    DataAttribute* minVal = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "minVal", "f");
    DataAttribute* maxVal = findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "maxVal", "f");
    // One consistent reading: a writer changes value and multiplier under the
    // same lock, and the multiplier is read through its borrowed value.
    DataModelLock lock(server);
    limit.found = true;
    limit.value = IedServer_getFloatAttributeValue(server, mxVal);
    if (t != nullptr) limit.timestamp = IedServer_getUTCTimeAttributeValue(server, t);
    if (const MmsValue* value = multiplier != nullptr ? IedServer_getAttributeValue(server, multiplier) : nullptr) {
        limit.hasMultiplier = true;
        limit.multiplier = MmsValue_toInt32(value);
    }
    if (minVal != nullptr) limit.minVal = IedServer_getFloatAttributeValue(server, minVal);
    if (maxVal != nullptr) limit.maxVal = IedServer_getFloatAttributeValue(server, maxVal);
    return limit;
}

ScaledLimit ActiveLimit::scaledWatts() const {
    ScaledLimit result;
    result.scaled = static_cast<double>(value) * std::pow(10.0, static_cast<double>(multiplier));
    if (multiplier < -kMaxMultiplier || multiplier > kMaxMultiplier) {
        result.error = ScaleError::MultiplierOutOfRange;
    } else if (std::isnan(result.scaled)) {
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
