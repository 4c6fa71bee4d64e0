// The check's answer: the one line a program gives when an upgrade in
// place checks it, with the state formats it reads, its release and what it
// makes of the state it was given; written by the program checked, read by
// the server that checks it.
#pragma once

#include <string>

// The answer a program gives when it is checked, with what it makes of the
// state it was given:
//   "gameserver-handover formats 1,2 release 1.2.0 keeps 3 clients"
//   "gameserver-handover formats 1,2 release 1.2.0 refuses: <why>"
// and, asked without a state (by a release before the check read one), the
// formats and release alone.
inline constexpr const char* kProbeAnswerPrefix = "gameserver-handover formats ";

// What a checked program answers, or answered.
struct CheckAnswer {
    enum Kind {
        Keeps,     // it reads this format and would keep `kept` clients
        Refuses,   // it reads this format and refuses the state: why
        NoFormat,  // it does not read this format: why says which it reads
        Unknown,   // no answer a server gives (why shows it), or one that did not read the state
    } kind;
    unsigned kept;
    char why[256];
};
CheckAnswer readCheckAnswer(const char* answer);
// The answer line of this release, with the formats it reads: with a
// verdict on the state (Keeps or Refuses), or with none (Unknown) for a
// release that gave no state.
std::string checkAnswerLine(const char* release, const CheckAnswer& verdict);
