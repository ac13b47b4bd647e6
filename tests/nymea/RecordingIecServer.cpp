// The record of what the nymea interface handed to the server core.

#include "tests/nymea/RecordingIecServer.h"

#include <algorithm>

#include "internal/InternalInterfaceNymea.h"

ServerRecord& ServerRecord::instance() {
    static ServerRecord record;
    return record;
}

void ServerRecord::addSource(const std::string& source) {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.push_back(source);
    changed_.notify_all();
}

void ServerRecord::addResend() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++resends_;
    changed_.notify_all();
}

void ServerRecord::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.clear();
    resends_ = 0;
}

std::vector<std::string> ServerRecord::sources() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_;
}

int ServerRecord::resendCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resends_;
}

bool ServerRecord::waitUntil(const std::function<bool(const std::vector<std::string>&, int)>& pred,
                             std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(sources_, resends_); });
}

bool ServerRecord::waitForSource(const std::string& source, size_t after, std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&](const std::vector<std::string>& sources, int) {
            return sources.size() > after && std::find(sources.begin() + after, sources.end(), source) != sources.end();
        },
        timeout);
}
