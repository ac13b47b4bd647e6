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
#include <random>
#include <utility>

namespace iec61850 {

namespace fs = std::filesystem;

namespace {

constexpr size_t kRandomPart = 6;
// Names tried for a temporary file before giving up (EEXIST).
constexpr int kTemporaryAttempts = 100;

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
std::string temporaryPrefix(std::string_view name) {
    std::string prefix;
    prefix.reserve(name.size() + 2);
    prefix += '.';
    prefix += name;
    prefix += '.';
    return prefix;
}

// True for a name temporaryPrefix(name) + six characters.
bool isTemporaryOf(std::string_view name, const std::string& prefix) {
    return name.size() == prefix.size() + kRandomPart && name.starts_with(prefix);
}

bool isAsciiAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// kRandomPart letters or digits, from a generator of the calling thread.
std::string randomPart() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string part(kRandomPart, 'X');
    for (char& c : part) c = kAlphabet[pick(generator)];
    return part;
}

// A file name of one component, as begin() takes it.
bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
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
        if (!isDurableTemporaryName(entry->d_name)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            found.emplace_back(entry->d_name);
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

bool isDurableTemporaryName(std::string_view name) {
    // "." + at least one character + "." + kRandomPart letters or digits
    if (name.size() < kRandomPart + 3 || name.front() != '.' || name[name.size() - kRandomPart - 1] != '.') {
        return false;
    }
    return std::all_of(name.end() - kRandomPart, name.end(), isAsciiAlnum);
}

DurableFile::~DurableFile() { discard(); }

DurableFile::DurableFile(DurableFile&& other) noexcept
    : directory_(std::move(other.directory_)),
      fd_(std::move(other.fd_)),
      temporary_(std::exchange(other.temporary_, {})),
      name_(std::move(other.name_)),
      shown_(std::move(other.shown_)),
      error_(std::move(other.error_)),
      errno_(other.errno_),
      changed_(other.changed_),
      directoryUnsynced_(other.directoryUnsynced_) {}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept {
    if (this != &other) {
        discard();
        directory_ = std::move(other.directory_);
        fd_ = std::move(other.fd_);
        temporary_ = std::exchange(other.temporary_, {});
        name_ = std::move(other.name_);
        shown_ = std::move(other.shown_);
        error_ = std::move(other.error_);
        errno_ = other.errno_;
        changed_ = other.changed_;
        directoryUnsynced_ = other.directoryUnsynced_;
    }
    return *this;
}

bool DurableFile::fail(const char* step, const fs::path& path, int code) {
    errno_ = code;
    error_ = failure(step, path, code);
    discard();
    return false;
}

fs::path DurableFile::shownDirectory() const { return directoryOf(shown_); }

fs::path DurableFile::shownTemporary() const { return shownDirectory() / temporary_; }

bool DurableFile::begin(const fs::path& destination, unsigned mode) {
    UniqueFd directory(::open(directoryOf(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int openError = errno;
    return beginIn(std::move(directory), openError, destination.filename().string(), mode, destination);
}

bool DurableFile::begin(int directoryFd, std::string_view name, unsigned mode, const fs::path& shownAs) {
    UniqueFd directory(::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0));
    const int openError = errno;
    return beginIn(std::move(directory), openError, name, mode, shownAs.empty() ? fs::path(name) : shownAs);
}

bool DurableFile::beginIn(UniqueFd directory, int openError, std::string_view name, unsigned mode,
                          const fs::path& shownAs) {
    discard();
    error_.clear();
    errno_ = 0;
    changed_ = false;
    directoryUnsynced_ = false;
    shown_ = shownAs;
    if (!directory.valid()) return fail("create a temporary file for", shown_, openError);
    if (!isPlainName(name)) return fail("create a temporary file for", shown_, EINVAL);
    directory_ = std::move(directory);
    name_ = name;
    const std::string prefix = temporaryPrefix(name);
    std::string temporary;
    for (int attempt = 0; attempt < kTemporaryAttempts && !fd_.valid(); ++attempt) {
        temporary = prefix + randomPart();
        fd_.reset(::openat(directory_.get(), temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0600));
        if (!fd_.valid() && errno != EEXIST) break;
    }
    if (!fd_.valid()) return fail("create a temporary file for", shown_, errno);
    temporary_ = std::move(temporary);
    if (::fchmod(fd_.get(), static_cast<mode_t>(mode)) != 0) return fail("set the mode of", shownTemporary(), errno);
    return true;
}

bool DurableFile::write(const void* data, size_t size) {
    if (!valid()) return fail("write", shown_, EBADF);
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_.get(), next, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail("write", shownTemporary(), errno);
        }
        if (written == 0) return fail("write", shownTemporary(), EIO);
        next += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool DurableFile::commit(Commit how, Durability durability) {
    changed_ = false;
    directoryUnsynced_ = false;
    if (!valid()) return fail("commit", shown_, EBADF);
    const bool synced = durability == Durability::kSynced;
    if (synced && countedSync(fd_.get(), SyncTarget::kFile) != 0) return fail("sync", shownTemporary(), errno);
    if (!closeChecked(fd_.release())) return fail("close", shownTemporary(), errno);

    const int dir = directory_.get();
    const char* from = temporary_.c_str();
    const char* to = name_.c_str();
    // What the rename did to the destination, for putting it back.
    enum class Renamed { kCreated, kExchanged, kOverwritten } renamed = Renamed::kCreated;
    int result = 0;
    if (how == Commit::kKeepExisting) {
        result = ::renameat2(dir, from, dir, to, RENAME_NOREPLACE);
    } else if (!synced) {
        result = ::renameat(dir, from, dir, to);
        renamed = Renamed::kOverwritten;
    } else {
        // A synced replace exchanges the two names: the old file stays under
        // the temporary name until the directory sync has confirmed the new
        // one, so a failed sync can put it back.
        struct stat st {};
        if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            return fail("rename onto", shown_, EISDIR);
        }
        result = ::renameat2(dir, from, dir, to, RENAME_EXCHANGE);
        renamed = Renamed::kExchanged;
        if (result != 0 && errno == ENOENT) {  // no destination yet
            result = ::renameat2(dir, from, dir, to, RENAME_NOREPLACE);
            renamed = Renamed::kCreated;
        } else if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == EXDEV)) {
            // A file system without the exchange: renamed over, nothing to put back.
            result = ::renameat(dir, from, dir, to);
            renamed = Renamed::kOverwritten;
        }
    }
    if (result != 0) return fail("rename onto", shown_, errno);
    // From here the temporary name holds the old file (exchange) or nothing.
    if (renamed != Renamed::kExchanged) temporary_.clear();
    if (synced && countedSync(dir, SyncTarget::kDirectory) != 0) {
        const int code = errno;
        directoryUnsynced_ = true;
        changed_ = !putBack(renamed == Renamed::kExchanged, renamed == Renamed::kCreated);
        return fail("sync the directory", shownDirectory(), code);
    }
    discard();  // the old file, under the temporary name after an exchange
    return true;
}

bool DurableFile::putBack(bool exchanged, bool created) {
    if (exchanged) {
        // The old file goes back onto the destination; the new one is dropped.
        if (::renameat(directory_.get(), temporary_.c_str(), directory_.get(), name_.c_str()) != 0) return false;
        temporary_.clear();
        return true;
    }
    return created && ::unlinkat(directory_.get(), name_.c_str(), 0) == 0;
}

void DurableFile::discard() {
    fd_.reset();
    if (!temporary_.empty()) {
        ::unlinkat(directory_.get(), temporary_.c_str(), 0);
        temporary_.clear();
    }
    directory_.reset();
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
        const std::string prefix = temporaryPrefix(name);
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
