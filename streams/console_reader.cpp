#include "streams/console_reader.h"

#include "platform/streams/console_input.h"

bool takeConsoleLine(ConsoleReader& reader, std::string& line) {
    if (reader.skipToLineEnd) {
        std::size_t rest = reader.pending.find('\n');
        reader.pending.erase(0, rest == std::string::npos ? reader.pending.size() : rest + 1);
        reader.skipToLineEnd = rest == std::string::npos && !reader.ended;
    }
    std::size_t end = reader.pending.find('\n');
    if (end == std::string::npos) {
        if (!reader.ended || reader.pending.empty()) return false;
        end = reader.pending.size();
    }
    line.assign(reader.pending, 0, end);
    reader.pending.erase(0, end < reader.pending.size() ? end + 1 : end);
    return true;
}

void readConsoleInput(ConsoleReader& reader) {
    waitForStandardInput();
    std::lock_guard<std::mutex> guard(reader.lock);
    char buf[4096];
    long n = readStandardInput(buf, sizeof buf);
    if (n <= 0) reader.ended = true;
    else reader.pending.append(buf, static_cast<std::size_t>(n));
}

std::string_view inputToCarry(const ConsoleReader& reader, std::size_t limit, std::size_t* leftOut, bool* skip) {
    std::string_view input = reader.pending;
    *skip = reader.skipToLineEnd;
    if (*skip) {
        std::size_t end = input.find('\n');
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        *skip = end == std::string_view::npos;
    }
    *leftOut = 0;
    if (input.size() <= limit) return input;
    std::size_t lastEnd = limit > 0 ? input.rfind('\n', limit - 1) : std::string_view::npos;
    std::size_t carried = lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
    *leftOut = input.size() - carried;
    *skip = input.back() != '\n';
    return input.substr(0, carried);
}
