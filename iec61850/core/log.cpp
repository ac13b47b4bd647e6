// The library's log records and their handler.
#include "iec61850/core/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

void syslogHandler(int priority, const char* text) { syslog(priority, "%s", text); }

std::atomic<Iec61850LogHandler> logHandler{&syslogHandler};

}  // namespace

void Iec61850_setLogHandler(Iec61850LogHandler handler) {
    logHandler.store(handler != nullptr ? handler : &syslogHandler);
}

namespace iec61850 {

void iecLog(int priority, const char* format, ...) {
    char text[kLogRecordSize];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    logHandler.load()(priority, text);
}

}  // namespace iec61850
