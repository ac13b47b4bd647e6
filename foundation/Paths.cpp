#include "foundation/Paths.h"

#include <cstdlib>
#include <mutex>

namespace paths {
namespace {

struct Root {
    std::mutex mutex;
    std::string prefix;
    bool initialised = false;
};

Root& root() {
    static Root instance;
    return instance;
}

}  // namespace

std::string resolve(const std::string& absolutePath) {
    if (absolutePath.empty() || absolutePath.front() != '/') {
        return absolutePath;
    }
    Root& r = root();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.initialised) {
        const char* env = std::getenv("IEC_FS_ROOT");
        r.prefix = env ? env : "";
        r.initialised = true;
    }
    if (r.prefix.empty()) {
        return absolutePath;
    }
    std::string prefix = r.prefix;
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    return prefix + absolutePath;
}

void setFsRootForTesting(const std::string& prefix) {
    Root& r = root();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.prefix = prefix;
    r.initialised = true;
}

}  // namespace paths
