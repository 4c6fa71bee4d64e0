#include "net/output.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex gOutputLock;
OutputSink gSink = nullptr;
void* gSinkContext = nullptr;

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
    std::lock_guard<std::mutex> guard(gOutputLock);
    if (gSink) {
        gSink(stream, line.text, line.len + 1, gSinkContext);
        return;
    }
    std::FILE* f = stream == Stream::Out ? stdout : stderr;
    std::fwrite(line.text, 1, line.len + 1, f);
    std::fflush(f);
}

void writeLine(Stream stream, const char* text) {
    Line line;
    lineStart(line);
    lineAdd(line, text);
    lineWrite(line, stream);
}

void setOutputSink(OutputSink sink, void* context) {
    std::lock_guard<std::mutex> guard(gOutputLock);
    gSink = sink;
    gSinkContext = context;
}
