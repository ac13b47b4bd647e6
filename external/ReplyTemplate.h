#pragma once
// JSON reply templates of the MQTT gateways: a template file is read whole
// and parsed, the gateway sets its members, and the document goes out as
// compact JSON with object keys in ascending byte order.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/JsonParse.h"

namespace replytemplate {

// Deepest nesting of a template file (ours nest up to six levels), and of a
// document dump serialises (a template with the members a gateway sets, or a
// part of a received message, which its reader bounds at 64 levels).
inline constexpr size_t kMaxDepth = kMaxJsonFileDepth;
inline constexpr size_t kMaxDumpDepth = 128;

// Reads the whole file through the one file reader (foundation/FileRead.h:
// a regular file only, never blocking, size-bounded) and parses it as strict
// JSON (no comments). nullopt when the file is missing or refused (a FIFO,
// a device, a directory, too large); refusal then says why (empty for a
// missing file). A file that is not JSON, or nests deeper than kMaxDepth,
// throws nlohmann::json::parse_error, so the caller decides how to report it.
std::optional<nlohmann::json> load(const std::string& path, std::string* refusal = nullptr);

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
// string is replaced rather than thrown on. A document nested deeper than
// kMaxDumpDepth throws nlohmann::json::other_error before any recursive step.
std::string dump(const nlohmann::json& document);

}  // namespace replytemplate
