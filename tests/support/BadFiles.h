#pragma once
// Entries that stand where the daemon expects a file it reads, but are none
// it should read: a FIFO without a writer (opening it for reading would wait
// for one), a device that never ends, a directory, a file far beyond any
// size bound, and one with a NUL byte. Each reader test runs its reader over
// them through readsWithoutBlocking.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

enum class BadFile { kFifo, kDevice, kDirectory, kHuge, kNulByte };

struct BadFileCase {
    BadFile kind;
    const char* name;
    const char* reason;  // the reason of the reader with its default bound
};

inline const std::vector<BadFileCase>& badFileCases() {
    static const std::vector<BadFileCase> cases = {
        {BadFile::kFifo, "fifo", "is not a regular file"},
        {BadFile::kDevice, "device", "is not a regular file"},
        {BadFile::kDirectory, "directory", "is not a regular file"},
        {BadFile::kHuge, "huge", "is larger than 1048576 bytes"},
        {BadFile::kNulByte, "nul byte", "holds a NUL byte"},
    };
    return cases;
}

// Puts the entry at path, replacing what stands there. The huge file is
// sparse, so it costs no disk space; the NUL-byte file is otherwise good text
// (prefix, then a NUL, then suffix).
inline void makeBadFile(BadFile kind, const std::filesystem::path& path, const std::string& prefix = "a=1\n") {
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::remove_all(path);
    switch (kind) {
        case BadFile::kFifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
            break;
        case BadFile::kDevice:
            std::filesystem::create_symlink("/dev/zero", path);
            break;
        case BadFile::kDirectory:
            std::filesystem::create_directory(path);
            break;
        case BadFile::kHuge: {
            std::ofstream(path) << prefix;
            std::filesystem::resize_file(path, 64u << 20);
            break;
        }
        case BadFile::kNulByte: {
            std::ofstream out(path, std::ios::binary);
            out << prefix << std::string(1, '\0') << "b=2\n";
            break;
        }
    }
}

// Runs read on its own thread and waits for it with a bound. A read that
// blocks fails the test and is freed by a writer that opens and closes the
// FIFO, so the test goes on.
template <class F>
auto readsWithoutBlocking(const std::filesystem::path& path, F&& read,
                          std::chrono::seconds limit = std::chrono::seconds(5)) {
    auto reading = std::async(std::launch::async, std::forward<F>(read));
    if (reading.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "reading " << path << " blocked";
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    return reading.get();
}

}  // namespace testsupport
