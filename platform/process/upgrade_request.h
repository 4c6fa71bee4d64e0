// Upgrade requests on systems without SIGUSR2: from another window,
// "gameserver.exe -upgrade PORT" asks the server listening on PORT on this
// machine to take up the program now at its path; a service is also asked
// with its control code 128. POSIX systems take SIGUSR2 (stop_signal.h), and
// these report that they cannot.
#pragma once

// Where the command line is "-upgrade PORT", asks and ends the process: exit
// code 0 when a server on that port was asked, 1 otherwise, with a line that
// says which. Returns at once for any other command line.
void askForUpgradeIfAsked(int argc, char** argv);

// From now on an upgrade request for this port calls onRequest(context) on a
// thread of its own, one at a time. False where requests cannot be taken
// (the line that says why is the caller's).
bool takeUpgradeRequests(int port, void (*onRequest)(void*), void* context);
// The request the service manager delivers (control code 128): the same as
// one from another window.
void deliverUpgradeRequest();
// Forgets the requests that came while one was carried out.
void forgetWindowUpgradeRequests();
