#include "tests/system/LimitModel.h"

#include <algorithm>
#include <sstream>

namespace systest {

namespace {

constexpr int kAllowedPriorities[] = {10, 20, 30, 50, 110, 130, 150, 220, 250};

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::string Limit::text() const {
    std::ostringstream out;
    out << value << " (x10^" << multiplier << ", " << schedule << ")";
    return out.str();
}

int LimitModel::defaultPriority(const std::string& node) {
    const size_t at = node.find("_FSCH");
    if (at == std::string::npos || node.size() < at + 7) return 0;
    return std::stoi(node.substr(at + 5, 2)) * 10;
}

bool LimitModel::isDirect(const std::string& node) { return contains(node, "DC"); }

void LimitModel::record(const std::string& client, int cls, const std::string& node, const ScheduleContent& content) {
    Write write{content, epoch_, client, ++sequence_};
    auto& writes = nodes_[{cls, node}];
    writes.erase(std::remove_if(writes.begin(), writes.end(), [&](const Write& w) { return before(w, write); }),
                 writes.end());
    writes.push_back(std::move(write));
}

void LimitModel::reset() {
    nodes_.clear();
    ++epoch_;
}

bool LimitModel::before(const Write& a, const Write& b) {
    if (a.epoch != b.epoch) return a.epoch < b.epoch;
    return a.client == b.client && a.sequence < b.sequence;
}

// The value a node publishes now when it is a running schedule, else nothing.
std::optional<float> LimitModel::currentValue(const std::string& node, const ScheduleContent& c, int64_t now) {
    if (!c.enabled || c.values.empty()) return std::nullopt;
    if (std::find(std::begin(kAllowedPriorities), std::end(kAllowedPriorities), c.priority) ==
        std::end(kAllowedPriorities)) {
        return std::nullopt;
    }
    // Trigger schedules never run.
    if (contains(node, "SysSoft") || contains(node, "SysCom")) return std::nullopt;
    if (isDirect(node)) return c.values.front();
    if (c.intervalSeconds <= 0) return std::nullopt;
    const int64_t span = static_cast<int64_t>(c.intervalSeconds) * static_cast<int64_t>(c.values.size());
    for (int64_t start : c.startSeconds) {
        if (start <= 0) continue;
        if (start <= now && now < start + span) return c.values[static_cast<size_t>((now - start) / c.intervalSeconds)];
    }
    return std::nullopt;
}

std::vector<Limit> LimitModel::expected(int cls, int64_t nowSeconds) const {
    std::vector<std::pair<const std::string*, const std::vector<Write>*>> nodes;
    for (const auto& [key, writes] : nodes_) {
        if (key.first == cls && !writes.empty()) nodes.emplace_back(&key.second, &writes);
    }
    std::vector<Limit> result;
    // Every combination of the writes still open, one per node.
    std::vector<size_t> pick(nodes.size(), 0);
    while (true) {
        struct Running {
            const std::string* node;
            const Write* write;
            float value;
        };
        std::vector<Running> running;
        int top = -1;
        for (size_t i = 0; i < nodes.size(); ++i) {
            const Write& w = (*nodes[i].second)[pick[i]];
            if (auto value = currentValue(*nodes[i].first, w.content, nowSeconds)) {
                running.push_back({nodes[i].first, &w, *value});
                top = std::max(top, w.content.priority);
            }
        }
        if (running.empty()) {
            Limit none;
            if (std::find(result.begin(), result.end(), none) == result.end()) result.push_back(none);
        }
        for (const Running& r : running) {
            if (r.write->content.priority != top) continue;
            // Among equal priorities the later write wins; an open order lets either win.
            const bool replaced = std::any_of(running.begin(), running.end(), [&](const Running& other) {
                return other.write->content.priority == top && before(*r.write, *other.write);
            });
            if (replaced) continue;
            Limit limit{r.value, r.write->content.multiplier, *r.node};
            if (std::find(result.begin(), result.end(), limit) == result.end()) result.push_back(limit);
        }
        size_t i = 0;
        while (i < nodes.size() && ++pick[i] == nodes[i].second->size()) pick[i++] = 0;
        if (i == nodes.size()) break;
    }
    return result;
}

}  // namespace systest
