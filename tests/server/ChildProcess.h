#pragma once
// A child process for tests: started with its own working directory and
// environment additions, output (stdout and stderr) into a file, optionally
// with a standard input that stays open until the object goes. Killed and
// reaped on destruction.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDir,
                 const std::vector<std::pair<std::string, std::string>>& environment,
                 const std::filesystem::path& outputFile, bool keepStdinOpen = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit code once the process ended within the time; nullopt otherwise.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // Waits until the output holds text.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
    std::string output() const;
    size_t countInOutput(const std::string& text) const;
    // Writes text to the standard input kept open; false when it is not open or the write failed.
    bool writeInput(const std::string& text);
    // VmRSS of the running process in KiB; -1 when unknown.
    long residentKiB() const;

private:
    pid_t pid_ = -1;
    int stdinWrite_ = -1;
    std::filesystem::path outputFile_;
    std::optional<int> exitCode_;
};

}  // namespace testsupport
