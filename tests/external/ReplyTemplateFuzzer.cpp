// libFuzzer target: the bytes of one reply template file through the
// template reader, the member setting every gateway does and the compact
// serialisation. Whatever the file holds, the reader refuses it or gives a
// document; nothing recurses without a bound.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "external/ReplyTemplate.h"

namespace {

const std::string& templatePath() {
    static const std::string path = [] {
        char pattern[] = "/tmp/reply-template-fuzz-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) std::abort();
        ::close(fd);
        return std::string(pattern);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(templatePath().c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    try {
        std::optional<nlohmann::json> document = replytemplate::load(templatePath());
        if (!document) return 0;
        replytemplate::setMember(*document, {"data", "errorNumber"}, 0);
        replytemplate::setMember(*document, {"relation"}, "r-1");
        replytemplate::memberAt(*document, {"data", "limits", "power", "active", "consumption"}) = 5;
        const std::string text = replytemplate::dump(*document);
        if (text.empty()) std::abort();
    } catch (const nlohmann::json::exception&) {
        // Not JSON, too deep, or a level of another type: refused, as the gateways report it.
    }
    return 0;
}
