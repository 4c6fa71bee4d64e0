#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/service/service_stop.h"

// POSIX service managers have their own stop command (systemctl stop NAME),
// which already waits.
void stopServiceIfAsked(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-stopservice") != 0) return;
    std::fputs("-stopservice stops a Windows service; here use the service manager's own stop "
               "(for example: systemctl stop gameserver)\n",
               stderr);
    std::exit(1);
}
