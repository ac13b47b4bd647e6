#include "schedules/ScheduleFile.h"

#include <sys/stat.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "foundation/FileRead.h"
#include "foundation/JsonDepth.h"

#include <cerrno>
#include <cstring>

#include "iec61850/durable_file.h"

namespace schedulefile {

std::string directory(int cls) { return std::string(kRootDirectory) + "/CLS" + std::to_string(cls); }

std::string path(int cls, const std::string& name) { return directory(cls) + "/" + name + ".json"; }

std::optional<std::string> readText(const std::string& filePath, std::string* refusal) {
    if (refusal) refusal->clear();
    // A NUL byte would end rapidjson's text early and hide what follows it.
    fileread::FileText file = fileread::readTextFile(filePath, kMaxFileBytes);
    if (!file.read()) {
        if (refusal && file.outcome == fileread::Outcome::kRefused) *refusal = file.reason;
        return std::nullopt;
    }
    return std::move(file.content);
}

rapidjson::Document parse(const std::string& content, std::string* refusal) {
    if (refusal) refusal->clear();
    if (jsonNestsDeeperThan(content, kMaxDepth)) {
        if (refusal) *refusal = "nests deeper than " + std::to_string(kMaxDepth) + " levels";
        return rapidjson::Document();
    }
    rapidjson::Document doc;
    doc.Parse(content.data(), content.size());
    if (doc.HasParseError()) {
        return rapidjson::Document();
    }
    return doc;
}

rapidjson::Document read(const std::string& filePath, std::string* refusal) {
    const std::optional<std::string> content = readText(filePath, refusal);
    return content ? parse(*content, refusal) : rapidjson::Document();
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
    bool changed = false;
    if (files.replace(filePath, content, kFileMode, durability, error, &changed)) return ReplaceResult::kOk;
    return changed ? ReplaceResult::kUnsure : ReplaceResult::kWriteFailed;
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
