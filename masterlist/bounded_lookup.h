// A name lookup with a time limit. The resolver of the platform may wait far
// longer than the list is worth (a name server that never answers), and it
// cannot be interrupted; so the lookup runs on a thread of its own, and a
// result that comes too late is thrown away when it comes.
#pragma once

#include "platform/network/socket.h"

// Up to maxAddrs (at most 16) IPv4 addresses of host, as netResolveIpv4
// gives them, or -1 when the name does not resolve within waitMs.
int resolveWithin(const char* host, Ipv4Address* addrs, int maxAddrs, int waitMs);
