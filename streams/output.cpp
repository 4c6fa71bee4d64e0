#include "streams/output.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/process/hand_back.h"

namespace {

// Each queued line: the stream (1 byte), the length (2 bytes, low first),
// then the text with its line end. Records may wrap around the ring's end.
constexpr std::size_t kHeaderBytes = 3;
// The writer takes consecutive lines of one stream in batches up to this
// size and writes each batch with one write and one flush. A pipe takes a
// write this small whole or not at all, so a batch a stalled console holds
// up is either written or not when an upgrade replaces the program.
constexpr std::size_t kBatchBytes = 4096;
// A queued line is at most a Line's text with its line end.
constexpr std::size_t kLongestLine = sizeof(Line::text);

// Never destroyed: the writer waits on them until the process ends, also
// in a process that ends through exit and its destructors.
std::mutex& gLock = *new std::mutex;
std::condition_variable& gQueued = *new std::condition_variable;   // a line was queued
std::condition_variable& gWritten = *new std::condition_variable;  // a batch was written
char gRing[kOutputQueueBytes];
std::size_t gHead = 0;  // bytes taken out so far (the ring index is modulo its size)
std::size_t gTail = 0;  // bytes put in so far
bool gWriting = false;  // the writer holds a batch it has not finished writing
std::size_t gWritingLines = 0;  // the lines in that batch
bool gFrozen = false;   // an upgrade holds the writer: nothing more is written
std::size_t gHeldLines = 0;  // lines of a batch held up at the freeze, counted as lost
unsigned long long gDropped = 0;
// Every line the queue had no room for since the server first started (an
// upgrade carries it): the metrics read it without the queue's lock.
std::atomic<std::uint64_t> gDroppedTotal{0};
std::once_flag gWriterStarted;
OutputSink gSink = nullptr;
void* gSinkContext = nullptr;

std::size_t used() { return gTail - gHead; }

void ringPut(const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    std::size_t at = gTail % kOutputQueueBytes;
    std::size_t first = n < kOutputQueueBytes - at ? n : kOutputQueueBytes - at;
    std::memcpy(gRing + at, p, first);
    std::memcpy(gRing, p + first, n - first);
    gTail += n;
}

void ringPeek(std::size_t offset, void* out, std::size_t n) {
    char* p = static_cast<char*>(out);
    std::size_t at = (gHead + offset) % kOutputQueueBytes;
    std::size_t first = n < kOutputQueueBytes - at ? n : kOutputQueueBytes - at;
    std::memcpy(p, gRing + at, first);
    std::memcpy(p + first, gRing, n - first);
}

std::size_t recordBytes(std::size_t textLen) { return kHeaderBytes + textLen; }

void putRecord(Stream stream, const char* text, std::size_t len) {
    unsigned char header[kHeaderBytes] = {static_cast<unsigned char>(stream == Stream::Out ? 0 : 1),
                                          static_cast<unsigned char>(len & 0xFF),
                                          static_cast<unsigned char>(len >> 8)};
    ringPut(header, sizeof header);
    ringPut(text, len);
}

[[noreturn]] void writerLoop();

// With gLock held: the writer thread runs and knows that a line waits.
void signalWriter() {
    std::call_once(gWriterStarted, [] { std::thread(writerLoop).detach(); });
    gQueued.notify_one();
}

// With gLock held: queues the count of the lines dropped so far, if there are
// any, provided that it fits with room for `after` more bytes behind it. False
// while the count is owed and does not fit.
bool queueDropReport(std::size_t after) {
    if (gDropped == 0) return true;
    char report[64];
    int n = std::snprintf(report, sizeof report, "%llu lines of output were dropped.\n", gDropped);
    std::size_t len = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (used() + recordBytes(len) + after > kOutputQueueBytes) return false;
    putRecord(Stream::Err, report, len);
    gDropped = 0;
    return true;
}

// With gLock held: queues the line, after the report of the lines dropped
// before it, or counts it as dropped when the two do not fit.
void enqueue(Stream stream, const char* text, std::size_t len) {
    std::size_t need = recordBytes(len);
    // While an upgrade holds the writer, the count of lost lines travels as
    // a number, not as a line among those it carries.
    if (!(gFrozen || queueDropReport(need)) || used() + need > kOutputQueueBytes) {
        ++gDropped;
        gDroppedTotal.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    putRecord(stream, text, len);
    signalWriter();
}

[[noreturn]] void writerLoop() {
    // The writer may start while a program that takes over can still hand
    // back: a stack overflow on it hands back too.
    giveThreadCrashStack();
    static char batch[kBatchBytes];
    std::unique_lock<std::mutex> guard(gLock);
    for (;;) {
        gQueued.wait(guard, [] { return used() > 0 && !gFrozen; });
        unsigned char header[kHeaderBytes];
        ringPeek(0, header, sizeof header);
        const unsigned char stream = header[0];
        std::size_t n = 0, lines = 0;
        while (used() > 0) {
            ringPeek(0, header, sizeof header);
            std::size_t len = header[1] | static_cast<std::size_t>(header[2]) << 8;
            if (header[0] != stream || n + len > sizeof batch) break;
            ringPeek(kHeaderBytes, batch + n, len);
            gHead += recordBytes(len);
            n += len;
            ++lines;
        }
        gWriting = true;
        gWritingLines = lines;
        OutputSink sink = gSink;
        void* context = gSinkContext;
        guard.unlock();
        if (sink) {
            sink(stream == 0 ? Stream::Out : Stream::Err, batch, n, context);
        } else {
            std::FILE* f = stream == 0 ? stdout : stderr;
            // A stream that fails (a closed console) loses the batch; the
            // server goes on.
            std::fwrite(batch, 1, n, f);
            std::fflush(f);
        }
        guard.lock();
        gWriting = false;
        if (used() == 0 && gDropped > 0 && !gFrozen) {
            // Output flows again and nothing is waiting: the count need not
            // wait for the next line.
            queueDropReport(0);
        }
        gWritten.notify_all();
    }
}

}  // namespace

void lineStart(Line& line) { line.len = 0; }

void lineAddBytes(Line& line, const char* bytes, std::size_t n) {
    std::size_t room = sizeof line.text - 1 - line.len;  // one byte stays for the line end
    if (n > room) n = room;
    std::memcpy(line.text + line.len, bytes, n);
    line.len += n;
}

void lineAdd(Line& line, const char* text) { lineAddBytes(line, text, std::strlen(text)); }

void lineAddInt(Line& line, long long value) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%lld", value);
    lineAddBytes(line, buf, static_cast<std::size_t>(n));
}

void lineAddUnsigned(Line& line, unsigned long long value) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%llu", value);
    lineAddBytes(line, buf, static_cast<std::size_t>(n));
}

void lineAddClientText(Line& line, const char* text, std::size_t maxLen) {
    for (std::size_t i = 0; i < maxLen && text[i] != 0; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char shown = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
        lineAddBytes(line, &shown, 1);
    }
}

void lineWrite(Line& line, Stream stream) {
    line.text[line.len] = '\n';
    std::lock_guard<std::mutex> guard(gLock);
    enqueue(stream, line.text, line.len + 1);
}

void writeLine(Stream stream, const char* text) {
    Line line;
    lineStart(line);
    lineAdd(line, text);
    lineWrite(line, stream);
}

bool drainOutput(int timeoutMs) {
    std::unique_lock<std::mutex> guard(gLock);
    // Lines dropped with nothing queued after them are reported too.
    if (gDropped > 0 && queueDropReport(0)) signalWriter();
    return gWritten.wait_for(guard, std::chrono::milliseconds(timeoutMs), [] { return used() == 0 && !gWriting; });
}

void setOutputSink(OutputSink sink, void* context) {
    std::unique_lock<std::mutex> guard(gLock);
    // The sink that goes must have had its last batch: its context may go
    // with it.
    gWritten.wait(guard, [] { return used() == 0 && !gWriting; });
    gSink = sink;
    gSinkContext = context;
}

bool outputRecordsValid(const std::uint8_t* records, std::size_t len) {
    for (std::size_t at = 0; at < len;) {
        if (len - at < kHeaderBytes) return false;
        std::size_t textLen = records[at + 1] | static_cast<std::size_t>(records[at + 2]) << 8;
        if (records[at] > 1 || textLen == 0 || textLen > kLongestLine || textLen > len - at - kHeaderBytes) return false;
        if (records[at + kHeaderBytes + textLen - 1] != '\n') return false;
        at += recordBytes(textLen);
    }
    return true;
}

namespace {

std::size_t gSnapshotEnd = 0;     // gTail when the switch's snapshot was taken
std::uint64_t gSnapshotLost = 0;  // queued records the snapshot had no room for

// With gLock held: the queued records from byte `at` of the queue on.
std::size_t recordsFrom(std::size_t at) {
    std::size_t count = 0;
    while (at < used()) {
        unsigned char header[kHeaderBytes];
        ringPeek(at, header, sizeof header);
        at += recordBytes(header[1] | static_cast<std::size_t>(header[2]) << 8);
        ++count;
    }
    return count;
}

// With gLock held: copies whole records from the front while they fit; the
// length copied.
std::size_t copyQueued(std::uint8_t* area, std::size_t size) {
    std::size_t len = 0;
    while (used() > len) {
        unsigned char header[kHeaderBytes];
        ringPeek(len, header, sizeof header);
        std::size_t record = recordBytes(header[1] | static_cast<std::size_t>(header[2]) << 8);
        if (len + record > size) break;
        ringPeek(len, area + len, record);
        len += record;
    }
    return len;
}

}  // namespace

std::size_t copyOutput(std::uint8_t* area, std::size_t size, std::uint64_t* dropped) {
    std::lock_guard<std::mutex> guard(gLock);
    std::size_t len = copyQueued(area, size);
    *dropped = gDropped + recordsFrom(len);
    return len;
}

void freezeOutput(int waitMs) {
    std::unique_lock<std::mutex> guard(gLock);
    gFrozen = true;
    // A console that takes its output finishes the batch at once; a stalled
    // one must not hold the upgrade up. Such a batch is not written before
    // the program is replaced, or is written whole: it counts as lost.
    if (!gWritten.wait_for(guard, std::chrono::milliseconds(waitMs), [] { return !gWriting; })) {
        gHeldLines = gWritingLines;
        gDropped += gHeldLines;
        gWritingLines = 0;
    }
}

std::size_t snapshotOutput(std::uint8_t* area, std::size_t size, std::uint64_t* dropped) {
    std::lock_guard<std::mutex> guard(gLock);
    std::size_t len = copyQueued(area, size);
    gSnapshotLost = recordsFrom(len);
    gSnapshotEnd = gTail;
    *dropped = gDropped + gSnapshotLost;
    return len;
}

std::uint64_t holdOutputForSwitch() {
    gLock.lock();
    return gDropped + gSnapshotLost + recordsFrom(gSnapshotEnd - gHead);
}

void releaseOutput() { gLock.unlock(); }

void thawOutput() {
    std::lock_guard<std::mutex> guard(gLock);
    // The process goes on: a batch held up at the freeze is written (or
    // lost by its stream) as any other.
    gDropped -= gHeldLines <= gDropped ? gHeldLines : gDropped;
    gHeldLines = 0;
    gFrozen = false;
    if (used() > 0) signalWriter();
}

bool restoreOutput(const std::uint8_t* records, std::size_t len, std::uint64_t dropped) {
    std::lock_guard<std::mutex> guard(gLock);
    bool valid = outputRecordsValid(records, len) && used() + len <= kOutputQueueBytes;
    gDropped += dropped;
    if (!valid) return false;
    if (gDropped > 0 && len > 0) {
        // The loss came before the lines carried over: its count stands
        // before them, as it would have in the program that lost them.
        queueDropReport(len);
    }
    ringPut(records, len);
    if (used() > 0) signalWriter();
    return true;
}

std::uint64_t outputLinesDroppedTotal() { return gDroppedTotal.load(std::memory_order_relaxed); }

void setOutputLinesDroppedTotal(std::uint64_t n) { gDroppedTotal.store(n, std::memory_order_relaxed); }
