#pragma once
// The durable writer's syncs made to fail through its test seam
// (iec61850::setSyncForTesting): while a FailingSync lives, every sync of
// its target (the files, or the directories) fails with its errno, and the
// other target is synced as usual; heal() lets every sync through again, as
// a disk that works again. One at a time per process.

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <ostream>
#include <utility>

#include "iec61850/durable_file.h"

namespace testsync {

// One sync failure of a disk: whose sync fails (the file's or its
// directory's) and with which errno.
struct SyncFailure {
    const char* what;
    iec61850::SyncTarget failing;
    int error;
};
// The failures the tests run a road through: an I/O error and a full disk,
// at the file's sync and at the directory's.
inline constexpr SyncFailure kSyncFailures[] = {
    {"file sync EIO", iec61850::SyncTarget::kFile, EIO},
    {"file sync ENOSPC", iec61850::SyncTarget::kFile, ENOSPC},
    {"directory sync EIO", iec61850::SyncTarget::kDirectory, EIO},
    {"directory sync ENOSPC", iec61850::SyncTarget::kDirectory, ENOSPC},
};
inline void PrintTo(const SyncFailure& failure, std::ostream* os) { *os << failure.what; }

class FailingSync {
public:
    // beforeFailing runs inside each failing sync, before it answers the
    // error (a test uses it to stand in for a second fault).
    FailingSync(iec61850::SyncTarget target, int error, std::function<void()> beforeFailing = {}) {
        State& s = state();
        s.error = error;
        s.failures = 0;
        s.beforeFailing = std::move(beforeFailing);
        s.target = static_cast<int>(target);
        previous_ = iec61850::setSyncForTesting(&sync);
    }
    ~FailingSync() {
        heal();
        iec61850::setSyncForTesting(previous_);
    }
    FailingSync(const FailingSync&) = delete;
    FailingSync& operator=(const FailingSync&) = delete;

    void heal() { state().target = kNone; }
    // The syncs failed so far.
    uint64_t failures() const { return state().failures; }

private:
    static constexpr int kNone = -1;
    struct State {
        std::atomic<int> target{kNone};
        std::atomic<int> error{0};
        std::atomic<uint64_t> failures{0};
        std::function<void()> beforeFailing;  // set before target, read by the failing syncs only
    };
    static State& state() {
        static State s;
        return s;
    }
    static int sync(int fd, iec61850::SyncTarget target) {
        State& s = state();
        if (s.target != static_cast<int>(target)) return ::fsync(fd);
        ++s.failures;
        if (s.beforeFailing) s.beforeFailing();
        errno = s.error;
        return -1;
    }

    iec61850::SyncFunction previous_ = nullptr;
};

}  // namespace testsync
