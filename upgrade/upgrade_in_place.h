// The upgrade in place, as the running server carries it out: on SIGUSR2 it
// goes on as the program that now stands at the path it was started from,
// with the same process ID and console, every connection and the lobby. The
// program is opened once; that file is checked with the state as it stands,
// and that file is run. The program running now travels with the state, to be
// handed back to should the new one fail before it serves (take_over.h).
#pragma once

#include "server/game_server.h"
#include <cstdint>
#include <string>

#include "server/counters.h"
#include "streams/console_reader.h"
#include "upgrade/handover_state.h"

// Makes sure the new program can take over, then hands everything to it: the
// server (onlylan: it stays off the list) and the console's unread input.
// Returns only when it could not, after one line on standard error that says
// why; the server then serves on as before. On the signal thread.
void upgradeInPlace(GameServer& server, ConsoleReader& console, bool onlylan);

// Shared with the hand-over to another process (hand_over.h):
// "Upgrade failed: WHY; the server serves on.", counted, and the requests
// that came meanwhile forgotten.
void reportUpgradeFailure(GameServer& server, const std::string& why,
                          Counter counter = Counter::UpgradesFailedCheck);
// The state and its bytes (kHandoverMaxBytes), made at the first upgrade and
// kept for the next.
HandoverState& handoverState();
std::uint8_t* handoverArea();
// With the console's, the table's and the send lock held: the state as it
// stands, the output copied (for a check) or taken from the frozen queue
// (for the switch).
void captureAll(GameServer& server, const ConsoleReader& console, bool onlylan, HandoverState& state,
                bool forSwitch);
