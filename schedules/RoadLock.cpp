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
thread_local const RoadLock::Site* heldSince = nullptr;
thread_local RoadLock::Site heldSite;

[[noreturn]] void stop(const char* what, const RoadLock::Site& site) {
    std::fprintf(stderr, "road lock: %s at %s:%u (%s)", what, site.file, site.line, site.function);
    if (heldSince != nullptr) {
        std::fprintf(stderr, "; this thread took it at %s:%u (%s)", heldSince->file, heldSince->line,
                     heldSince->function);
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}
#endif

}  // namespace

RoadLock::Guard::Guard([[maybe_unused]] const char* file, [[maybe_unused]] unsigned line,
                       [[maybe_unused]] const char* function) {
#ifndef NDEBUG
    // A second take on this thread would wait for itself for ever.
    if (heldSince != nullptr) stop("taken again", {file, line, function});
#endif
    roadMutex().lock();
#ifndef NDEBUG
    heldSite = {file, line, function};
    heldSince = &heldSite;
#endif
}

RoadLock::Guard::~Guard() {
#ifndef NDEBUG
    heldSince = nullptr;
#endif
    roadMutex().unlock();
}

void RoadLock::assertHeld([[maybe_unused]] const char* file, [[maybe_unused]] unsigned line,
                          [[maybe_unused]] const char* function) {
#ifndef NDEBUG
    if (heldSince == nullptr) stop("not held", {file, line, function});
#endif
}

bool RoadLock::heldByThisThread() {
#ifndef NDEBUG
    return heldSince != nullptr;
#else
    return true;
#endif
}
