#include "tests/support/PrivateBus.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace testsupport {

PrivateSystemBus::PrivateSystemBus() : PrivateSystemBus(std::string()) {}

PrivateSystemBus::PrivateSystemBus(const std::string& configFile) {
    if (const char* prev = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        previous_ = prev;
        hadPrevious_ = true;
    }
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (configFile.empty()) {
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
                   "--address=unix:tmpdir=/tmp", static_cast<char*>(nullptr));
        } else {
            const std::string config = "--config-file=" + configFile;
            execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", "--print-address=1",
                   "--address=unix:tmpdir=/tmp", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        return;
    }
    // The daemon prints its address followed by a newline once it listens.
    std::string line;
    char c;
    pollfd pfd{out[0], POLLIN, 0};
    while (poll(&pfd, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    address_ = line;
    if (!address_.empty()) setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateSystemBus::~PrivateSystemBus() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (hadPrevious_) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_.c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

}  // namespace testsupport
