// The operating system's requests to stop the process (Ctrl+C, a termination
// request) arrive here.
#pragma once

// The first thing the process does: from now on the stop and upgrade
// requests wait for watchStopSignals instead of ending the process, and every
// thread started later leaves them to the one thread that takes them. (On
// POSIX systems SIGINT, SIGTERM and SIGUSR2 are blocked; they stay blocked
// across an upgrade's replacement, so one that comes meanwhile is not lost.)
// Also keeps a closed console (standard output going to a pipe whose reader
// ended) from ending the process, and a console input handed over
// non-blocking from reading as ended.
void holdControlSignals();

// What a stop request asks for: an interrupt (Ctrl+C, the close of the
// console window) stops at once; a termination (SIGTERM, Ctrl+Break), as
// service managers and orchestrators send it, may drain first.
enum class StopRequest { Interrupt, Terminate };

// From now on a stop request calls onStop(context, request), and an upgrade
// request (SIGUSR2, where there is one) onUpgrade(context), one at a time on
// a thread of their own. onStop returns where it only began a drain; the next
// request calls it again. Also keeps a click into a console window from
// holding up the server's output.
bool watchStopSignals(void (*onStop)(void*, StopRequest), void (*onUpgrade)(void*), void* context);

// Forgets the upgrade requests that came while one was carried out: they were
// that one. Called before its outcome is told, so that a request made after
// that counts anew.
void forgetUpgradeRequests();

// Ends the process at once with this exit code, without flushing or closing
// the C streams: a writer thread blocked on a console nobody reads holds
// their locks, and a clean exit would wait for it for ever.
[[noreturn]] void endProcess(int code);
