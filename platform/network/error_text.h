// Readable socket error lines: "<prefix>: <text> (<code>)".
#pragma once

// Code 0 stands for the calling thread's last socket error. The result lives
// in a 256-byte area of the calling thread, valid until that thread's next
// call; a line longer than 255 characters is cut there.
const char* socketErrorMessage(int code, const char* prefix);
