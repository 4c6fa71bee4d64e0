// The console's input: what was read from standard input and not yet handed
// out as lines.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

// The console thread holds lock from each read until the commands of the
// lines it completed are done, and never while it waits for input. So whoever
// else takes the lock (an upgrade) finds the console between two commands,
// with every byte read either handed out and done, or in pending.
struct ConsoleReader {
    std::mutex lock;
    std::string pending;  // read, not yet handed out: lines, and a line not yet ended
    bool ended = false;   // standard input has ended
    // The start of the line under way was left out (an upgrade carries no
    // more than it can): the rest of it is no command and is passed over.
    bool skipToLineEnd = false;
};

// With the lock held: the next line, without its line end. Once input has
// ended, a last line without a line end counts too.
bool takeConsoleLine(ConsoleReader& reader, std::string& line);
// Waits for input without the lock, then reads it under the lock into
// pending; marks the input ended when it ends or fails.
void readConsoleInput(ConsoleReader& reader);

// With the lock held: the unread input as much of it as `limit` bytes carry to
// the program that takes over in an upgrade. A line to be passed over is left
// out first, then whole lines beyond the limit; *leftOut counts the bytes left
// out, and *skip tells whether the rest of the line under way is to be passed
// over (its start was left out).
std::string_view inputToCarry(const ConsoleReader& reader, std::size_t limit, std::size_t* leftOut, bool* skip);
