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
// files); it has no state beyond the object and no logging of its own: a
// failed call returns false and error() says which step failed and why.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace iec61850 {

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
    bool valid() const { return fd_ >= 0; }
    // Writes every byte (short writes and interrupted calls are continued).
    bool write(const void* data, size_t size);
    // Syncs and closes the file, renames it onto the destination and syncs
    // the directory. The object is empty afterwards, whatever the outcome.
    bool commit(Commit how = Commit::kReplace);
    // Drops the temporary file.
    void discard();

    // The last failure: "<step> <path>: <system text>", and its errno value.
    const std::string& error() const { return error_; }
    int errorNumber() const { return errno_; }

private:
    bool fail(const char* step, const std::filesystem::path& path, int code);

    int fd_ = -1;
    std::filesystem::path temporary_;
    std::filesystem::path destination_;
    std::string error_;
    int errno_ = 0;
};

// Replaces the file at path by content, durably (see above). Temporary files
// of path that an interrupted earlier write left behind are removed first,
// so writes of one path must not run concurrently. On failure error holds the
// failed step and the system's text.
bool replaceFileDurably(const std::filesystem::path& path, std::string_view content, unsigned mode,
                        std::string& error);

}  // namespace iec61850
