#include "console/commands.h"

#include <cstring>
#include <mutex>

#include "console/options.h"
#include "platform/network/socket.h"
#include "server/protocol/departures.h"
#include "server/protocol/server_chat.h"
#include "streams/output.h"

namespace {

// A command's number: the two characters after its blank, read as atoi does.
std::int32_t commandNumber(const std::string& line, std::size_t start) {
    std::string digits = line.size() > start ? line.substr(start, 2) : std::string();
    return decimalValue(digits.c_str());
}

void printHelp() {
    static const char* const kHelp[] = {
        "",
        "Runtime commands:",
        "help\t\t\t\tthis help",
        "maxplayers x\t\t\tset maximum number of players to x",
        "players\t\t\t\tdisplay list of connected players and their IDs",
        "say x\t\t\t\tsend text x to all players",
        "kick x\t\t\t\tkick player with ID x",
        "exit\t\t\t\tend program",
        "",
        "Start parameters:",
        "-onlylan\t\t\tdon't list server on internet server list",
        "-maxplayers x\t\t\tset maximum number of players to x",
        "-port x\t\t\t\tset server port to x",
        "-name x\t\t\t\tset server name to x",
    };
    for (const char* text : kHelp) writeLine(Stream::Out, text);
}

void setMaxPlayers(GameServer& server, std::int32_t value) {
    if (value <= 0) return;
    server.maxPlayers = static_cast<std::uint8_t>(value > 63 ? 63 : value);
    Line line;
    lineStart(line);
    lineAdd(line, "Maxplayers set to ");
    lineAddInt(line, server.maxPlayers.load());
    lineWrite(line, Stream::Out);
}

void listPlayers(GameServer& server) {
    std::lock_guard<std::mutex> table(server.tableLock);
    if (server.clients.empty()) {
        writeLine(Stream::Out, "No players connected");
        return;
    }
    writeLine(Stream::Out, "");
    writeLine(Stream::Out, "ID\tName");
    writeLine(Stream::Out, "-------------------------------");
    for (const auto& c : server.clients) {
        Line line;
        lineStart(line);
        lineAddInt(line, c.id);
        lineAdd(line, "\t");
        lineAddClientText(line, c.name, sizeof c.name);
        lineWrite(line, Stream::Out);
    }
}

}  // namespace

bool handleConsoleLine(GameServer& server, const std::string& line) {
    if (line.starts_with("help")) {
        printHelp();
    } else if (line.starts_with("maxplayers ")) {
        setMaxPlayers(server, commandNumber(line, 11));
    } else if (line.starts_with("players")) {
        listPlayers(server);
    } else if (line.starts_with("say ")) {
        sayToAll(server, line.c_str() + 4, line.size() - 4);
    } else if (line.starts_with("kick ")) {
        std::int32_t id = commandNumber(line, 5);
        if (id >= 1 && id <= 255) {
            std::lock_guard<std::mutex> table(server.tableLock);
            if (requestKick(server, static_cast<std::uint8_t>(id))) netWake(server.waker);
        }
    } else if (line.starts_with("exit")) {
        return false;
    } else if (!line.empty()) {
        writeLine(Stream::Out, "Unknown command, type 'help' to get list of supported commands.");
    }
    return true;
}
