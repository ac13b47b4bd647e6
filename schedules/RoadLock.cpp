#include "schedules/RoadLock.h"

std::recursive_mutex& roadLock() {
    static std::recursive_mutex lock;
    return lock;
}
