// The server's log level is read while static objects are being made. This
// program links server/ServerLog.cpp as its first unit, so that initializer
// runs before any other unit's; without a configuration file it reports on
// standard error. The program must start and end normally.
#include <cstdint>

#include "server/ServerLog.h"

int main() { return serverLogLevel == 5 ? 0 : 1; }
