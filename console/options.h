// The command line.
#pragma once

#include <cstdint>

struct StartOptions {
    char name[64];  // at most 63 characters; a longer value is cut
    std::int32_t port;
    std::int32_t maxPlayers;
    bool onlylan;
};

// Reads the arguments after the program's name. Anything that is not an
// option, and an option that lacks its value, is reported and skipped.
void scanOptions(int argc, const char* const* argv, StartOptions& options);

// The decimal value of a text as atoi reads it: leading blanks, a sign,
// digits up to the first non-digit; 0 without digits.
std::int32_t decimalValue(const char* text);

// The internet server list's host: the value of the environment variable
// GAMESERVER_MASTER_HOST where it names one, else builtIn. A value that is too
// long or holds a character no host name has is reported on standard error
// and builtIn holds (quietly where report is false: the start of a program
// that takes over from an upgrade, whose lines were printed at the first
// start); an empty or missing one is no setting at all.
const char* chooseMasterHost(const char* fromEnvironment, const char* builtIn, bool report = true);
