#pragma once
// The one way the daemon reads a file it is given (configuration, templates,
// settings, schedule files, stand-in line files): a regular file only,
// opened without blocking and read up to a size bound. A FIFO without a
// writer, a device or a directory in the file's place can therefore neither
// stop the calling thread nor feed it endless data; it reads as a file that
// is refused, with the reason for the caller's log line.

#include <cstddef>
#include <string>

namespace fileread {

// Bound for configuration and template files; ours are a few kilobytes.
inline constexpr size_t kMaxConfigBytes = 1 << 20;

enum class Outcome {
    kRead,     // content holds the whole file
    kMissing,  // no such file (or a missing directory on the way)
    kRefused,  // something stands there that is not read; reason says why
};

struct FileText {
    Outcome outcome = Outcome::kMissing;
    std::string content;
    // Why the file was not read, without the path ("is not a regular file",
    // "is larger than 1048576 bytes", "cannot be opened: Permission denied").
    std::string reason;

    bool read() const { return outcome == Outcome::kRead; }
};

// The whole content of the regular file at path, at most maxBytes long.
FileText readRegularFile(const std::string& path, size_t maxBytes = kMaxConfigBytes);

// As readRegularFile, for line-based text: a NUL byte refuses the file.
FileText readTextFile(const std::string& path, size_t maxBytes = kMaxConfigBytes);

}  // namespace fileread
