#include "external/ReplyTemplate.h"

#include "foundation/FileRead.h"
#include "foundation/JsonParse.h"

namespace replytemplate {

std::optional<nlohmann::json> load(const std::string& path, std::string* refusal) {
    if (refusal) refusal->clear();
    fileread::FileText file = fileread::readTextFile(path);
    if (!file.read()) {
        if (refusal && file.outcome == fileread::Outcome::kRefused) *refusal = std::move(file.reason);
        return std::nullopt;
    }
    return parseJsonTextWithin(file.content, kMaxDepth);
}

nlohmann::json& memberAt(nlohmann::json& document, std::initializer_list<std::string_view> path) {
    nlohmann::json* level = &document;
    for (std::string_view key : path) {
        if (level->is_null()) *level = nlohmann::json::object();
        if (!level->is_object()) {
            throw nlohmann::json::type_error::create(
                302, "cannot set member '" + std::string(key) + "' in a " + std::string(level->type_name()),
                level);
        }
        level = &(*level)[std::string(key)];
    }
    return *level;
}

nlohmann::json& setMember(nlohmann::json& document, std::initializer_list<std::string_view> path,
                          nlohmann::json value) {
    nlohmann::json& member = memberAt(document, path);
    member = std::move(value);
    return member;
}

std::string dump(const nlohmann::json& document) {
    if (jsonValueNestsDeeperThan(document, kMaxDumpDepth)) {
        throw nlohmann::json::other_error::create(
            501, "value nests deeper than " + std::to_string(kMaxDumpDepth) + " levels, not serialised", &document);
    }
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace replytemplate
