#pragma once
// JSON reply templates of the MQTT gateways: a template file is read whole
// and parsed, the gateway sets its members, and the document goes out as
// compact JSON with object keys in ascending byte order.

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace replytemplate {

// Reads the whole file and parses it as strict JSON (no comments).
// nullopt when the file cannot be opened or read; a file that is not JSON
// throws nlohmann::json::parse_error, so the caller decides how to report it.
std::optional<nlohmann::json> load(const std::string& path);

// The member at the path of keys, creating the objects on the way (a missing
// or null level becomes an object) and a null member at the end when absent.
// A level that holds another type throws nlohmann::json::type_error.
nlohmann::json& memberAt(nlohmann::json& document, std::initializer_list<std::string_view> path);

// Sets the member at the path of keys, creating the objects on the way (a
// missing or null level becomes an object) and replacing what stands at the
// end. A level that holds another type throws nlohmann::json::type_error.
// Returns the member that was set.
nlohmann::json& setMember(nlohmann::json& document, std::initializer_list<std::string_view> path,
                          nlohmann::json value);

// Compact text without spaces; keys in ascending byte order (the library's
// default object is an ordered map of std::string); invalid UTF-8 in a
// string is replaced rather than thrown on.
std::string dump(const nlohmann::json& document);

}  // namespace replytemplate
