// Standard input, read with the operating system's own calls. The C and C++
// streams may take the output streams' locks before they read (a tied stream
// flushes first; a read from a terminal flushes standard output), and those
// locks are held by the output writer while a console nobody reads holds it
// up: every command after the first would wait for the console.
#pragma once

#include <cstddef>

// Waits until standard input has something to read (or has ended), so that
// the read after it does not wait. Where the platform cannot tell, it returns
// at once and the read waits instead.
void waitForStandardInput();

// Up to len bytes as they come, waiting for at least one; line ends read as
// '\n' on every platform. 0 once input has ended, -1 on a failure.
long readStandardInput(char* buf, std::size_t len);
