// The file store below the server's base directory, on the descriptor of
// that directory.
#include "iec61850/files/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>

#include "iec61850/core/log.h"

namespace iec61850::files {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kBaseMode = 0755;
// Symbolic links one name may pass through, as the kernel allows (ELOOP).
constexpr int kMaxLinks = 40;
// Directory levels the count at the start descends (one descriptor each).
constexpr int kMaxDepth = 32;

// weakly_canonical keeps a trailing separator as an empty last element;
// drop it so that paths compare element by element.
fs::path withoutTrailingSeparator(fs::path path) {
    if (!path.empty() && path.filename().empty() && path.has_parent_path() && path != path.root_path()) {
        path = path.parent_path();
    }
    return path;
}

bool hasParentComponent(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

// The components of a path, without empty ones and ".".
std::deque<std::string> componentsOf(std::string_view path) {
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = end + 1;
    }
    return parts;
}

// The components of an absolute path below base (lexically, both
// normalised); nullopt when the path is not base or below it.
std::optional<std::deque<std::string>> below(const fs::path& base, std::string_view absolute) {
    if (base.empty()) return std::nullopt;
    std::deque<std::string> path = componentsOf(fs::path(std::string(absolute)).lexically_normal().string());
    const std::deque<std::string> prefix = componentsOf(base.string());
    if (path.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), path.begin())) return std::nullopt;
    path.erase(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(prefix.size()));
    return path;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += '/';
        text += part;
    }
    return text;
}

std::string joined(const std::string& directory, const std::string& name) {
    return directory.empty() ? name : directory + "/" + name;
}

// "" and "a.txt" for "a.txt"; "sub/x" and "b" for "sub/x/b".
std::pair<std::string, std::string> splitLeaf(const std::string& relative) {
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos) return {"", relative};
    return {relative.substr(0, slash), relative.substr(slash + 1)};
}

// fstatat needs "." for the directory itself.
const char* atName(const std::string& relative) { return relative.empty() ? "." : relative.c_str(); }

FileAttributes attributesOf(const struct stat& st) {
    FileAttributes attributes;
    attributes.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    attributes.lastModified = st.st_mtim.tv_sec;
    return attributes;
}

bool readLink(int dir, const std::string& name, std::string& target) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<size_t>(n));
            return true;
        }
        if (buffer.size() >= 65536) return false;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

MmsError fileErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return MMS_ERROR_FILE_FILE_NON_EXISTENT;
        case EACCES:
        case EPERM:
        case ELOOP:
        case EISDIR:
        case EROFS:
            return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
        case EEXIST:
        case ENOTEMPTY:
            return MMS_ERROR_FILE_DUPLICATE_FILENAME;
        case EBUSY:
        case ETXTBSY:
            return MMS_ERROR_FILE_FILE_BUSY;
        case ENOSPC:
        case EDQUOT:
            return MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE;
        case ENAMETOOLONG:
            return MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR;
        default:
            return MMS_ERROR_FILE_OTHER;
    }
}

std::string generalizedTime(int64_t secondsSinceEpoch) {
    std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm utc{};
    if (gmtime_r(&t, &utc) == nullptr) return "19700101000000.000Z";
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S.000Z", &utc);
    return text;
}

// --- The store ----------------------------------------------------------------

FileStore::FileStore(fs::path base, FilestoreLimits limits) : configured_(std::move(base)), limits_(limits) {
    std::error_code ec;
    absolute_ = withoutTrailingSeparator(fs::absolute(configured_, ec).lexically_normal());
    if (::mkdir(configured_.c_str(), kBaseMode) == 0) {
        iecLog(LOG_NOTICE, "MMS files: made the base directory %s", configured_.c_str());
    }
    // Follows a link that is there now (the installer's choice), once.
    UniqueFd fd(::open(configured_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        const int error = errno;
        openError_ = "open the base directory " + configured_.string() + ": " + std::strerror(error);
        iecLog(LOG_ERR, "MMS files: %s", openError_.c_str());
        return;
    }
    resolved_ = fs::read_symlink("/proc/self/fd/" + std::to_string(fd.get()), ec);
    if (ec || !resolved_.is_absolute()) resolved_ = withoutTrailingSeparator(fs::canonical(configured_, ec));
    if (ec) resolved_ = absolute_;
    base_ = std::move(fd);

    UniqueFd top(::openat(base_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.valid()) countTree(std::move(top), "", 0);
}

template <class F>
bool FileStore::scan(UniqueFd dir, F&& each) {
    DIR* listing = ::fdopendir(dir.get());
    if (listing == nullptr) return false;
    dir.release();
    ++reads_.scans;
    errno = 0;
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            complete = errno == 0;
            break;
        }
        ++reads_.entries;
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        each(::dirfd(listing), std::string(name));
    }
    ::closedir(listing);
    return complete;
}

void FileStore::countTree(UniqueFd dir, const std::string& where, int depth) {
    const uid_t self = ::geteuid();
    scan(std::move(dir), [&](int fd, const std::string& name) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
        if (S_ISREG(st.st_mode)) {
            if (isUploadTemporaryName(name) && st.st_uid == self && ::unlinkat(fd, name.c_str(), 0) == 0) {
                ++temporariesRemoved_;
                iecLog(LOG_NOTICE, "MMS files: removed \"%s%s\" (%llu bytes), the temporary of an interrupted upload",
                       where.c_str(), name.c_str(), static_cast<unsigned long long>(st.st_size));
                return;
            }
            ++fileCount_;
            usedBytes_ += static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            if (depth + 1 >= kMaxDepth) {
                iecLog(LOG_WARNING, "MMS files: \"%s%s\" is more than %d levels deep; not counted", where.c_str(),
                       name.c_str(), kMaxDepth);
                return;
            }
            UniqueFd sub(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.valid()) countTree(std::move(sub), where + name + "/", depth + 1);
        }
    });
}

void FileStore::forget(uint64_t files, uint64_t bytes) {
    fileCount_ -= std::min(fileCount_, files);
    usedBytes_ -= std::min(usedBytes_, bytes);
}

bool FileStore::isRunningUpload(const struct stat& st) const {
    return uploads_.count({st.st_dev, st.st_ino}) > 0;
}

UniqueFd FileStore::openDirectory(const std::string& relative, int& error) const {
    UniqueFd dir(::openat(base_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        error = errno;
        return dir;
    }
    for (const std::string& part : componentsOf(relative)) {
        UniqueFd next(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            error = errno;
            return next;
        }
        dir = std::move(next);
    }
    return dir;
}

ResolvedPath FileStore::resolve(std::string_view clientName) const {
    ResolvedPath result;
    if (clientName.find('\0') != std::string_view::npos) {
        result.error = MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR;
        return result;
    }
    if (hasParentComponent(clientName)) {
        result.error = MMS_ERROR_FILE_FILE_ACCESS_DENIED;
        return result;
    }
    if (!opened()) {
        result.error = MMS_ERROR_FILE_FILE_NON_EXISTENT;
        return result;
    }
    auto fail = [&result](MmsError error) {
        result.error = error;
        return result;
    };

    std::deque<std::string> pending;
    if (clientName.starts_with('/')) {
        // An absolute name is served only below the base as it was opened.
        auto inside = below(resolved_, clientName);
        if (!inside) inside = below(absolute_, clientName);
        if (!inside) return fail(MMS_ERROR_FILE_FILE_ACCESS_DENIED);
        pending = std::move(*inside);
    } else {
        pending = componentsOf(clientName);
    }

    // Component by component below the base descriptor; links are followed
    // while they stay inside, the part that does not exist is taken as it is.
    std::vector<std::string> done;
    bool exists = true;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == "..") {  // from a link's target or after a missing part
            if (done.empty()) return fail(MMS_ERROR_FILE_FILE_ACCESS_DENIED);
            done.pop_back();
            continue;
        }
        if (!exists) {
            done.push_back(std::move(part));
            continue;
        }
        done.push_back(std::move(part));
        const std::string candidate = joined(done);
        struct stat st {};
        if (::fstatat(base_.get(), candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) return fail(MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR);
            exists = false;
            continue;
        }
        if (!S_ISLNK(st.st_mode)) continue;
        done.pop_back();
        std::string target;
        if (++links > kMaxLinks || !readLink(base_.get(), candidate, target)) {
            return fail(MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR);
        }
        std::deque<std::string> expansion;
        if (target.starts_with('/')) {
            auto inside = below(resolved_, target);
            if (!inside) inside = below(absolute_, target);
            if (!inside) return fail(MMS_ERROR_FILE_FILE_ACCESS_DENIED);
            done.clear();
            expansion = std::move(*inside);
        } else {
            expansion = componentsOf(target);
        }
        pending.insert(pending.begin(), expansion.begin(), expansion.end());
    }
    result.relative = joined(done);
    result.isBase = done.empty();
    result.path = result.isBase ? resolved_ : resolved_ / result.relative;
    return result;
}

MmsError FileStore::listDirectory(std::string_view fileSpec, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    ResolvedPath resolved = resolve(fileSpec);
    if (resolved.error != MMS_ERROR_NONE) return resolved.error;

    struct stat st {};
    if (::fstatat(base_.get(), atName(resolved.relative), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fileErrorFromErrno(errno);
    }
    if (S_ISREG(st.st_mode)) {
        entries.push_back({std::string(fileSpec), attributesOf(st)});
        return MMS_ERROR_NONE;
    }
    if (!S_ISDIR(st.st_mode)) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;

    std::string prefix;
    if (!resolved.isBase && !fileSpec.empty()) {
        prefix = std::string(fileSpec);
        if (!prefix.ends_with('/')) prefix += '/';
    }
    int error = 0;
    UniqueFd dir = openDirectory(resolved.relative, error);
    if (!dir.valid()) return fileErrorFromErrno(error);
    const bool complete = scan(std::move(dir), [&](int fd, const std::string& name) {
        struct stat entry {};
        if (::fstatat(fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return;
        if (S_ISLNK(entry.st_mode)) {
            // A link that leads out of the store is not shown.
            ResolvedPath target = resolve(joined(resolved.relative, name));
            if (target.error != MMS_ERROR_NONE) return;
            if (::fstatat(base_.get(), atName(target.relative), &entry, AT_SYMLINK_NOFOLLOW) != 0) return;
        }
        if (S_ISDIR(entry.st_mode)) {
            entries.push_back({prefix + name + "/", attributesOf(entry)});
        } else if (S_ISREG(entry.st_mode)) {
            entries.push_back({prefix + name, attributesOf(entry)});
        }
    });
    if (!complete) return fileErrorFromErrno(errno);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return MMS_ERROR_NONE;
}

OpenedFile FileStore::openForRead(std::string_view clientName, uint32_t initialPosition) const {
    OpenedFile result;
    ResolvedPath resolved = resolve(clientName);
    if (resolved.error != MMS_ERROR_NONE) {
        result.error = resolved.error;
        return result;
    }
    if (resolved.isBase) {
        result.error = MMS_ERROR_FILE_FILE_ACCESS_DENIED;
        return result;
    }
    const auto [parent, leaf] = splitLeaf(resolved.relative);
    int error = 0;
    UniqueFd dir = openDirectory(parent, error);
    if (!dir.valid()) {
        result.error = fileErrorFromErrno(error);
        return result;
    }
    UniqueFd fd(::openat(dir.get(), leaf.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid()) {
        result.error = fileErrorFromErrno(errno);
        return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        result.error = fileErrorFromErrno(errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.error = MMS_ERROR_FILE_FILE_ACCESS_DENIED;
        return result;
    }
    if (initialPosition > static_cast<uint64_t>(st.st_size)) {
        result.error = MMS_ERROR_FILE_POSITION_INVALID;
        return result;
    }
    if (::lseek(fd.get(), static_cast<off_t>(initialPosition), SEEK_SET) < 0) {
        result.error = fileErrorFromErrno(errno);
        return result;
    }
    result.attributes = attributesOf(st);
    result.fd = std::move(fd);
    return result;
}

MmsError FileStore::remove(std::string_view clientName) {
    ResolvedPath resolved = resolve(clientName);
    if (resolved.error != MMS_ERROR_NONE) return resolved.error;
    if (resolved.isBase) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    const auto [parent, leaf] = splitLeaf(resolved.relative);
    int error = 0;
    UniqueFd dir = openDirectory(parent, error);
    if (!dir.valid()) return fileErrorFromErrno(error);
    struct stat st {};
    if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fileErrorFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    if (isRunningUpload(st)) return MMS_ERROR_FILE_FILE_BUSY;
    if (::unlinkat(dir.get(), leaf.c_str(), 0) != 0) return fileErrorFromErrno(errno);
    forget(1, static_cast<uint64_t>(st.st_size));
    return MMS_ERROR_NONE;
}

MmsError FileStore::rename(std::string_view currentName, std::string_view newName) {
    ResolvedPath from = resolve(currentName);
    if (from.error != MMS_ERROR_NONE) return from.error;
    ResolvedPath to = resolve(newName);
    if (to.error != MMS_ERROR_NONE) return to.error;
    if (from.isBase || to.isBase) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    const auto [fromParent, fromLeaf] = splitLeaf(from.relative);
    const auto [toParent, toLeaf] = splitLeaf(to.relative);
    if (isUploadTemporaryName(toLeaf)) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    int error = 0;
    UniqueFd fromDir = openDirectory(fromParent, error);
    if (!fromDir.valid()) return fileErrorFromErrno(error);
    struct stat st {};
    if (::fstatat(fromDir.get(), fromLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fileErrorFromErrno(errno);
    if (isRunningUpload(st)) return MMS_ERROR_FILE_FILE_BUSY;
    UniqueFd toDir = openDirectory(toParent, error);
    if (!toDir.valid()) return fileErrorFromErrno(error);
    if (::renameat2(fromDir.get(), fromLeaf.c_str(), toDir.get(), toLeaf.c_str(), RENAME_NOREPLACE) != 0) {
        return fileErrorFromErrno(errno);
    }
    return MMS_ERROR_NONE;
}

std::string FileStore::roomFor(uint64_t bytes) const {
    if (!opened()) return "the base directory is not open (" + openError_ + ")";
    const uint64_t used = usedBytes_;
    if (used > limits_.maxTotalBytes || bytes > limits_.maxTotalBytes - used) {
        return "the uploads would take more than " + std::to_string(limits_.maxTotalBytes) + " bytes (" +
               std::to_string(used) + " in use, " + std::to_string(bytes) + " more)";
    }
    struct statvfs vfs {};
    if (::fstatvfs(base_.get(), &vfs) != 0) {
        return std::string("the free space of the file system is unknown: ") + std::strerror(errno);
    }
    const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    if (free < limits_.reservedFreeBytes || bytes > free - limits_.reservedFreeBytes) {
        return "the file system has " + std::to_string(free) + " bytes free and keeps " +
               std::to_string(limits_.reservedFreeBytes) + " for the device (" + std::to_string(bytes) + " more)";
    }
    return {};
}

std::string FileStore::roomForNewFile() const {
    if (!opened()) return roomFor(0);
    if (fileCount_ >= limits_.maxFiles) {
        return "the store holds " + std::to_string(fileCount_) + " files, at most " +
               std::to_string(limits_.maxFiles) + " are allowed";
    }
    struct statvfs vfs {};
    if (::fstatvfs(base_.get(), &vfs) != 0) {
        return std::string("the free inodes of the file system are unknown: ") + std::strerror(errno);
    }
    // A file system without a fixed number of inodes reports none.
    const uint64_t freeInodes = static_cast<uint64_t>(vfs.f_favail);
    if (vfs.f_files != 0 && freeInodes <= limits_.reservedFreeInodes) {
        return "the file system has " + std::to_string(freeInodes) + " inodes free and keeps " +
               std::to_string(limits_.reservedFreeInodes) + " for the device";
    }
    return roomFor(0);
}

MmsError FileStore::beginIncoming(std::string_view clientName, IncomingFile& file) {
    ResolvedPath resolved = resolve(clientName);
    if (resolved.error != MMS_ERROR_NONE) return resolved.error;
    if (resolved.isBase) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    const auto [parent, leaf] = splitLeaf(resolved.relative);
    if (isUploadTemporaryName(leaf)) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    int error = 0;
    UniqueFd dir = openDirectory(parent, error);
    if (!dir.valid()) return fileErrorFromErrno(error);
    struct stat st {};
    if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return MMS_ERROR_FILE_DUPLICATE_FILENAME;
    if (errno != ENOENT) return fileErrorFromErrno(errno);

    DurableFile temporary;
    if (!temporary.begin(dir.get(), leaf, kNewFileMode, resolved.path)) {
        iecLog(LOG_ERR, "MMS files: %s", temporary.error().c_str());
        return fileErrorFromErrno(temporary.errorNumber());
    }
    if (::fstat(temporary.descriptor(), &st) != 0) {
        const int code = errno;
        iecLog(LOG_ERR, "MMS files: create a temporary file for %s: %s", resolved.path.c_str(), std::strerror(code));
        return fileErrorFromErrno(code);  // the temporary goes with its writer
    }

    IncomingFile incoming;
    incoming.store_ = this;
    incoming.file_ = std::move(temporary);
    incoming.id_ = {st.st_dev, st.st_ino};
    uploads_.insert(incoming.id_);
    ++fileCount_;
    file = std::move(incoming);
    return MMS_ERROR_NONE;
}

// --- A file coming in ---------------------------------------------------------

IncomingFile::~IncomingFile() { discard(); }

IncomingFile::IncomingFile(IncomingFile&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)),
      file_(std::move(other.file_)),
      id_(other.id_),
      written_(std::exchange(other.written_, 0)),
      errno_(other.errno_) {}

IncomingFile& IncomingFile::operator=(IncomingFile&& other) noexcept {
    if (this != &other) {
        discard();
        store_ = std::exchange(other.store_, nullptr);
        file_ = std::move(other.file_);
        id_ = other.id_;
        written_ = std::exchange(other.written_, 0);
        errno_ = other.errno_;
    }
    return *this;
}

void IncomingFile::discard() {
    file_.discard();
    if (store_ != nullptr) {
        store_->uploads_.erase(id_);
        store_->forget(1, written_);
    }
    store_ = nullptr;
    written_ = 0;
}

void IncomingFile::fail() {
    errno_ = file_.errorNumber();
    iecLog(LOG_ERR, "MMS files: %s", file_.error().c_str());
    discard();
}

bool IncomingFile::write(const uint8_t* data, size_t size) {
    if (!valid()) {
        errno_ = EBADF;
        return false;
    }
    if (!file_.write(data, size)) {
        fail();
        return false;
    }
    written_ += size;
    store_->usedBytes_ += size;
    return true;
}

MmsError IncomingFile::commit() {
    if (!valid()) {
        errno_ = EBADF;
        return lastError();
    }
    const bool committed = file_.commit(DurableFile::Commit::kKeepExisting, Durability::kSynced);
    if (committed || file_.destinationChanged()) {
        // The file has its name (after a failed directory sync, when it could
        // not be removed again) and stays in the totals.
        store_->uploads_.erase(id_);
        store_ = nullptr;
        written_ = 0;
    }
    if (committed) return MMS_ERROR_NONE;
    fail();
    return lastError();
}

}  // namespace iec61850::files
