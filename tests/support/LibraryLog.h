#pragma once
// The IEC 61850 library's log records while an object of this class lives:
// it installs itself as the library's log handler and takes the handler away
// again when it goes. One at a time.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "iec61850/iec61850_log.h"

namespace testsupport {

class LibraryLog {
public:
    LibraryLog() {
        records().clear();
        Iec61850_setLogHandler([](int priority, const char* text) { records().emplace_back(priority, text); });
    }
    ~LibraryLog() { Iec61850_setLogHandler(nullptr); }
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;

    // (priority, text) of each record, oldest first.
    static std::vector<std::pair<int, std::string>>& records() {
        static std::vector<std::pair<int, std::string>> all;
        return all;
    }
    static bool contains(int priority, const std::string& text) {
        return std::any_of(records().begin(), records().end(),
                           [&](const auto& r) { return r.first == priority && r.second == text; });
    }
};

}  // namespace testsupport
