// The hand-back: a program that an upgrade in place started, and that fails
// before it serves, runs the program it replaced again in the same process,
// with the state and the sockets it was given, untouched. Only POSIX systems
// can do this; on Windows nothing is armed.
//
// From armHandBack until disarmHandBack these hand back: a crash (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT, a failed allocation included), the time
// limit running out, and handBack called by the program itself (a state it
// refuses). What SIGKILL, the system's out-of-memory killer or a crash of the
// program run again does cannot be handed back.
#pragma once

// In a program an upgrade started: arms the hand-back when the old program
// came with the state (the environment names both). `failed` names this
// program in the reason, as in "/usr/bin/gameserver (release 1.2.0)". True
// when armed; false where there is nothing to hand back to (a line says why
// where the environment names something that is no program).
bool armHandBack(const char* failed, int limitSeconds);
// Hands back now, with the reason after `failed` (say "refused the state:
// ..."). Returns only when the old program could not be run again, after a
// line on standard error: nothing is armed any more, and the caller goes on
// as a program that cannot hand back.
void handBack(const char* reason);
// Whether a failure would hand back now.
bool handBackArmed();
// Gives the calling thread a stack of its own for the crash signals, so that
// a stack overflow on it still hands back. Every thread that may run while
// the hand-back is armed calls it first; the main thread's comes with
// armHandBack.
void giveThreadCrashStack();
// The new program serves: nothing is handed back any more, and the old
// program's file closes. Also in a process where nothing was armed.
void disarmHandBack();

// In the old program, run again by a hand-back: why the upgrade failed, as
// the program that failed put it, or nullptr. The variable is removed.
const char* takeHandBackReason();
