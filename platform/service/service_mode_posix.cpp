#include "platform/service/service_mode.h"

// POSIX service managers start the console program itself (systemd's
// notifications are in service_notify_posix.cpp): no service mode.
void runAsServiceIfAsked(int, char**, int (*)(int, char**)) {}
