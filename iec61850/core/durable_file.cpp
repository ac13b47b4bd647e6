#include "iec61850/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace iec61850 {

namespace fs = std::filesystem;

namespace {

constexpr size_t kRandomPart = 6;

fs::path directoryOf(const fs::path& file) {
    fs::path dir = file.parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

std::string temporaryPrefix(const fs::path& destination) { return "." + destination.filename().string() + "."; }

// True for a name temporaryPrefix(destination) + six characters.
bool isTemporaryOf(std::string_view name, const std::string& prefix) {
    return name.size() == prefix.size() + kRandomPart && name.starts_with(prefix);
}

bool closeChecked(int fd) {
    // Linux releases the descriptor even when close reports EINTR; never retry.
    return ::close(fd) == 0 || errno == EINTR;
}

// Removes the temporary files of destination that an interrupted write left.
void removeLeftTemporaries(const fs::path& destination) {
    const std::string prefix = temporaryPrefix(destination);
    const fs::path dir = directoryOf(destination);
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
        if (!isTemporaryOf(entry->d_name, prefix)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

}  // namespace

DurableFile::~DurableFile() { discard(); }

DurableFile::DurableFile(DurableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      temporary_(std::move(other.temporary_)),
      destination_(std::move(other.destination_)),
      error_(std::move(other.error_)),
      errno_(other.errno_) {
    other.temporary_.clear();
}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::exchange(other.fd_, -1);
        temporary_ = std::move(other.temporary_);
        destination_ = std::move(other.destination_);
        error_ = std::move(other.error_);
        errno_ = other.errno_;
        other.temporary_.clear();
    }
    return *this;
}

bool DurableFile::fail(const char* step, const fs::path& path, int code) {
    errno_ = code;
    error_ = std::string(step) + " " + path.string() + ": " + std::strerror(code);
    discard();
    return false;
}

bool DurableFile::begin(const fs::path& destination, unsigned mode) {
    discard();
    error_.clear();
    errno_ = 0;
    std::string pattern = (directoryOf(destination) / (temporaryPrefix(destination) + std::string(kRandomPart, 'X'))).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return fail("create a temporary file for", destination, errno);
    fd_ = fd;
    temporary_ = pattern;
    destination_ = destination;
    if (::fchmod(fd_, static_cast<mode_t>(mode)) != 0) return fail("set the mode of", temporary_, errno);
    return true;
}

bool DurableFile::write(const void* data, size_t size) {
    if (!valid()) return fail("write", destination_, EBADF);
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_, next, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail("write", temporary_, errno);
        }
        if (written == 0) return fail("write", temporary_, EIO);
        next += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool DurableFile::commit(Commit how) {
    if (!valid()) return fail("commit", destination_, EBADF);
    if (::fsync(fd_) != 0) return fail("sync", temporary_, errno);
    const int fd = std::exchange(fd_, -1);
    if (!closeChecked(fd)) return fail("close", temporary_, errno);
    const int renamed = how == Commit::kReplace
                            ? ::rename(temporary_.c_str(), destination_.c_str())
                            : ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE);
    if (renamed != 0) return fail("rename onto", destination_, errno);
    temporary_.clear();

    const fs::path dir = directoryOf(destination_);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return fail("open the directory", dir, errno);
    const bool synced = ::fsync(dirFd) == 0;
    const int syncError = errno;
    ::close(dirFd);
    if (!synced) return fail("sync the directory", dir, syncError);
    return true;
}

void DurableFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

bool replaceFileDurably(const fs::path& path, std::string_view content, unsigned mode, std::string& error) {
    removeLeftTemporaries(path);
    DurableFile file;
    if (!file.begin(path, mode) || !file.write(content.data(), content.size()) || !file.commit()) {
        error = file.error();
        return false;
    }
    return true;
}

}  // namespace iec61850
