#pragma once
// Figures of the benches: percentiles of samples and elapsed milliseconds.

#include <algorithm>
#include <chrono>
#include <vector>

namespace benchstats {

// The sample at fraction (0..1) of the sorted samples; -1 for none.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())))];
}

inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace benchstats
