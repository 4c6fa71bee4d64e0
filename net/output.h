// Console lines. Every line is composed first and then written whole, with a
// flush, so lines of different threads never mix inside one line.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Stream { Out, Err };

struct Line {
    char text[2048];
    std::size_t len;
};

void lineStart(Line& line);
void lineAdd(Line& line, const char* text);
void lineAddBytes(Line& line, const char* bytes, std::size_t n);
void lineAddInt(Line& line, long long value);
void lineAddUnsigned(Line& line, unsigned long long value);
// Text that came from a client, up to its first zero or maxLen bytes: control
// characters (below 0x20, and 0x7F) show as '?', so no client can start a
// console line of its own.
void lineAddClientText(Line& line, const char* text, std::size_t maxLen);
// Writes the line and a line end to the stream, and flushes it.
void lineWrite(Line& line, Stream stream);

// Shorthand for a fixed text.
void writeLine(Stream stream, const char* text);

// Tests can take the output instead of the process streams. The sink gets each
// whole line, line end included.
using OutputSink = void (*)(Stream stream, const char* text, std::size_t len, void* context);
void setOutputSink(OutputSink sink, void* context);
