#include "internal/ValueReaders.h"

#include <iostream>

#include "foundation/ModelLookup.h"

namespace valuereaders {

ActiveLimit getActPowGGIO001An1(const IecCore& core, int n) {
    const ActiveLimit limit = core.readActiveLimit(n);
    if (!limit.found) std::cout << "getActPowGGIO001An1 -> DataAttribute for CLS" << n << " not found" << std::endl;
    return limit;
}

std::optional<float> getMMXU001TotW(IedServer server, int n) {
    DataAttribute* mag = findSubDataAttribute("CLS" + std::to_string(n), "MMXU001", "TotW", "mag", "f");
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

PowerLimitScheduleMap getSchedulePowerLimit(IecCore& core, int n) {
    PowerLimitScheduleMap schedule = core.getScheduleData(n);
    std::cout << "getSchedulePowerLimit: " << std::endl;
    for (const auto& [start, limit] : schedule) std::cout << start << " " << limit << std::endl;
    return schedule;
}

}  // namespace valuereaders
