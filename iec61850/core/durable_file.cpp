#include "iec61850/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace iec61850 {

namespace fs = std::filesystem;

namespace {

constexpr size_t kRandomPart = 6;

std::atomic<uint64_t> syncCount{0};

int countedSync(int fd) {
    syncCount.fetch_add(1, std::memory_order_relaxed);
    return ::fsync(fd);
}

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

// The names in dir that look like temporary files of some destination
// (".<name>.XXXXXX") and are regular files.
std::vector<std::string> listTemporaries(const fs::path& dir) {
    std::vector<std::string> found;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return found;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name.size() < 3 + kRandomPart || name[0] != '.' || name[name.size() - kRandomPart - 1] != '.') continue;
        struct stat st {};
        if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            found.emplace_back(name);
        }
    }
    ::closedir(listing);
    return found;
}

// Syncs the directory; false with errno set when it cannot be opened or synced.
bool syncDirectory(const fs::path& dir) {
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid()) return false;
    const bool synced = countedSync(dirFd.get()) == 0;
    const int syncError = errno;
    dirFd.reset();
    errno = syncError;
    return synced;
}

// The absolute form of a directory, under which a replacer knows it.
fs::path keyOf(const fs::path& dir) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(dir, ec);
    return (ec ? dir : absolute).lexically_normal();
}

std::string failure(const char* step, const fs::path& path, int code) {
    return std::string(step) + " " + path.string() + ": " + std::strerror(code);
}

}  // namespace

uint64_t durableSyncCount() { return syncCount.load(std::memory_order_relaxed); }

DurableFile::~DurableFile() { discard(); }

DurableFile::DurableFile(DurableFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      temporary_(std::move(other.temporary_)),
      destination_(std::move(other.destination_)),
      error_(std::move(other.error_)),
      errno_(other.errno_) {
    other.temporary_.clear();
}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::move(other.fd_);
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
    error_ = failure(step, path, code);
    discard();
    return false;
}

bool DurableFile::begin(const fs::path& destination, unsigned mode) {
    discard();
    error_.clear();
    errno_ = 0;
    std::string pattern = (directoryOf(destination) / (temporaryPrefix(destination) + std::string(kRandomPart, 'X'))).string();
    fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd_.valid()) return fail("create a temporary file for", destination, errno);
    temporary_ = pattern;
    destination_ = destination;
    if (::fchmod(fd_.get(), static_cast<mode_t>(mode)) != 0) return fail("set the mode of", temporary_, errno);
    return true;
}

bool DurableFile::write(const void* data, size_t size) {
    if (!valid()) return fail("write", destination_, EBADF);
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_.get(), next, size);
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

bool DurableFile::commit(Commit how, Durability durability) {
    if (!valid()) return fail("commit", destination_, EBADF);
    const bool synced = durability == Durability::kSynced;
    if (synced && countedSync(fd_.get()) != 0) return fail("sync", temporary_, errno);
    if (!closeChecked(fd_.release())) return fail("close", temporary_, errno);
    const int renamed = how == Commit::kReplace
                            ? ::rename(temporary_.c_str(), destination_.c_str())
                            : ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE);
    if (renamed != 0) return fail("rename onto", destination_, errno);
    temporary_.clear();
    if (!synced) return true;

    const fs::path dir = directoryOf(destination_);
    if (!syncDirectory(dir)) return fail("sync the directory", dir, errno);
    return true;
}

void DurableFile::discard() {
    fd_.reset();
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

FileReplacer::Directory& FileReplacer::entryFor(const fs::path& directory) {
    auto [it, added] = directories_.try_emplace(directory);
    if (added) it->second.leftovers = listTemporaries(directory);
    return it->second;
}

bool FileReplacer::replace(const fs::path& path, std::string_view content, unsigned mode, Durability durability,
                           std::string& error) {
    const fs::path dir = keyOf(directoryOf(path));
    const std::string name = path.filename().string();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string>& leftovers = entryFor(dir).leftovers;
        const std::string prefix = temporaryPrefix(path);
        std::erase_if(leftovers, [&](const std::string& leftover) {
            if (!isTemporaryOf(leftover, prefix)) return false;
            ::unlink((dir / leftover).c_str());
            return true;
        });
    }
    DurableFile file;
    if (!file.begin(path, mode) || !file.write(content.data(), content.size()) ||
        !file.commit(DurableFile::Commit::kReplace, durability)) {
        error = file.error();
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::string>& deferred = directories_[dir].deferred;
    if (durability == Durability::kDeferred) {
        deferred.insert(name);
    } else if (durability == Durability::kSynced) {
        deferred.erase(name);  // its directory sync also persisted the earlier rename
    }
    return true;
}

bool FileReplacer::syncDeferred(const fs::path& directory, std::string& error) {
    const fs::path dir = keyOf(directory);
    std::set<std::string> files;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = directories_.find(dir);
        if (it == directories_.end() || it->second.deferred.empty()) return true;
        files.swap(it->second.deferred);
    }
    bool ok = true;
    std::set<std::string> unsynced;  // kept for the next call
    auto failed = [&](const char* step, const fs::path& what, int code) {
        if (ok) error = failure(step, what, code);
        ok = false;
    };
    for (const std::string& name : files) {
        const fs::path file = dir / name;
        const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd.valid()) {
            if (errno != ENOENT) {  // a file moved away needs no sync
                failed("open", file, errno);
                unsynced.insert(name);
            }
            continue;
        }
        if (countedSync(fd.get()) != 0) {
            failed("sync", file, errno);
            unsynced.insert(name);
        }
    }
    if (!syncDirectory(dir)) {
        failed("sync the directory", dir, errno);
        unsynced = std::move(files);  // none of the renames is known to be durable
    }
    if (!unsynced.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        directories_[dir].deferred.merge(unsynced);
    }
    return ok;
}

}  // namespace iec61850
