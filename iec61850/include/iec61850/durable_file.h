#pragma once
// Writing a file so that a power loss leaves under its name either the old
// content or the new one, never a mix and never an empty file: the bytes go
// to a temporary file ".<name>.XXXXXX" in the destination's directory, which
// is synced to disk, put in place of the destination, and the directory is
// synced so the rename itself survives. Every step is checked, and a failed
// one of a synced commit leaves the destination as it was: up to the rename
// nothing has touched it; when the directory sync fails after the rename,
// the old file (kept under the temporary name by an exchange of the two
// names, RENAME_EXCHANGE) is put back, or the new one removed when there
// was none. Only when putting back fails too, or the file system has no
// exchange (the old file is then renamed over), may the new content stay
// (destinationChanged() says so). A killed process leaves the old or the
// whole new file, and at most a temporary file beside it.
//
// Every step works relative to the destination's directory, opened once by
// begin(): a directory renamed or replaced by a symbolic link meanwhile
// moves nothing, the file lands where it was begun.
//
// Writers of the library and of the application use it; it has no logging
// of its own: a failed call returns false and error() says which step
// failed and why.

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
// made in this process, failed ones included; for tests and benches that
// count the syncs of a road.
uint64_t durableSyncCount();

// The test seam of the durable writer: every sync it makes (DurableFile's
// commit, FileReplacer's syncDeferred) goes through one function, fsync by
// default. A test installs another one to make the sync of a file or that of
// a directory fail (return -1 with errno set) and puts fsync back with
// nullptr; the previous function is returned. Production code never calls
// it. The function is read atomically at each sync, so a test may switch it
// while another thread writes.
enum class SyncTarget {
    kFile,       // a written temporary file, or a deferred file
    kDirectory,  // the directory of a renamed file
};
using SyncFunction = int (*)(int fd, SyncTarget target);
SyncFunction setSyncForTesting(SyncFunction sync);

// True for a name of the form DurableFile gives its temporary files,
// ".<name>.XXXXXX" (a name of at least one character, XXXXXX: six letters or
// digits); for the scans that remove what an interrupted write left.
bool isDurableTemporaryName(std::string_view fileName);

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
    // The same for the file name (one component, no '/') in the directory
    // open as directoryFd. The descriptor is duplicated: the caller may close
    // its own at once, and the commit lands in that directory whatever its
    // path has become. Errors name the destination as shownAs (the name when
    // empty) and the temporary file and the directory beside it.
    bool begin(int directoryFd, std::string_view name, unsigned mode, const std::filesystem::path& shownAs = {});
    bool valid() const { return fd_.valid(); }
    // The temporary file's descriptor (-1 when there is none), for fstat;
    // the object keeps it.
    int descriptor() const { return fd_.get(); }
    // Writes every byte (short writes and interrupted calls are continued).
    bool write(const void* data, size_t size);
    // Syncs and closes the file, renames it onto the destination and syncs
    // the directory; without the two syncs unless durability is kSynced. The
    // object is empty afterwards, whatever the outcome. A failure leaves the
    // destination as it was (see the top of this header), except where
    // destinationChanged() says otherwise; after a failed directory sync the
    // directory's own state on disk is not known until it is synced again.
    bool commit(Commit how = Commit::kReplace, Durability durability = Durability::kSynced);
    // Drops the temporary file.
    void discard();

    // After a failed commit: true when the directory sync failed and the old
    // state of the destination could not be put back, so the destination may
    // hold the new content; false after every other failure.
    bool destinationChanged() const { return changed_; }
    // After a failed commit: true when the rename was made and the directory
    // sync failed, so that the directory's state on disk (the put-back
    // included) is not known until it is synced again.
    bool directoryUnsynced() const { return directoryUnsynced_; }

    // The last failure: "<step> <path>: <system text>", and its errno value.
    const std::string& error() const { return error_; }
    int errorNumber() const { return errno_; }

private:
    // Both forms of begin: directory is the destination's, owned from here.
    // openError: the errno of opening it, when it is not valid.
    bool beginIn(UniqueFd directory, int openError, std::string_view name, unsigned mode,
                 const std::filesystem::path& shownAs);
    bool fail(const char* step, const std::filesystem::path& path, int code);
    // The temporary file and the directory as errors name them.
    std::filesystem::path shownTemporary() const;
    std::filesystem::path shownDirectory() const;
    // Puts the destination back as it was before the rename (the old file
    // from the temporary name after an exchange; no file when the rename
    // created it); false when that failed or is not possible.
    bool putBack(bool exchanged, bool created);

    UniqueFd directory_;     // the destination's directory
    UniqueFd fd_;            // the temporary file, until the commit closes it
    std::string temporary_;  // its name in directory_; "" when there is none
    std::string name_;       // the destination's name in directory_
    std::filesystem::path shown_;  // the destination as errors name it
    std::string error_;
    int errno_ = 0;
    bool changed_ = false;
    bool directoryUnsynced_ = false;
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
    // step and the system's text. When the directory sync of a kSynced
    // replace failed, the old file is put back and its name is kept as
    // deferred, so that syncDeferred (or the next kSynced replace of the
    // path) makes the put-back durable: a retry only ever makes durable what
    // the destination held before, never the refused content. When given,
    // destinationChanged tells whether the put-back failed, so that the
    // destination may hold the new content (DurableFile::destinationChanged);
    // such a file is not kept as deferred.
    bool replace(const std::filesystem::path& path, std::string_view content, unsigned mode, Durability durability,
                 std::string& error, bool* destinationChanged = nullptr);
    // Removes the file at path (a missing one is fine) and syncs its
    // directory; when that sync fails, the removal waits for syncDeferred
    // like a put-back. False (error says why) only when the file is still
    // there.
    bool remove(const std::filesystem::path& path, std::string& error);
    // Makes the files that kDeferred replaces (and the put-backs above) left
    // in directory durable: each file is synced, then the directory once.
    // False when a sync failed (error says which); a file not known to be
    // durable stays deferred, so the next call tries it again. (A file whose
    // own sync failed may have lost data even when a later sync succeeds;
    // the put-backs are files that were durable before.)
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
