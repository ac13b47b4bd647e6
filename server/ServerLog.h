#pragma once
// The log threshold of the server core (5, then "plim_log_level"), and the
// local time as the server's log lines show it.

#include <cstdint>
#include <string>

extern uint32_t serverLogLevel;

// The current local time in the form of ctime ("Thu Jan  1 00:00:00 2026\n").
std::string localTimeText();
