// What the server tells a service manager that started it with NOTIFY_SOCKET
// set (systemd's Type=notify): when it serves, when it upgrades in place and
// when it stops. Nothing is sent where the variable is unset, and a manager
// that does not take the message never holds up or disturbs the server.
#pragma once

// The server listens: at start, and when an upgrade in place is done or failed.
void notifyReady();
// An upgrade in place has begun; notifyReady follows when it is over.
void notifyReloading();
// The server is stopping.
void notifyStopping();

// A server kept by another process of its own (kept_server.h) tells that
// process instead, which tells the manager: from now on each notice calls
// forward.
enum class Notice { Ready, Reloading, Stopping };
void forwardNotices(void (*forward)(Notice));
