#pragma once
// Writing a file so that a power loss leaves under its name either the old
// content or the new one, never a mix and never an empty file: the bytes go
// to a temporary file ".<name>.XXXXXX" in the destination's directory, which
// is synced to disk, renamed onto the destination, and the directory is
// synced so the rename itself survives. Every step is checked; a failure
// leaves the destination as it was (or, when only the directory sync failed,
// renamed but not confirmed durable) and removes the temporary file.
//
// The library's file store uses it, and so may the application (for its own
// files); it has no logging of its own: a failed call returns false and
// error() says which step failed and why.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "iec61850/unique_fd.h"

namespace iec61850 {

// How far a commit or a replace goes beyond the atomic rename.
enum class Durability {
    // The file and then its directory are synced: the new content survives a
    // power loss once the call has returned.
    kSynced,
    // Renamed into place only; FileReplacer remembers the file until a later
    // kSynced replace of the same path (whose directory sync also persists
    // this rename) or FileReplacer::syncDeferred makes it durable.
    kDeferred,
    // Renamed into place only: a killed process leaves the old or the new
    // content, a power loss before the system's own writeback may leave
    // neither. For records that nothing reads back.
    kAtomic,
};

// The number of fsync calls (files and directories) the durable writer has
// made in this process; for tests and benches that count the syncs of a road.
uint64_t durableSyncCount();

class DurableFile {
public:
    enum class Commit {
        kReplace,       // an existing destination is replaced
        kKeepExisting,  // an existing destination makes the commit fail (EEXIST)
    };

    DurableFile() = default;
    ~DurableFile();  // removes the temporary file unless committed
    DurableFile(DurableFile&& other) noexcept;
    DurableFile& operator=(DurableFile&& other) noexcept;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // Creates the temporary file beside destination with the given mode.
    bool begin(const std::filesystem::path& destination, unsigned mode);
    bool valid() const { return fd_.valid(); }
    // Writes every byte (short writes and interrupted calls are continued).
    bool write(const void* data, size_t size);
    // Syncs and closes the file, renames it onto the destination and syncs
    // the directory; without the two syncs unless durability is kSynced. The
    // object is empty afterwards, whatever the outcome.
    bool commit(Commit how = Commit::kReplace, Durability durability = Durability::kSynced);
    // Drops the temporary file.
    void discard();

    // The last failure: "<step> <path>: <system text>", and its errno value.
    const std::string& error() const { return error_; }
    int errorNumber() const { return errno_; }

private:
    bool fail(const char* step, const std::filesystem::path& path, int code);

    UniqueFd fd_;
    std::filesystem::path temporary_;
    std::filesystem::path destination_;
    std::string error_;
    int errno_ = 0;
};

// Replaces whole files, for a writer that replaces the files of a few
// directories again and again. Temporary files that an interrupted write left
// in a directory are looked for once, at the replacer's first replace there
// (the process's start, for a replacer that lives as long as the process),
// and each is removed before its destination is next replaced; writes of one
// path must therefore not run concurrently. Safe to share between threads.
class FileReplacer {
public:
    // Replaces the file at path by content with the given mode (see
    // Durability). On failure the old file stays and error holds the failed
    // step and the system's text.
    bool replace(const std::filesystem::path& path, std::string_view content, unsigned mode, Durability durability,
                 std::string& error);
    // Makes the files that kDeferred replaces left in directory durable: each
    // file is synced, then the directory once. False when a sync failed (error
    // says which); a file not known to be durable stays deferred, so the next
    // call tries it again.
    bool syncDeferred(const std::filesystem::path& directory, std::string& error);

private:
    struct Directory {
        std::vector<std::string> leftovers;  // temporary files found at the first replace
        std::set<std::string> deferred;      // file names replaced kDeferred, not yet durable
    };
    // The entry of a directory (absolute), listed at its first use; under mutex_.
    Directory& entryFor(const std::filesystem::path& directory);

    std::mutex mutex_;
    std::map<std::filesystem::path, Directory> directories_;
};

}  // namespace iec61850
