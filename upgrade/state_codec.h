// The handover state as bytes: a header (magic, format, total length), then
// records, each a type (2 bytes), a length (4 bytes) and its fields,
// little-endian. A reader skips records of types it does not know and the
// bytes after the fields it knows, so a newer writer may add both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "upgrade/handover_state.h"

// Writes the state into area; the length, or 0 when it does not fit.
std::size_t encodeHandover(const HandoverState& state, std::uint8_t* area, std::size_t size);

// Sets the count of output lines lost in an encoded state: lines queued after
// it was made are lost at the switch, and counted there.
void patchOutputDropped(std::uint8_t* area, std::size_t len, std::uint64_t dropped);

// Reads a state, checking everything: false, with the reason in why, when the
// state as a whole cannot be used (not a state, a format this release does
// not read, no settings, cut short). Records that cannot be trusted are left
// out, with a line each in state.problems, and the sockets and IDs of refused
// clients in state.refused. What is kept then holds: IDs 1..255 and unique,
// sockets unique, lengths within their buffers, texts ended within their
// fields, the output queue's records whole, a host that is one of the clients
// or refused with them. Times are taken onto this process's monotonic clock.
bool decodeHandover(const std::uint8_t* data, std::size_t len, HandoverState& state, char* why, std::size_t whySize);
