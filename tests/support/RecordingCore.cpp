#include "tests/support/RecordingCore.h"

#include <utility>

bool RecordingCore::record(RecordedWrite write) {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.push_back(std::move(write));
    changed_.notify_all();
    return writeResult;
}

bool RecordingCore::writePowerLimitToIec61850(const std::string& clsDevice, int durationSeconds, bool active,
                                              float limitW) {
    return record({RecordedWrite::Kind::PowerLimit, clsDevice, 0, durationSeconds, active, limitW});
}

bool RecordingCore::writeLpcToIec61850(int durationSeconds, bool active, float limitW) {
    return record({RecordedWrite::Kind::Lpc, "CLS1", 0, durationSeconds, active, limitW});
}

bool RecordingCore::writeLppToIec61850(int durationSeconds, bool active, float limitW) {
    return record({RecordedWrite::Kind::Lpp, "CLS2", 0, durationSeconds, active, limitW});
}

bool RecordingCore::writeLpcWithStartTimeToIec61850(uint64_t startTimeMs, int durationSeconds,
                                                    const std::string& clsDevice, bool active, float limitW) {
    return record({RecordedWrite::Kind::LpcWithStartTime, clsDevice, startTimeMs, durationSeconds, active, limitW});
}

float RecordingCore::getActiveValue(int cls) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = activeValue_.find(cls);
    return it == activeValue_.end() ? -1.0f : it->second;
}

int32_t RecordingCore::getActiveMultiplier(int cls) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = activeMultiplier_.find(cls);
    return it == activeMultiplier_.end() ? 0 : it->second;
}

std::string RecordingCore::getActiveScheduleName(int cls) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = activeName_.find(cls);
    return it == activeName_.end() ? "no_schedule_active" : it->second;
}

PowerLimitScheduleMap RecordingCore::getScheduleData(int cls) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = scheduleData_.find(cls);
    return it == scheduleData_.end() ? PowerLimitScheduleMap{} : it->second;
}

void RecordingCore::resendLpc() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++resends_;
        changed_.notify_all();
    }
    onResend();
}

void RecordingCore::setPowerLimitSource(const std::string& source) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source_ = source;
        sources_.push_back(source);
        changed_.notify_all();
    }
    onSource(source);
}

std::string RecordingCore::getPowerLimitSource() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return source_;
}

void RecordingCore::registerCallback(const std::string& name, CallbackFunction listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    callbacks_[name] = std::move(listener);
}

void RecordingCore::unregisterCallback(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    callbacks_.erase(name);
}

void RecordingCore::setActive(int cls, float value, int32_t multiplier, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    activeValue_[cls] = value;
    activeMultiplier_[cls] = multiplier;
    activeName_[cls] = name;
}

void RecordingCore::setScheduleData(int cls, PowerLimitScheduleMap data) {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleData_[cls] = std::move(data);
}

void RecordingCore::callListeners(int cls) {
    CallbackMap listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners = callbacks_;
    }
    for (auto& [name, listener] : listeners) {
        if (listener) listener(cls);
    }
}

std::vector<RecordedWrite> RecordingCore::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<std::string> RecordingCore::sources() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_;
}

int RecordingCore::resendCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resends_;
}

std::vector<std::string> RecordingCore::listenerNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : callbacks_) names.push_back(entry.first);
    return names;
}

void RecordingCore::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
    sources_.clear();
    resends_ = 0;
}

bool RecordingCore::waitUntil(const std::function<bool(const RecordingCore&)>& pred,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(*this); });
}

bool RecordingCore::waitForWrites(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([count](const RecordingCore& core) { return core.writesLocked().size() >= count; }, timeout);
}
