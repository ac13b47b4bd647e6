#pragma once
// The on-disk form of one stored schedule: its path below "./schedules/",
// reading a file into a document, compact serialisation, durable replacement
// of a file, and typed member reads in which a member of the wrong type
// counts as missing.

#include <rapidjson/document.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "iec61850/durable_file.h"

namespace schedulefile {

inline constexpr const char* kRootDirectory = "./schedules";
// Directories are made accessible to everyone for reading only: a schedule
// file planted by another local user would become a running limit.
inline constexpr unsigned kDirectoryMode = 0755;
inline constexpr unsigned kFileMode = 0644;
// A schedule file of the largest node (300 entries, 16 start times) is a few
// kilobytes; anything far beyond that is not one of ours and is not parsed.
inline constexpr size_t kMaxFileBytes = 1 << 20;
// Suffix under which a stored file is set aside when a hand-over is refused.
inline constexpr const char* kRejectedSuffix = ".rejected";

// "./schedules/CLS<cls>".
std::string directory(int cls);
// "./schedules/CLS<cls>/<name>.json".
std::string path(int cls, const std::string& name);

// Deepest nesting of arrays and objects a schedule file may have (ours nest
// two deep); deeper text is not parsed.
inline constexpr size_t kMaxDepth = 8;

// The parsed file, or a null document when the file cannot be read or does
// not parse completely (default parse flags: trailing text is an error).
// Only a regular file is read, and opening never blocks: a FIFO, a device
// or a directory in its place reads as no file. When given, refusal tells
// why an entry that exists was not read (not a regular file, too large,
// nested too deeply, a read error); it stays empty for a missing file and
// for text that does not parse.
rapidjson::Document read(const std::string& filePath, std::string* refusal = nullptr);
// The two halves of read: the file's whole text (nullopt when it is missing
// or refused, refusal as above), and the parse of a text (a null document
// when it nests too deeply, refusal then says so, or does not parse).
std::optional<std::string> readText(const std::string& filePath, std::string* refusal = nullptr);
rapidjson::Document parse(const std::string& content, std::string* refusal = nullptr);

// Compact form of the value. False when the writer refuses a value (NaN or
// infinity); out is then unusable.
bool serialise(const rapidjson::Value& value, std::string& out);

enum class ReplaceResult {
    kOk,
    kOpenFailed,
    kWriteFailed,  // a step failed; the old file stays (or is put back)
    kUnsure,       // the directory sync failed and the old file could not be put back
};
// Replaces the file through files (iec61850/durable_file.h): temporary file
// in the same directory, every byte written, put in place of filePath;
// synced with its directory as durability says. On failure the old file
// stays (kWriteFailed) and error holds the failed step with the system's
// error text; kUnsure when the new content may be in place all the same.
ReplaceResult replace(iec61850::FileReplacer& files, const std::string& filePath, const std::string& content,
                      iec61850::Durability durability, std::string& error);

bool isDirectory(const std::string& dirPath);
// Creates one directory level with kDirectoryMode; error holds the system's text.
bool makeDirectory(const std::string& dirPath, std::string& error);

// Typed member reads. A missing member and one of another type read alike.
bool has(const rapidjson::Value& object, const char* key);
std::optional<int> getInt(const rapidjson::Value& object, const char* key);
std::optional<int64_t> getInt64(const rapidjson::Value& object, const char* key);
std::optional<uint64_t> getUint64(const rapidjson::Value& object, const char* key);
std::optional<bool> getBool(const rapidjson::Value& object, const char* key);
std::optional<std::string> getString(const rapidjson::Value& object, const char* key);
const rapidjson::Value* getArray(const rapidjson::Value& object, const char* key);

// An array entry as a start time in seconds; an entry that is no
// non-negative integer reads as 0, the mark of an unused start time.
uint64_t startTimeOf(const rapidjson::Value& entry);
// The start times of "StrTm"; nullopt when the member is no array.
std::optional<std::vector<uint64_t>> startTimes(const rapidjson::Value& object);

}  // namespace schedulefile
