#pragma once
// A private dbus-daemon for one test process, exported as the system bus
// (DBUS_SYSTEM_BUS_ADDRESS) while it lives.

#include <string>
#include <sys/types.h>

namespace testsupport {

class PrivateSystemBus {
public:
    PrivateSystemBus();
    // With a bus configuration file of the test's own (policies) instead of
    // the session-type default, which lets every client own any name.
    explicit PrivateSystemBus(const std::string& configFile);
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    bool running() const { return pid_ > 0 && !address_.empty(); }
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace testsupport
