#include "schedules/RoadLock.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex& roadMutex() {
    static std::mutex lock;
    return lock;
}

#ifndef NDEBUG
// Where the calling thread took the road; null while it does not hold it.
thread_local const std::source_location* heldSince = nullptr;
thread_local std::source_location heldSite;

[[noreturn]] void stop(const char* what, const std::source_location& site) {
    std::fprintf(stderr, "road lock: %s at %s:%u (%s)", what, site.file_name(), static_cast<unsigned>(site.line()),
                 site.function_name());
    if (heldSince != nullptr) {
        std::fprintf(stderr, "; this thread took it at %s:%u (%s)", heldSince->file_name(),
                     static_cast<unsigned>(heldSince->line()), heldSince->function_name());
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}
#endif

}  // namespace

RoadLock::Guard::Guard([[maybe_unused]] std::source_location site) {
#ifndef NDEBUG
    // A second take on this thread would wait for itself for ever.
    if (heldSince != nullptr) stop("taken again", site);
#endif
    roadMutex().lock();
#ifndef NDEBUG
    heldSite = site;
    heldSince = &heldSite;
#endif
}

RoadLock::Guard::~Guard() {
#ifndef NDEBUG
    heldSince = nullptr;
#endif
    roadMutex().unlock();
}

void RoadLock::assertHeld([[maybe_unused]] std::source_location site) {
#ifndef NDEBUG
    if (heldSince == nullptr) stop("not held", site);
#endif
}

bool RoadLock::heldByThisThread() {
#ifndef NDEBUG
    return heldSince != nullptr;
#else
    return true;
#endif
}
