#pragma once
// The MMS file store: a base directory on the local file system and the
// operations the file services run on it.
//
// The base directory is resolved and opened once, when the store is made
// (the server's start); every operation afterwards works relative to that
// descriptor (openat, fstatat, unlinkat, renameat2, fdopendir), so a base
// directory that is later replaced by a symbolic link moves nothing. (A base
// that already is a link when the store is made is followed: that is the
// installer's choice.) Every client file name goes through FileStore::resolve,
// which keeps the services inside the base directory: a ".." component, an
// absolute path elsewhere or a symbolic link that leads out of the base
// directory are refused.
//
// The store keeps the number and the total size of the regular files below
// the base directory (temporaries of running uploads included): counted once
// when the store is made, then updated as the store creates, finishes and
// deletes files, so no request walks the tree. Upload temporaries that a
// killed process left (".<name>.XXXXXX") are removed when the store is made.
//
// Not thread-safe: the file services use it from the thread that processes
// incoming data.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "iec61850/durable_file.h"
#include "iec61850/iec61850_server.h"
#include "iec61850/unique_fd.h"

namespace iec61850::files {

// Maps an errno value of a failed file operation to the MMS file error.
MmsError fileErrorFromErrno(int error);

// True for a file name of the form an upload's temporary has: ".<name>.XXXXXX"
// (XXXXXX: six letters or digits), that of the durable writer's temporaries.
// No client may create or rename a file to such a name: the store removes
// these when it is made.
inline bool isUploadTemporaryName(std::string_view fileName) { return isDurableTemporaryName(fileName); }

// A client file name mapped into the store.
struct ResolvedPath {
    MmsError error = MMS_ERROR_NONE;  // MMS_ERROR_NONE when path is usable
    std::string relative;             // below the base directory, no links, "" for the base itself
    std::filesystem::path path;       // the base directory as resolved at the start, then relative
    bool isBase = false;              // the name denotes the base directory itself
};

struct FileAttributes {
    uint64_t size = 0;
    int64_t lastModified = 0;  // seconds since the epoch
};

struct DirectoryEntry {
    std::string name;  // as a client uses it in later requests
    FileAttributes attributes;
};

struct OpenedFile {
    MmsError error = MMS_ERROR_NONE;
    UniqueFd fd;
    FileAttributes attributes;
};

// The directories the store has read, for tests: every directory opened for
// reading and every entry read from one.
struct DirectoryReads {
    uint64_t scans = 0;
    uint64_t entries = 0;
};

class FileStore;

// A file being written under a temporary name ".<name>.XXXXXX" beside its
// destination, by the durable writer on the destination's directory. It
// takes the destination name only with commit(), durably (synced, renamed
// without replacing, directory synced; a failed directory sync removes it
// again); otherwise the temporary file is removed when the object goes. Its
// bytes count in the store's totals from the moment they are written. The
// store must outlive it.
class IncomingFile {
public:
    IncomingFile() = default;
    ~IncomingFile();
    IncomingFile(IncomingFile&& other) noexcept;
    IncomingFile& operator=(IncomingFile&& other) noexcept;
    IncomingFile(const IncomingFile&) = delete;
    IncomingFile& operator=(const IncomingFile&) = delete;

    bool valid() const { return file_.valid(); }
    bool write(const uint8_t* data, size_t size);
    // Moves the file to its destination (never replacing a file).
    MmsError commit();
    // The MMS file error of the last failed write or commit.
    MmsError lastError() const { return fileErrorFromErrno(errno_); }
    uint64_t size() const { return written_; }

private:
    friend class FileStore;
    // Removes the temporary file (if any) and takes it out of the totals.
    void discard();
    // Logs the writer's failure, keeps its errno and discards the file.
    void fail();

    FileStore* store_ = nullptr;  // null once committed or discarded
    DurableFile file_;
    std::pair<dev_t, ino_t> id_{};  // the temporary's, in the store's running uploads
    uint64_t written_ = 0;
    int errno_ = 0;
};

// The file error of an ObtainFile refused for want of room (FilestoreLimits).
constexpr MmsError kNoRoomError = MMS_ERROR_FILE_FILE_ACCESS_DENIED;

class FileStore {
public:
    // Opens the base directory (made when it is missing), removes the upload
    // temporaries left below it and counts its files. When the base cannot be
    // opened the store is not opened() and refuses every operation.
    explicit FileStore(std::filesystem::path base, FilestoreLimits limits = {});
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;

    bool opened() const { return base_.valid(); }
    // Why the base directory could not be opened (empty when it was).
    const std::string& openError() const { return openError_; }
    // The base directory as configured, and as resolved when it was opened.
    const std::filesystem::path& base() const { return configured_; }
    const std::filesystem::path& resolvedBase() const { return resolved_; }
    const FilestoreLimits& limits() const { return limits_; }
    void setLimits(const FilestoreLimits& limits) { limits_ = limits; }

    // Empty when bytes more fit within the limits: the files below the base
    // directory (temporaries of running transfers included) stay within
    // maxTotalBytes and its file system keeps reservedFreeBytes free.
    // Otherwise why they do not, for the log.
    std::string roomFor(uint64_t bytes) const;
    // The same for one more file: besides roomFor(0), the files stay within
    // maxFiles and the file system keeps reservedFreeInodes inodes free.
    std::string roomForNewFile() const;
    // The sizes and the number of the regular files below the base
    // directory, as the store counted them at the start and has kept them since.
    uint64_t usedBytes() const { return usedBytes_; }
    uint64_t fileCount() const { return fileCount_; }
    // Upload temporaries removed when the store was made.
    size_t temporariesRemoved() const { return temporariesRemoved_; }
    const DirectoryReads& directoryReads() const { return reads_; }

    ResolvedPath resolve(std::string_view clientName) const;

    // Entries of a directory (sorted by name, subdirectories with a trailing
    // "/") or the one entry of a file. The names carry the client's
    // path as prefix, so they can be opened as listed.
    MmsError listDirectory(std::string_view fileSpec, std::vector<DirectoryEntry>& entries);

    // Opens a regular file for reading, positioned at initialPosition.
    OpenedFile openForRead(std::string_view clientName, uint32_t initialPosition) const;

    MmsError remove(std::string_view clientName);
    // Never replaces an existing file.
    MmsError rename(std::string_view currentName, std::string_view newName);

    // Starts a file that arrives in pieces (ObtainFile). An existing
    // destination is refused with MMS_ERROR_FILE_DUPLICATE_FILENAME.
    MmsError beginIncoming(std::string_view clientName, IncomingFile& file);

private:
    friend class IncomingFile;

    // The directory relative (components without links) to the base, opened
    // component by component without following links; "" is the base.
    UniqueFd openDirectory(const std::string& relative, int& error) const;
    // Counts the regular files below dir (where: its name below the base) and
    // removes the upload temporaries among them.
    void countTree(UniqueFd dir, const std::string& where, int depth);
    // Calls each(directory descriptor, name) for the entries of an open
    // directory but "." and "..", counted in reads_; false when reading failed.
    template <class F>
    bool scan(UniqueFd dir, F&& each);
    void forget(uint64_t files, uint64_t bytes);
    bool isRunningUpload(const struct stat& st) const;

    std::filesystem::path configured_;
    std::filesystem::path resolved_;  // canonical, at the start
    std::filesystem::path absolute_;  // configured_ made absolute lexically, at the start
    UniqueFd base_;
    std::string openError_;
    FilestoreLimits limits_;
    uint64_t usedBytes_ = 0;
    uint64_t fileCount_ = 0;
    size_t temporariesRemoved_ = 0;
    DirectoryReads reads_;
    std::set<std::pair<dev_t, ino_t>> uploads_;  // temporaries of running uploads
};

// "YYYYMMDDhhmmss.000Z" (UTC), the form MMS uses for GeneralizedTime.
std::string generalizedTime(int64_t secondsSinceEpoch);

}  // namespace iec61850::files
