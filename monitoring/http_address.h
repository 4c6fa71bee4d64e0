// The endpoint's address as an operator writes it: "host:port", the host an
// IPv4 address in dotted decimal (0.0.0.0: every local address) or
// "localhost".
#pragma once

#include <cstdint>

#include "platform/network/socket.h"

// False for anything else: no colon, an empty or non-decimal part, a number
// above 255 or 65535, a name other than localhost. A port of 0 lets the
// system choose one.
bool parseHttpAddress(const char* text, Ipv4Address& host, std::uint16_t& port);

// "a.b.c.d" into text (16 bytes at least).
void formatIpv4(const Ipv4Address& host, char* text);
