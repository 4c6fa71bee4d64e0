// What the POSIX files of the upgrade in place share: the environment's
// names of what a server hands on, the command line kept at start, and small
// helpers on descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace process_support {

// The environment's names of what a server hands on: the state and the old
// program, to the program that takes over; the answer's pipe and the state to
// read, to a program checked; why an upgrade failed, to the old program run
// again.
inline constexpr const char* kStateVariable = "GAMESERVER_HANDOVER_FD";
inline constexpr const char* kFallbackVariable = "GAMESERVER_HANDOVER_FALLBACK";
inline constexpr const char* kProbeVariable = "GAMESERVER_HANDOVER_PROBE";
inline constexpr const char* kCheckVariable = "GAMESERVER_HANDOVER_CHECK";
inline constexpr const char* kHandBackVariable = "GAMESERVER_HANDBACK";
// The name of the memory file that holds a state; a reader checks it.
inline constexpr const char* kStateFileName = "gameserver-state";

// The command line as main got it.
char** savedArgv();

bool startsWith(const char* text, const char* prefix);
void setCloseOnExec(int fd, bool on);
void putText(char* area, std::size_t size, const std::string& text);

// This process's environment without any of the variables above, with
// `extra` entries added, and (forProbe) without the service manager's socket,
// which a check must not get. The pointers are the environment's own and
// those of `extra`, which must outlive the result.
std::vector<char*> environmentWith(std::vector<std::string>& extra, bool forProbe);

// A descriptor number as the environment gives it: digits only, from 3 up
// (0 to 2 are the console), or -1.
int descriptorNumber(const char* text);

// A memory file holding the state, sealed against writes, growth and
// shrinking; close-on-exec. -1 with the reason in why.
int sealedStateFile(const std::uint8_t* state, std::size_t len, char* why, std::size_t whySize);
// Reads `want` bytes of a file from its start into area: the count read.
std::size_t readWhole(int fd, std::uint8_t* area, std::size_t want);
// Whether a descriptor is a sealed memory file a server made for a state;
// why says what it is instead.
bool isStateFile(int fd, bool* sealed, std::string& why);

}  // namespace process_support
