#include "platform/service/service_notify.h"

#include "platform/service/win/service_state.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// A console program has no manager to tell; a service tells the service
// control manager (nothing is sent outside service mode). An upgrade in
// place does not exist on Windows; a kept server tells its keeper.
namespace {
void (*gForward)(Notice) = nullptr;
}

void forwardNotices(void (*forward)(Notice)) { gForward = forward; }

void notifyReady() {
    if (gForward) return gForward(Notice::Ready);
    reportServiceState(SERVICE_RUNNING, 0);
}
void notifyReloading() {
    if (gForward) gForward(Notice::Reloading);
}
void notifyStopping() {
    if (gForward) return gForward(Notice::Stopping);
    reportServiceState(SERVICE_STOP_PENDING, 0);
}
