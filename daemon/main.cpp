// Process entry of the IEC 61850 server daemon.
#include <syslog.h>

#include <csignal>
#include <cstring>
#include <iostream>

#include "server/IecServer.h"
#include "foundation/Logging.h"
#include "server/ServerConfig.h"
#include "server/ServerLog.h"

int main(int argc, char** argv) {
    // A peer that closes its socket must not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);

    // In debug mode the records are on standard error too: a machine
    // without a syslog daemon would lose them.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--debug") == 0) setSyslogEchoToStderr(true);
    }

    openlog("IecServerLog", LOG_PID, LOG_USER);
    writeSyslog(LOG_NOTICE, "server: -----------------------------------------------");
    writeSyslog(LOG_NOTICE, "server: IEC Server start");

    IecServer server;
    server.interfaceFactory = InterfaceFactory::production();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--debug") == 0) {
            server.debugMode = true;
            std::cout << "Debug mode enabled" << std::endl << std::endl << "IEC Server start" << std::endl << std::endl;
            break;
        }
    }

    try {
        server.loadConfig();
        server.initIecServer();
        server.initInterfaces();
        server.run();
    } catch (const StartupError& e) {
        if (*e.what() != '\0') {
            std::cerr << e.what() << std::endl;
            logMessage(&serverLogLevel, LOG_ERR, "server: %s", e.what());
        }
        return e.exitCode();
    }
    std::cout << "finish" << std::endl;
    return 0;
}
