#pragma once
// Helpers every test uses: a private working directory that also serves as
// the root of absolute paths, captured syslog records, free loopback ports.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Creates a fresh directory, makes it the working directory and the root of
// every absolute daemon path (paths::resolve). Restores both on destruction.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }
    // Writes a file below the directory (absolute daemon paths are mapped there).
    void writeFile(const std::string& relativeOrAbsolute, const std::string& content) const;
    std::string readFile(const std::string& relativeOrAbsolute) const;

private:
    std::filesystem::path dir_;
    std::filesystem::path previous_;
};

struct SyslogRecord {
    int priority;
    std::string text;
};

// Collects every record sent to syslog while it lives.
class SyslogCapture {
public:
    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    std::vector<SyslogRecord> records() const;
    bool contains(const std::string& text) const;
    bool contains(int priority, const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<SyslogRecord> records_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// Polls pred every 10 ms until it holds; false when the timeout passes first.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Fixture with a private working directory and captured syslog.
class IecTest : public ::testing::Test {
protected:
    TempWorkDir workDir;
    SyslogCapture syslog;
};

}  // namespace testsupport
