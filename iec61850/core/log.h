#pragma once
// The library's own log call: formats the record into a bounded buffer and
// hands it to the handler of iec61850_log.h.

#include <cstddef>

#include "iec61850/iec61850_log.h"

namespace iec61850 {

// Longest record handed on (longer text is cut), terminating zero included.
constexpr size_t kLogRecordSize = 1024;

void iecLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace iec61850
