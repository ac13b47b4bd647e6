#pragma once
// Logging through syslog with a per-component threshold word, and the
// reading of that threshold from "plim_log_level" of IECServer.conf.

#include <cstdint>
#include <functional>
#include <string>

// Drops the record when priority > *threshold; otherwise formats it into a
// 1024-byte buffer (longer text is cut) and hands it to syslog with "%s".
void logMessage(const uint32_t* threshold, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Maps a level name ("emerg".."debug") to its number; any other name gives 5.
void parseLogLevel(uint32_t* level, const std::string& name);

// Reads "plim_log_level" from "/etc/iec/config/IECServer.conf" (always that
// path). The caller sets *level to 5 first; it stays when nothing is found.
void readLogLevel(uint32_t* level);

// Every record of the process reaches syslog through here, so tests can
// capture records without a syslog daemon.
void writeSyslog(int priority, const char* text);

// Debug mode: every record also goes to standard error, as "[<level>] <text>",
// so a machine without a syslog daemon still shows it.
void setSyslogEchoToStderr(bool on);

using SyslogSink = std::function<void(int priority, const std::string& text)>;
// Replaces the syslog call by the sink (an empty sink restores syslog).
void setSyslogSinkForTesting(SyslogSink sink);
