#include "iec61850/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace iec61850 {

namespace fs = std::filesystem;

namespace {

constexpr size_t kRandomPart = 6;

std::atomic<uint64_t> syncCount{0};
// The test seam (setSyncForTesting); null: fsync.
std::atomic<SyncFunction> syncFunction{nullptr};

int countedSync(int fd, SyncTarget target) {
    syncCount.fetch_add(1, std::memory_order_relaxed);
    const SyncFunction sync = syncFunction.load(std::memory_order_acquire);
    return sync != nullptr ? sync(fd, target) : ::fsync(fd);
}

fs::path directoryOf(const fs::path& file) {
    fs::path dir = file.parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

// Built by appends: GCC 12 at -O3 warns (-Wrestrict, a false positive) on
// "." + std::string + ".".
std::string temporaryPrefix(const fs::path& destination) {
    const std::string name = destination.filename().string();
    std::string prefix;
    prefix.reserve(name.size() + 2);
    prefix += '.';
    prefix += name;
    prefix += '.';
    return prefix;
}

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
    const bool synced = countedSync(dirFd.get(), SyncTarget::kDirectory) == 0;
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

SyncFunction setSyncForTesting(SyncFunction sync) { return syncFunction.exchange(sync, std::memory_order_acq_rel); }

DurableFile::~DurableFile() { discard(); }

DurableFile::DurableFile(DurableFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      temporary_(std::move(other.temporary_)),
      destination_(std::move(other.destination_)),
      error_(std::move(other.error_)),
      errno_(other.errno_),
      changed_(other.changed_),
      directoryUnsynced_(other.directoryUnsynced_) {
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
        changed_ = other.changed_;
        directoryUnsynced_ = other.directoryUnsynced_;
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
    changed_ = false;
    directoryUnsynced_ = false;
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
    changed_ = false;
    directoryUnsynced_ = false;
    if (!valid()) return fail("commit", destination_, EBADF);
    const bool synced = durability == Durability::kSynced;
    if (synced && countedSync(fd_.get(), SyncTarget::kFile) != 0) return fail("sync", temporary_, errno);
    if (!closeChecked(fd_.release())) return fail("close", temporary_, errno);

    // What the rename did to the destination, for putting it back.
    enum class Renamed { kCreated, kExchanged, kOverwritten } renamed = Renamed::kCreated;
    int result = 0;
    if (how == Commit::kKeepExisting) {
        result = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE);
    } else if (!synced) {
        result = ::rename(temporary_.c_str(), destination_.c_str());
        renamed = Renamed::kOverwritten;
    } else {
        // A synced replace exchanges the two names: the old file stays under
        // the temporary name until the directory sync has confirmed the new
        // one, so a failed sync can put it back.
        struct stat st {};
        if (::lstat(destination_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return fail("rename onto", destination_, EISDIR);
        }
        result = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_EXCHANGE);
        renamed = Renamed::kExchanged;
        if (result != 0 && errno == ENOENT) {  // no destination yet
            result = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE);
            renamed = Renamed::kCreated;
        } else if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == EXDEV)) {
            // A file system without the exchange: renamed over, nothing to put back.
            result = ::rename(temporary_.c_str(), destination_.c_str());
            renamed = Renamed::kOverwritten;
        }
    }
    if (result != 0) return fail("rename onto", destination_, errno);
    // From here the temporary name holds the old file (exchange) or nothing.
    if (renamed != Renamed::kExchanged) temporary_.clear();
    if (!synced) return true;

    const fs::path dir = directoryOf(destination_);
    if (!syncDirectory(dir)) {
        const int code = errno;
        directoryUnsynced_ = true;
        changed_ = !putBack(renamed == Renamed::kExchanged, renamed == Renamed::kCreated);
        return fail("sync the directory", dir, code);
    }
    discard();  // the old file, under the temporary name after an exchange
    return true;
}

bool DurableFile::putBack(bool exchanged, bool created) {
    if (exchanged) {
        // The old file goes back onto the destination; the new one is dropped.
        if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return false;
        temporary_.clear();
        return true;
    }
    return created && ::unlink(destination_.c_str()) == 0;
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
                           std::string& error, bool* destinationChanged) {
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
        if (destinationChanged != nullptr) *destinationChanged = file.destinationChanged();
        if (file.directoryUnsynced()) {
            std::lock_guard<std::mutex> lock(mutex_);
            std::set<std::string>& deferred = directories_[dir].deferred;
            if (file.destinationChanged()) {
                deferred.erase(name);  // a sync would make the refused content durable
            } else {
                deferred.insert(name);  // the put-back is durable once the directory is synced
            }
        }
        return false;
    }
    if (destinationChanged != nullptr) *destinationChanged = false;
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::string>& deferred = directories_[dir].deferred;
    if (durability == Durability::kDeferred) {
        deferred.insert(name);
    } else if (durability == Durability::kSynced) {
        deferred.erase(name);  // its directory sync also persisted the earlier rename
    }
    return true;
}

bool FileReplacer::remove(const fs::path& path, std::string& error) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = failure("remove", path, errno);
        return false;
    }
    const fs::path dir = keyOf(directoryOf(path));
    const bool synced = syncDirectory(dir);
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::string>& deferred = directories_[dir].deferred;
    if (synced) {
        deferred.erase(path.filename().string());
    } else {
        deferred.insert(path.filename().string());  // syncDeferred finds it gone and syncs the directory
    }
    return true;
}

bool FileReplacer::syncDeferred(const fs::path& directory, std::string& error) {
    {
        // Nothing deferred anywhere (the common case): not even the key is formed.
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::all_of(directories_.begin(), directories_.end(),
                        [](const auto& entry) { return entry.second.deferred.empty(); })) {
            return true;
        }
    }
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
        if (countedSync(fd.get(), SyncTarget::kFile) != 0) {
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
