// The port players reach a lobby on, read from the orchestrator's record of
// the game server: status.ports[], the one named "default" or else the first.
// A scan that tolerates what it does not know rather than a JSON parser: the
// record has many fields, and the server needs one number of it.
#pragma once

#include <cstddef>
#include <cstdint>

// The port, or -1 where the record names none (no status, no ports, no
// number from 1 to 65535).
std::int32_t publicPortIn(const char* json, std::size_t len);
