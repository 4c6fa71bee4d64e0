// Telling a service manager (systemd, through $NOTIFY_SOCKET) what the server
// is doing. Nothing happens where no service manager listens.
#pragma once

void notifyReady();      // listening, after a start or an upgrade
void notifyReloading();  // an upgrade has begun
void notifyStopping();   // a stop has begun
