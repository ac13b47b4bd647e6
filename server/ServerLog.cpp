#include "server/ServerLog.h"

#include <time.h>

// The initializer below may write to the standard streams (a missing
// configuration file) while static objects are still being made: including
// <iostream> here makes sure they exist before it runs, whatever the order
// in which the linker placed this unit.
#include <iostream>

#include "foundation/Logging.h"

uint32_t serverLogLevel = [] {
    uint32_t level = 5;
    readLogLevel(&level);
    return level;
}();

std::string localTimeText() {
    const time_t now = time(nullptr);
    char buffer[64] = {};
    if (ctime_r(&now, buffer) == nullptr) return "unknown time\n";
    return buffer;
}
