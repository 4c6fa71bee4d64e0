// What a fleet's operator switches on through the environment, as the list
// host is set: a draining stop, the health and metrics endpoint, and the
// orchestrator's game-server SDK. Each is off where its variable is unset.
#pragma once

#include <cstdint>

// The longest drain that can be asked for.
inline constexpr std::int32_t kMaxDrainSeconds = 24 * 60 * 60;

struct FleetSettings {
    std::int32_t drainSeconds;  // GAMESERVER_DRAIN_SECONDS; 0: a stop ends the server at once
    char httpAddress[64];       // GAMESERVER_HTTP_ADDRESS, "host:port"; empty: no endpoint
    std::uint16_t agonesPort;   // AGONES_SDK_HTTP_PORT; 0: no SDK
};

// Reads the three variables. A value that cannot be used is reported on
// standard error (where report is true) and that feature stays off.
FleetSettings readFleetSettings(bool report);

// The value of a whole decimal number from lowest to highest, or -1 where the
// text is anything else (empty, a sign, a blank, a letter, too large).
std::int64_t wholeNumberIn(const char* text, std::int64_t lowest, std::int64_t highest);
