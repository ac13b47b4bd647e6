#include "external/ReplyTemplate.h"

#include <fstream>
#include <iterator>

namespace replytemplate {

std::optional<nlohmann::json> load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return nlohmann::json::parse(text, nullptr, true, false);
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
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace replytemplate
