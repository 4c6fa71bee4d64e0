#include "net/service_notify.h"

void notifyReady() {}
void notifyReloading() {}
void notifyStopping() {}
