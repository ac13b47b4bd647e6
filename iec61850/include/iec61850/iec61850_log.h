#pragma once
// Where the library's log records go. By default each record is handed to
// syslog with its priority; an application that filters or redirects its
// records installs a handler of its own.

// priority: a syslog priority (LOG_ERR .. LOG_DEBUG); text: the formatted
// record, valid only during the call. The handler may run on any thread that
// calls into the library, mostly the one that processes incoming data.
using Iec61850LogHandler = void (*)(int priority, const char* text);

// Installs the handler for every later record; nullptr restores the default
// (syslog). Safe from any thread.
void Iec61850_setLogHandler(Iec61850LogHandler handler);
