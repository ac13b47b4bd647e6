#include "server/ServerLog.h"

#include <time.h>

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
