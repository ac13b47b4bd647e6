#include "schedules/ScheduleFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "foundation/JsonDepth.h"

#include <cerrno>
#include <cstring>

#include "iec61850/durable_file.h"

namespace schedulefile {

std::string directory(int cls) { return std::string(kRootDirectory) + "/CLS" + std::to_string(cls); }

std::string path(int cls, const std::string& name) { return directory(cls) + "/" + name + ".json"; }

namespace {

// The whole content of a regular file, at most kMaxFileBytes. Opened without
// blocking, so a FIFO without a writer or a device cannot stop the caller.
std::optional<std::string> readRegularFile(const std::string& filePath, std::string* refusal) {
    auto refuse = [refusal](std::string why) {
        if (refusal) *refusal = std::move(why);
        return std::nullopt;
    };
    const int fd = ::open(filePath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        return refuse(std::string("cannot be opened: ") + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(std::string("cannot be examined: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return refuse("is not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) return refuse("is larger than any schedule file");
    std::string content;
    content.reserve(static_cast<size_t>(st.st_size));
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return refuse(std::string("cannot be read: ") + std::strerror(errno));
        }
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > kMaxFileBytes) return refuse("is larger than any schedule file");
    }
    return content;
}

}  // namespace

rapidjson::Document read(const std::string& filePath, std::string* refusal) {
    if (refusal) refusal->clear();
    const std::optional<std::string> content = readRegularFile(filePath, refusal);
    if (!content) return rapidjson::Document();
    if (jsonNestsDeeperThan(*content, kMaxDepth)) {
        if (refusal) *refusal = "nests deeper than " + std::to_string(kMaxDepth) + " levels";
        return rapidjson::Document();
    }
    rapidjson::Document doc;
    doc.Parse(content->data(), content->size());
    if (doc.HasParseError()) {
        return rapidjson::Document();
    }
    return doc;
}

bool serialise(const rapidjson::Value& value, std::string& out) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!value.Accept(writer)) {
        return false;
    }
    out.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

ReplaceResult replace(iec61850::FileReplacer& files, const std::string& filePath, const std::string& content,
                      iec61850::Durability durability, std::string& error) {
    return files.replace(filePath, content, kFileMode, durability, error) ? ReplaceResult::kOk
                                                                          : ReplaceResult::kWriteFailed;
}

bool isDirectory(const std::string& dirPath) {
    struct stat st {};
    return ::stat(dirPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirectory(const std::string& dirPath, std::string& error) {
    if (::mkdir(dirPath.c_str(), kDirectoryMode) == 0) {
        return true;
    }
    int code = errno;
    if (code == EEXIST && isDirectory(dirPath)) {
        return true;  // made by someone else meanwhile
    }
    error = std::strerror(code);
    return false;
}

namespace {

const rapidjson::Value* find(const rapidjson::Value& object, const char* key) {
    if (!object.IsObject()) return nullptr;
    auto it = object.FindMember(key);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

}  // namespace

bool has(const rapidjson::Value& object, const char* key) { return find(object, key) != nullptr; }

std::optional<int> getInt(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* v = find(object, key);
    if (v && v->IsInt()) return v->GetInt();
    return std::nullopt;
}

std::optional<int64_t> getInt64(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* v = find(object, key);
    if (v && v->IsInt64()) return v->GetInt64();
    return std::nullopt;
}

std::optional<uint64_t> getUint64(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* v = find(object, key);
    if (v && v->IsUint64()) return v->GetUint64();
    return std::nullopt;
}

std::optional<bool> getBool(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* v = find(object, key);
    if (v && v->IsBool()) return v->GetBool();
    return std::nullopt;
}

std::optional<std::string> getString(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* v = find(object, key);
    if (v && v->IsString()) return std::string(v->GetString(), v->GetStringLength());
    return std::nullopt;
}

const rapidjson::Value* getArray(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* v = find(object, key);
    return v && v->IsArray() ? v : nullptr;
}

uint64_t startTimeOf(const rapidjson::Value& entry) { return entry.IsUint64() ? entry.GetUint64() : 0; }

std::optional<std::vector<uint64_t>> startTimes(const rapidjson::Value& object) {
    const rapidjson::Value* array = getArray(object, "StrTm");
    if (!array) return std::nullopt;
    std::vector<uint64_t> result;
    result.reserve(array->Size());
    for (const auto& entry : array->GetArray()) {
        result.push_back(startTimeOf(entry));
    }
    return result;
}

}  // namespace schedulefile
