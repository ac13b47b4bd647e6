// The file store below the server's base directory.
#include "iec61850/files/file_store.h"

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

#include "iec61850/core/log.h"

namespace iec61850::files {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kNewFileMode = 0644;

// weakly_canonical keeps a trailing separator as an empty last element;
// drop it so that paths compare element by element.
fs::path withoutTrailingSeparator(fs::path path) {
    if (!path.empty() && path.filename().empty() && path.has_parent_path() && path != path.root_path()) {
        path = path.parent_path();
    }
    return path;
}

// The canonical absolute form: symbolic links of the existing part resolved,
// the rest normalised lexically.
bool canonicalForm(const fs::path& path, fs::path& result) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) return false;
    result = withoutTrailingSeparator(fs::weakly_canonical(absolute, ec));
    return !ec;
}

bool isInside(const fs::path& base, const fs::path& candidate) {
    auto [baseEnd, candidateEnd] = std::mismatch(base.begin(), base.end(), candidate.begin(), candidate.end());
    return baseEnd == base.end();
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

bool statAttributes(const fs::path& path, FileAttributes& attributes, mode_t& mode) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    attributes.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    attributes.lastModified = st.st_mtim.tv_sec;
    mode = st.st_mode;
    return true;
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
    fs::path name{std::string(clientName)};
    fs::path candidate = name.is_absolute() ? name : base_ / name;
    fs::path canonicalBase;
    if (!canonicalForm(base_, canonicalBase) || !canonicalForm(candidate, result.path)) {
        result.error = MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR;
        return result;
    }
    if (!isInside(canonicalBase, result.path)) {
        result.error = MMS_ERROR_FILE_FILE_ACCESS_DENIED;
        return result;
    }
    result.isBase = result.path == canonicalBase;
    return result;
}

MmsError FileStore::listDirectory(std::string_view fileSpec, std::vector<DirectoryEntry>& entries) const {
    entries.clear();
    ResolvedPath resolved = resolve(fileSpec);
    if (resolved.error != MMS_ERROR_NONE) return resolved.error;

    FileAttributes attributes;
    mode_t mode = 0;
    if (!statAttributes(resolved.path, attributes, mode)) return fileErrorFromErrno(errno);
    if (S_ISREG(mode)) {
        entries.push_back({std::string(fileSpec), attributes});
        return MMS_ERROR_NONE;
    }
    if (!S_ISDIR(mode)) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;

    std::string prefix;
    if (!resolved.isBase && !fileSpec.empty()) {
        prefix = std::string(fileSpec);
        if (!prefix.ends_with('/')) prefix += '/';
    }
    std::error_code ec;
    fs::directory_iterator it(resolved.path, ec);
    if (ec) return fileErrorFromErrno(ec.value());
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = prefix + it->path().filename().string();
        fs::path entryPath = it->path();
        if (it->is_symlink(ec)) {
            // A link that leads out of the store is not shown.
            ResolvedPath target = resolve(name);
            if (target.error != MMS_ERROR_NONE) continue;
            entryPath = target.path;
        }
        if (!statAttributes(entryPath, attributes, mode)) continue;
        if (S_ISDIR(mode)) {
            entries.push_back({name + "/", attributes});
        } else if (S_ISREG(mode)) {
            entries.push_back({name, attributes});
        }
    }
    if (ec) return fileErrorFromErrno(ec.value());
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
    UniqueFd fd(::open(resolved.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
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
    result.attributes.size = static_cast<uint64_t>(st.st_size);
    result.attributes.lastModified = st.st_mtim.tv_sec;
    result.fd = std::move(fd);
    return result;
}

MmsError FileStore::remove(std::string_view clientName) const {
    ResolvedPath resolved = resolve(clientName);
    if (resolved.error != MMS_ERROR_NONE) return resolved.error;
    if (resolved.isBase) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    struct stat st {};
    if (::lstat(resolved.path.c_str(), &st) != 0) return fileErrorFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    if (::unlink(resolved.path.c_str()) != 0) return fileErrorFromErrno(errno);
    return MMS_ERROR_NONE;
}

MmsError FileStore::rename(std::string_view currentName, std::string_view newName) const {
    ResolvedPath from = resolve(currentName);
    if (from.error != MMS_ERROR_NONE) return from.error;
    ResolvedPath to = resolve(newName);
    if (to.error != MMS_ERROR_NONE) return to.error;
    if (from.isBase || to.isBase) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    struct stat st {};
    if (::lstat(from.path.c_str(), &st) != 0) return fileErrorFromErrno(errno);
    if (::renameat2(AT_FDCWD, from.path.c_str(), AT_FDCWD, to.path.c_str(), RENAME_NOREPLACE) != 0) {
        return fileErrorFromErrno(errno);
    }
    return MMS_ERROR_NONE;
}

uint64_t FileStore::usedBytes() const {
    uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(base_, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += static_cast<uint64_t>(st.st_size);
    }
    return total;
}

std::string FileStore::roomFor(uint64_t bytes) const {
    const uint64_t used = usedBytes();
    if (used > limits_.maxTotalBytes || bytes > limits_.maxTotalBytes - used) {
        return "the uploads would take more than " + std::to_string(limits_.maxTotalBytes) + " bytes (" +
               std::to_string(used) + " in use, " + std::to_string(bytes) + " more)";
    }
    // The file system that holds the base directory, or would hold it.
    fs::path holder = fs::absolute(base_);
    std::error_code ec;
    while (!fs::exists(holder, ec) && holder.has_relative_path()) holder = holder.parent_path();
    struct statvfs vfs {};
    if (::statvfs(holder.c_str(), &vfs) != 0) {
        return std::string("the free space of the file system is unknown: ") + std::strerror(errno);
    }
    const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    if (free < limits_.reservedFreeBytes || bytes > free - limits_.reservedFreeBytes) {
        return "the file system has " + std::to_string(free) + " bytes free and keeps " +
               std::to_string(limits_.reservedFreeBytes) + " for the device (" + std::to_string(bytes) + " more)";
    }
    return {};
}

MmsError FileStore::beginIncoming(std::string_view clientName, IncomingFile& file) const {
    ResolvedPath resolved = resolve(clientName);
    if (resolved.error != MMS_ERROR_NONE) return resolved.error;
    if (resolved.isBase) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    struct stat st {};
    if (::lstat(resolved.path.c_str(), &st) == 0) return MMS_ERROR_FILE_DUPLICATE_FILENAME;
    if (errno != ENOENT) return fileErrorFromErrno(errno);

    DurableFile incoming;
    if (!incoming.begin(resolved.path, kNewFileMode)) {
        iecLog(LOG_ERR, "MMS files: %s", incoming.error().c_str());
        return fileErrorFromErrno(incoming.errorNumber());
    }
    file = IncomingFile(std::move(incoming));
    return MMS_ERROR_NONE;
}

bool IncomingFile::write(const uint8_t* data, size_t size) {
    if (file_.write(data, size)) return true;
    iecLog(LOG_ERR, "MMS files: %s", file_.error().c_str());
    return false;
}

MmsError IncomingFile::commit() {
    if (file_.commit(DurableFile::Commit::kKeepExisting)) return MMS_ERROR_NONE;
    iecLog(LOG_ERR, "MMS files: %s", file_.error().c_str());
    return lastError();
}

}  // namespace iec61850::files
