#include "fleet/fleet_settings.h"

#include <cstdlib>
#include <cstring>

#include "streams/output.h"

namespace {

void reportBad(bool report, const char* variable, const char* value, const char* expected, const char* effect) {
    if (!report) return;
    Line line;
    lineStart(line);
    lineAdd(line, variable);
    lineAdd(line, " \"");
    lineAddClientText(line, value, std::strlen(value));
    lineAdd(line, "\" is not ");
    lineAdd(line, expected);
    lineAdd(line, ": ");
    lineAdd(line, effect);
    lineWrite(line, Stream::Err);
}

const char* variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != 0 ? value : nullptr;
}

}  // namespace

std::int64_t wholeNumberIn(const char* text, std::int64_t lowest, std::int64_t highest) {
    if (text == nullptr || text[0] == 0) return -1;
    std::int64_t value = 0;
    for (const char* p = text; *p != 0; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
        if (value > highest) return -1;
    }
    return value < lowest ? -1 : value;
}

FleetSettings readFleetSettings(bool report) {
    FleetSettings settings{};
    if (const char* drain = variable("GAMESERVER_DRAIN_SECONDS")) {
        std::int64_t seconds = wholeNumberIn(drain, 0, kMaxDrainSeconds);
        if (seconds < 0)
            reportBad(report, "GAMESERVER_DRAIN_SECONDS", drain, "a number of seconds from 0 to 86400",
                      "a stop ends the server at once.");
        else
            settings.drainSeconds = static_cast<std::int32_t>(seconds);
    }
    if (const char* address = variable("GAMESERVER_HTTP_ADDRESS")) {
        if (std::strlen(address) >= sizeof settings.httpAddress)
            reportBad(report, "GAMESERVER_HTTP_ADDRESS", address, "an address (too long)",
                      "no health and metrics endpoint.");
        else
            std::memcpy(settings.httpAddress, address, std::strlen(address) + 1);
    }
    if (const char* port = variable("AGONES_SDK_HTTP_PORT")) {
        std::int64_t value = wholeNumberIn(port, 1, 65535);
        if (value < 0)
            reportBad(report, "AGONES_SDK_HTTP_PORT", port, "a port from 1 to 65535", "the SDK is not spoken to.");
        else
            settings.agonesPort = static_cast<std::uint16_t>(value);
    }
    return settings;
}
