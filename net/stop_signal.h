// The operating system's requests to stop the process (Ctrl+C, a termination
// request) arrive here.
#pragma once

// From now on such a request calls onStop(context), on a thread of its own.
// Call it before starting any other thread, so that every thread leaves the
// requests to that one. Also keeps a closed console (standard output going
// to a pipe whose reader ended) from ending the process, a click into a
// console window from holding up the server's output, and a console input
// handed over non-blocking from reading as ended.
bool watchStopSignals(void (*onStop)(void*), void* context);

// Ends the process at once with this exit code, without flushing or closing
// the C streams: a writer thread blocked on a console nobody reads holds
// their locks, and a clean exit would wait for it for ever.
[[noreturn]] void endProcess(int code);
