#pragma once
// The MMS file store: a base directory on the local file system and the
// operations the file services run on it. Every client file name goes
// through FileStore::resolve, which keeps the services inside the base
// directory: a ".." component, an absolute path elsewhere or a symbolic link
// that leads out of the base directory are refused.

#include <cstdint>
#include <filesystem>
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

// A client file name mapped into the store.
struct ResolvedPath {
    MmsError error = MMS_ERROR_NONE;  // MMS_ERROR_NONE when path is usable
    std::filesystem::path path;       // canonical, inside the base directory
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

// A file being written under a temporary name beside its destination. It
// takes the destination name only with commit(), durably (synced, renamed,
// directory synced); otherwise the temporary file is removed when the object
// goes.
class IncomingFile {
public:
    IncomingFile() = default;
    explicit IncomingFile(DurableFile file) : file_(std::move(file)) {}

    bool valid() const { return file_.valid(); }
    bool write(const uint8_t* data, size_t size);
    // Moves the file to its destination (never replacing a file).
    MmsError commit();
    // The MMS file error of the last failed write or commit.
    MmsError lastError() const { return fileErrorFromErrno(file_.errorNumber()); }

private:
    DurableFile file_;
};

// The file error of an ObtainFile refused for want of room (FilestoreLimits).
constexpr MmsError kNoRoomError = MMS_ERROR_FILE_FILE_ACCESS_DENIED;

class FileStore {
public:
    explicit FileStore(std::filesystem::path base, FilestoreLimits limits = {})
        : base_(std::move(base)), limits_(limits) {}

    const std::filesystem::path& base() const { return base_; }
    const FilestoreLimits& limits() const { return limits_; }

    // Empty when bytes more fit within the limits: the files below the base
    // directory (temporaries of running transfers included) stay within
    // maxTotalBytes and its file system keeps reservedFreeBytes free.
    // Otherwise why they do not, for the log.
    std::string roomFor(uint64_t bytes) const;
    // The sizes of the regular files below the base directory, added up.
    uint64_t usedBytes() const;

    ResolvedPath resolve(std::string_view clientName) const;

    // Entries of a directory (sorted by name, subdirectories with a trailing
    // "/") or the one entry of a file. The names carry the client's
    // path as prefix, so they can be opened as listed.
    MmsError listDirectory(std::string_view fileSpec, std::vector<DirectoryEntry>& entries) const;

    // Opens a regular file for reading, positioned at initialPosition.
    OpenedFile openForRead(std::string_view clientName, uint32_t initialPosition) const;

    MmsError remove(std::string_view clientName) const;
    // Never replaces an existing file.
    MmsError rename(std::string_view currentName, std::string_view newName) const;

    // Starts a file that arrives in pieces (ObtainFile). An existing
    // destination is refused with MMS_ERROR_FILE_DUPLICATE_FILENAME.
    MmsError beginIncoming(std::string_view clientName, IncomingFile& file) const;

private:
    std::filesystem::path base_;
    FilestoreLimits limits_;
};


// "YYYYMMDDhhmmss.000Z" (UTC), the form MMS uses for GeneralizedTime.
std::string generalizedTime(int64_t secondsSinceEpoch);

}  // namespace iec61850::files
