// The handover state as bytes: a header (magic, format, total length), then
// records, each a type (2 bytes), a length (4 bytes) and its fields,
// little-endian. A reader skips records of types it does not know and the
// bytes after the fields it knows, so a newer writer may add both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "upgrade/handover_state.h"

// The probe's answer of a release that reads this format:
// "gameserver-handover formats 1 release 1.1.0".
inline constexpr const char* kProbeAnswerPrefix = "gameserver-handover formats ";

// Writes the state into area; the length, or 0 when it does not fit.
std::size_t encodeHandover(const HandoverState& state, std::uint8_t* area, std::size_t size);

// Reads a state, checking everything: false, with the reason in why, when the
// state as a whole cannot be used (not a state, another format, no settings,
// cut short). Records that cannot be trusted are left out, with a line each
// in state.problems, and the sockets of refused clients in
// state.refusedSockets. What is kept then holds: IDs 1..255 and unique,
// sockets unique, lengths within their buffers, texts ended within their
// fields, the output queue's records whole.
bool decodeHandover(const std::uint8_t* data, std::size_t len, HandoverState& state, char* why, std::size_t whySize);

// Whether the answer of a probed program says that it reads this format; if
// not, why says what it answered.
bool probeAnswerAccepts(const char* answer, char* why, std::size_t whySize);
