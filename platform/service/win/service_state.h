// What the Windows files of the platform layer share about service mode:
// service_win.cpp owns the service's status, service_log_win.cpp its log,
// stop_signal_win.cpp takes its stop requests, console_input_win.cpp reads
// its console from a named pipe.
#pragma once

#include "platform/process/stop_signal.h"

// Whether the process runs as a service, and as which one (empty if not).
bool inServiceMode();
const wchar_t* serviceName();

// Tells the manager the service's state (a SERVICE_* state); exitCode counts
// only for SERVICE_STOPPED. Nothing where the process is no service.
void reportServiceState(unsigned long state, int exitCode);
// Tells the manager once more that the stop goes on, with the next
// checkpoint; false once the state is no longer a pending stop.
bool reportStopStillPending();

// A stop the manager asked for, delivered as a stop signal would be; waits
// on the caller's thread until the server takes stop requests.
void deliverStopRequest(StopRequest request);

// Sends the output queue's lines to the service's own log file from now on.
void startServiceLog(const wchar_t* name);
