#include "platform/service/service_notify.h"

// Windows services learn a program's state through the service control
// manager's own calls, which the server does not use: nothing to tell.
void notifyReady() {}
void notifyReloading() {}
void notifyStopping() {}
