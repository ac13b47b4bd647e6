#pragma once
// Runs the body of a callback that a C library calls (an MQTT client's
// network thread): anything the body throws is logged and goes no further.

#include <syslog.h>

#include <cstdint>
#include <exception>

#include "foundation/Logging.h"

template <typename Body>
void runGuardedCallback(const uint32_t* threshold, const char* prefix, const char* what, Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        logMessage(threshold, LOG_ERR, "%s%s failed: %s", prefix, what, e.what());
    } catch (...) {
        logMessage(threshold, LOG_ERR, "%s%s failed", prefix, what);
    }
}
