#include "foundation/FileRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "iec61850/unique_fd.h"

namespace fileread {

namespace {

FileText refused(std::string reason) {
    FileText result;
    result.outcome = Outcome::kRefused;
    result.reason = std::move(reason);
    return result;
}

std::string tooLarge(size_t maxBytes) { return "is larger than " + std::to_string(maxBytes) + " bytes"; }

}  // namespace

FileText readRegularFile(const std::string& path, size_t maxBytes) {
    // O_NONBLOCK: opening a FIFO without a writer (or a device that waits for
    // a carrier) returns at once; the file type is checked before any read.
    const iec61850::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) {
            FileText missing;
            missing.reason = "does not exist";
            return missing;
        }
        return refused(std::string("cannot be opened: ") + std::strerror(code));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return refused(std::string("cannot be examined: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return refused("is not a regular file");
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return refused(tooLarge(maxBytes));
    FileText result;
    result.content.reserve(static_cast<size_t>(st.st_size));
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return refused(std::string("cannot be read: ") + std::strerror(errno));
        }
        // A file that grows while it is read is bounded all the same.
        if (result.content.size() + static_cast<size_t>(n) > maxBytes) return refused(tooLarge(maxBytes));
        result.content.append(buffer, static_cast<size_t>(n));
    }
    result.outcome = Outcome::kRead;
    return result;
}

FileText readTextFile(const std::string& path, size_t maxBytes) {
    FileText result = readRegularFile(path, maxBytes);
    if (result.read() && result.content.find('\0') != std::string::npos) return refused("holds a NUL byte");
    return result;
}

}  // namespace fileread
