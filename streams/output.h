// Console lines. Every line is composed first and then handed whole to a
// bounded queue; one writer thread owns the process streams and writes the
// lines in order. No caller ever waits on a stream: a console paused with
// Ctrl+S or a pipe nobody reads must not hold up the game.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Stream { Out, Err };

struct Line {
    char text[2048];
    std::size_t len;
};

// The queue holds this many bytes of lines (each line costs its text, its
// line end and a 3-byte header). When a line does not fit it is dropped and
// counted; the count goes to standard error as
// "N lines of output were dropped." just before the next line that fits, or
// as soon as the queue is written out if no line comes first.
inline constexpr std::size_t kOutputQueueBytes = 1024 * 1024;
// At exit the queue gets this long to be written out.
inline constexpr int kOutputDrainMs = 2000;

void lineStart(Line& line);
void lineAdd(Line& line, const char* text);
void lineAddBytes(Line& line, const char* bytes, std::size_t n);
void lineAddInt(Line& line, long long value);
void lineAddUnsigned(Line& line, unsigned long long value);
// Text that came from a client, up to its first zero or maxLen bytes: control
// characters (below 0x20, and 0x7F) show as '?', so no client can start a
// console line of its own.
void lineAddClientText(Line& line, const char* text, std::size_t maxLen);
// Adds a line end and queues the line for the stream; returns at once.
void lineWrite(Line& line, Stream stream);

// Shorthand for a fixed text.
void writeLine(Stream stream, const char* text);

// Waits until every queued line is written, or timeoutMs has passed. True
// when the queue was written out. Meant for the end of the process.
bool drainOutput(int timeoutMs);

// For the upgrade in place. Queued lines are copied as records, as the queue
// keeps them: the stream (0 out, 1 error), the length (2 bytes, low first),
// the text with its line end; each copy returns their length, with the count
// of lost lines in *dropped.
// copyOutput: what is queued now, for a check; the writer goes on.
std::size_t copyOutput(std::uint8_t* area, std::size_t size, std::uint64_t* dropped);
// freezeOutput stops the writer after the batch it is writing, waiting at
// most waitMs for that batch (one left unwritten then counts as lost). Lines
// queued afterwards wait in the queue. snapshotOutput then copies what is
// queued for the switch; holdOutputForSwitch holds every other thread's line
// back until the process is replaced and returns the count of lines lost by
// then: those of the snapshot's count, and every line queued after it.
// releaseOutput undoes the hold where the switch failed, and thawOutput lets
// the writer go on (a failed upgrade; a new program once it serves).
void freezeOutput(int waitMs);
std::size_t snapshotOutput(std::uint8_t* area, std::size_t size, std::uint64_t* dropped);
std::uint64_t holdOutputForSwitch();
void releaseOutput();
void thawOutput();
// Puts records back into a new program's queue, before any line of its own
// that it writes after them: false, with nothing put back, when they are not
// whole records or do not fit.
bool restoreOutput(const std::uint8_t* records, std::size_t len, std::uint64_t dropped);
// Whether bytes are whole records as above, each ending its text with a line end.
bool outputRecordsValid(const std::uint8_t* records, std::size_t len);

// The lines the queue had no room for, since the server first started: for
// the metrics, read without waiting on the queue. An upgrade in place carries
// the total to the new program, which sets it before it serves.
std::uint64_t outputLinesDroppedTotal();
void setOutputLinesDroppedTotal(std::uint64_t n);

// Where the writer writes instead of the process streams (tests take the
// output this way). The sink is called on the writer thread with whole lines
// of one stream, line ends included, in the order the process streams would
// get them. Setting it waits until what is queued has gone to the sink before.
using OutputSink = void (*)(Stream stream, const char* text, std::size_t len, void* context);
void setOutputSink(OutputSink sink, void* context);
