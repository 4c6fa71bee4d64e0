#include "server/protocol/server_chat.h"

#include <cstring>

#include "server/protocol/packets.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

void sayToAll(GameServer& server, const char* text, std::size_t len) {
    if (len > kChatTextSize) len = kChatTextSize;
    len = strnlen(text, len);
    if (len == 0) return;
    char field[kChatTextSize + 1] = {};
    std::memcpy(field, text, len);
    std::uint8_t packet[kChatTextLength];
    buildChatText(field, packet);
    {
        std::lock_guard<std::mutex> table(server.tableLock);
        for (auto& c : server.clients) queuePacket(server, c, packet);
    }
    // What a socket did not take waits for the network thread, which must
    // watch that socket for writing from now on.
    netWake(server.waker);
    Line line;
    lineStart(line);
    lineAdd(line, "Server: ");
    lineAddBytes(line, field, len);
    lineWrite(line, Stream::Out);
}
