// Running under the operating system's service manager. Service mode is asked
// for with a marker that the console program never sees: "-service NAME" as
// the first two arguments. Without it nothing changes; where the platform has
// no such manager the marker is not looked for at all.
#pragma once

// Where the command line starts with the marker, runs serve with the other
// arguments (argv[0] first) as the service NAME, and does not return: the
// process ends through endProcess, which tells the manager. Otherwise
// returns at once and the caller serves as a console program.
void runAsServiceIfAsked(int argc, char** argv, int (*serve)(int argc, char** argv));
