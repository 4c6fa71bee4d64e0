// The keeper: on a system that cannot replace a running program (Windows),
// the process the operator or the service manager starts keeps the server in
// a process of its own, so that an upgrade can hand everything to a new
// process and the one started stays: it keeps the console, the service's
// status and the exit code for the server's whole life. It passes the
// console's input on to the server it keeps, the server's output to its own,
// and the stop requests it gets; an upgrade request starts the new program
// and passes the state between the two servers (keeper_switch.cpp).
//
// The keeper runs the program it was started from only once: a new release's
// keeper takes effect at the next full start.
#pragma once

// Keeps servers started with these arguments until the one serving ends, and
// ends the process with its exit code. Returns only where no server process
// could be started, after a line that says why: the caller then serves in
// this process, without upgrades.
void keepServers(int argc, char** argv);
