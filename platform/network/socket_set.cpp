// The socket sets of socket.h: plain arrays, the same on every platform.
#include "platform/network/socket.h"

#include <cstring>

void socketSetClear(SocketSet& set) { set.count = 0; }

void socketSetAdd(SocketSet& set, Socket s) {
    if (socketSetHas(set, s) || set.count >= kSocketSetSize) return;
    set.slots[set.count++] = s;
}

void socketSetRemove(SocketSet& set, Socket s) {
    for (std::uint32_t i = 0; i < set.count; ++i) {
        if (set.slots[i] == s) {
            std::memmove(&set.slots[i], &set.slots[i + 1], (set.count - i - 1) * sizeof(Socket));
            --set.count;
            return;
        }
    }
}

bool socketSetHas(const SocketSet& set, Socket s) {
    for (std::uint32_t i = 0; i < set.count && i < kSocketSetSize; ++i)
        if (set.slots[i] == s) return true;
    return false;
}
