#pragma once
// The system test's own idea of what each CLS's published limit must be,
// computed only from what the test sent: which schedule nodes were enabled
// or disabled, with which priority, entries, interval and start times, and
// what the current power-limit source makes its interface write.
//
// Writes of one client are ordered; writes of different clients are
// ordered only across a barrier (the test waited for every one of them
// before going on). Where the order stays open, either outcome is allowed:
// expected() then answers every limit that some order gives.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace systest {

// What a schedule node holds after a write that handed it to the store.
struct ScheduleContent {
    bool enabled = false;  // EnaReq on, DsaReq off
    int priority = 0;
    int intervalSeconds = 0;
    std::vector<float> values;             // one per entry
    std::vector<int64_t> startSeconds;     // 0 = unused
    int32_t multiplier = 0;
};

struct Limit {
    float value = -1;  // -1: no schedule active
    int32_t multiplier = 0;
    std::string schedule = "no_schedule_active";

    bool operator==(const Limit& other) const {
        return value == other.value && schedule == other.schedule && (value == -1 || multiplier == other.multiplier);
    }
    std::string text() const;
};

class LimitModel {
public:
    // Everything recorded so far happened before everything recorded later.
    void barrier() { ++epoch_; }
    // A node handed to the store by one client (MMS client, gateway, source interface).
    void record(const std::string& client, int cls, const std::string& node, const ScheduleContent& content);
    // Forgets every write (a fresh working directory).
    void reset();

    // Every limit CLS cls may publish at nowSeconds; one unless the order of
    // concurrent writes is open.
    std::vector<Limit> expected(int cls, int64_t nowSeconds) const;

    // The default priority of a node: its kind number times ten.
    static int defaultPriority(const std::string& node);
    static bool isDirect(const std::string& node);

private:
    struct Write {
        ScheduleContent content;
        int epoch;
        std::string client;
        uint64_t sequence;
    };
    static bool before(const Write& a, const Write& b);
    static std::optional<float> currentValue(const std::string& node, const ScheduleContent& c, int64_t now);

    int epoch_ = 0;
    uint64_t sequence_ = 0;
    // (cls, node) -> the writes no later write of the same order replaced.
    std::map<std::pair<int, std::string>, std::vector<Write>> nodes_;
};

}  // namespace systest
