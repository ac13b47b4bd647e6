#pragma once
// What the nymea interface handed to the server core, recorded by the test
// double of the core (RecordingIecServer below).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/RecordingCore.h"

class ServerRecord {
public:
    static ServerRecord& instance();

    void addSource(const std::string& source);
    void addResend();
    void reset();

    std::vector<std::string> sources() const;
    int resendCount() const;
    // Waits until pred (called under the record's lock) holds; false on timeout.
    bool waitUntil(const std::function<bool(const std::vector<std::string>& sources, int resends)>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until source was recorded at least once after the first `after` records.
    bool waitForSource(const std::string& source, size_t after = 0,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> sources_;
    int resends_ = 0;
};

// The core double of these tests: records into ServerRecord as well.
class RecordingIecServer : public RecordingCore {
protected:
    void onSource(const std::string& source) override { ServerRecord::instance().addSource(source); }
    void onResend() override { ServerRecord::instance().addResend(); }
};
