// Operator lines on the console, with clients in the table: each line is
// handled as typed (the console loop stops at "exit"; here the next line
// just follows).
#include <string>

#include "console/commands.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto server = fuzz::newServer(4);
    std::uint32_t nextSocket = 0;
    for (int i = 0; i < 3; ++i) fuzz::connectClient(*server, nextSocket);
    server->clients[0].isHost = 1;
    server->hostId = server->clients[0].id;
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        handleConsoleLine(*server, input.substr(start, end - start));
        fuzz::checkTable(*server);
        FUZZ_CHECK(server->maxPlayers.load() >= 1 && server->maxPlayers.load() <= 63);
        fuzz::deliverAll(*server);
        start = end + 1;
    }
    return 0;
}
