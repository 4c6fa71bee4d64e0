// POSIX servers take their upgrade requests as SIGUSR2 (stop_signal.h).
#include "platform/process/upgrade_request.h"

void askForUpgradeIfAsked(int, char**) {}
bool takeUpgradeRequests(int, void (*)(void*), void*) { return false; }
void deliverUpgradeRequest() {}
void forgetWindowUpgradeRequests() {}
