#include "console/options.h"

#include <cstdlib>
#include <cstring>

#include "masterlist/master_list.h"
#include "streams/output.h"

std::int32_t decimalValue(const char* text) {
    // strtol clamps where atoi's result is undefined; the cut to 32 bits then
    // matches what atoi gives on the platforms the server runs on.
    long long v = std::strtoll(text, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long long>(v)));
}

namespace {

void reportUnrecognized(const char* arg) {
    Line line;
    lineStart(line);
    lineAdd(line, "Command ");
    lineAdd(line, arg);
    lineAdd(line, " not recognized");
    lineWrite(line, Stream::Out);
}

}  // namespace

void scanOptions(int argc, const char* const* argv, StartOptions& options) {
    std::memset(options.name, 0, sizeof options.name);
    std::strcpy(options.name, "Kav server");
    options.port = 50505;
    options.maxPlayers = 4;
    options.onlylan = false;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool needsValue = std::strcmp(arg, "-maxplayers") == 0 || std::strcmp(arg, "-port") == 0 ||
                          std::strcmp(arg, "-name") == 0;
        if (std::strcmp(arg, "-onlylan") == 0) {
            options.onlylan = true;
        } else if (needsValue && i + 1 < argc) {
            const char* value = argv[++i];
            if (std::strcmp(arg, "-maxplayers") == 0) {
                options.maxPlayers = decimalValue(value);
            } else if (std::strcmp(arg, "-port") == 0) {
                options.port = decimalValue(value);
            } else {
                std::memset(options.name, 0, sizeof options.name);
                std::strncpy(options.name, value, sizeof options.name - 1);
            }
        } else {
            reportUnrecognized(arg);
        }
    }
}

namespace {

// Letters, digits, '-' and '.': what host names and IPv4 addresses are made
// of. Anything else would end up in the requests' Host line and path as it is.
bool isHostNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

}  // namespace

const char* chooseMasterHost(const char* fromEnvironment, const char* builtIn, bool report) {
    if (fromEnvironment == nullptr || fromEnvironment[0] == 0) return builtIn;
    constexpr std::size_t kLongest = sizeof MasterListState::host - 1;
    std::size_t len = std::strlen(fromEnvironment);
    Line line;
    lineStart(line);
    lineAdd(line, "GAMESERVER_MASTER_HOST ");
    if (len > kLongest) {
        lineAdd(line, "is too long (");
        lineAddUnsigned(line, len);
        lineAdd(line, " characters, at most ");
        lineAddUnsigned(line, kLongest);
        lineAdd(line, ")");
    } else {
        std::size_t bad = 0;
        while (bad < len && isHostNameCharacter(fromEnvironment[bad])) ++bad;
        if (bad == len) return fromEnvironment;
        lineAdd(line, "\"");
        lineAddClientText(line, fromEnvironment, len);
        lineAdd(line, "\" is no host name (character ");
        lineAddUnsigned(line, bad + 1);
        lineAdd(line, "; letters, digits, '-' and '.' only)");
    }
    lineAdd(line, ", the list host stays ");
    lineAdd(line, builtIn);
    lineAdd(line, ".");
    if (report) lineWrite(line, Stream::Err);
    return builtIn;
}
