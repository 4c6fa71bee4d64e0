// Stopping a service of the system's service manager and waiting until it
// has stopped, for installers and scripts that must not go on while the
// server still runs: "-stopservice NAME" as the first two arguments.
#pragma once

// Where the command line starts with "-stopservice", stops the named service,
// waits until the manager reports it stopped, says so on standard output and
// ends the process: exit code 0 once it is stopped (or where no such service
// is installed), 1 with a message on standard error where it could not be
// stopped in time or the name is missing. Otherwise returns at once.
void stopServiceIfAsked(int argc, char** argv);
