#include "foundation/Logging.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "foundation/ConfigFile.h"
#include "foundation/Paths.h"

namespace {

struct SinkHolder {
    std::mutex mutex;
    SyslogSink sink;
};

SinkHolder& sinkHolder() {
    static SinkHolder holder;
    return holder;
}

std::atomic<bool> echoToStderr{false};

constexpr struct {
    const char* name;
    uint32_t number;
} kLevels[] = {{"debug", LOG_DEBUG}, {"info", LOG_INFO},  {"notice", LOG_NOTICE}, {"warning", LOG_WARNING},
               {"err", LOG_ERR},     {"crit", LOG_CRIT},  {"alert", LOG_ALERT},   {"emerg", LOG_EMERG}};

void echo(int priority, const char* text) {
    const char* level = "?";
    for (const auto& entry : kLevels) {
        if (static_cast<int>(entry.number) == (priority & LOG_PRIMASK)) level = entry.name;
    }
    // One write per record, so records of several threads do not interleave.
    std::string line = std::string("[") + level + "] " + text + "\n";
    std::fputs(line.c_str(), stderr);
}

}  // namespace

void setSyslogEchoToStderr(bool on) { echoToStderr = on; }

void setSyslogSinkForTesting(SyslogSink sink) {
    SinkHolder& holder = sinkHolder();
    std::lock_guard<std::mutex> lock(holder.mutex);
    holder.sink = std::move(sink);
}

void writeSyslog(int priority, const char* text) {
    if (echoToStderr) echo(priority, text);
    SinkHolder& holder = sinkHolder();
    {
        std::lock_guard<std::mutex> lock(holder.mutex);
        if (holder.sink) {
            holder.sink(priority, text);
            return;
        }
    }
    syslog(priority, "%s", text);
}

void logMessage(const uint32_t* threshold, int priority, const char* format, ...) {
    if (priority > static_cast<int32_t>(*threshold)) {
        return;
    }
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    writeSyslog(priority, buffer);
}

void parseLogLevel(uint32_t* level, const std::string& name) {
    uint32_t number = LOG_NOTICE;
    bool known = false;
    for (const auto& entry : kLevels) {
        if (name == entry.name) {
            number = entry.number;
            known = true;
            break;
        }
    }
    if (!known) {
        std::cerr << "Unknown log level: " << name << ". Defaulting to NOTICE." << std::endl;
    }
    *level = number;
    char text[1024];
    std::snprintf(text, sizeof(text), "server: Log level set to: %s", name.c_str());
    writeSyslog(LOG_NOTICE, text);
}

void readLogLevel(uint32_t* level) {
    const std::string path = paths::resolve(paths::kIecServerConf);
    std::string refusal;
    const auto entries = config::readFile(path, &refusal);
    writeSyslog(LOG_DEBUG, "readLogLevel: Using system path for configuration file.");
    if (!entries) {
        std::cerr << "Could not open configuration file!" << std::endl;
        if (refusal.empty()) {
            writeSyslog(LOG_ERR, "readLogLevel: Failed to open configuration file.");
        } else {
            writeSyslog(LOG_ERR, ("readLogLevel: Failed to open configuration file. " + path + " " + refusal).c_str());
        }
        return;
    }
    for (const auto& [key, value] : *entries) {
        if (key == "plim_log_level") {
            parseLogLevel(level, value);
            char text[1024];
            std::snprintf(text, sizeof(text), "readLogLevel: Set log level to '%s'", value.c_str());
            writeSyslog(LOG_INFO, text);
        }
    }
    std::cout << "readLogLevel loaded" << std::endl;
    writeSyslog(LOG_INFO, "readLogLevel: Configuration loaded successfully.");
}
