#include "masterlist/root_page.h"

#include <cstring>
#include <string_view>

namespace {

bool endsWithHtmlClose(std::string_view answer) {
    std::size_t end = answer.size();
    while (end > 0 && (answer[end - 1] == ' ' || answer[end - 1] == '\r' || answer[end - 1] == '\n')) --end;
    return answer.substr(0, end).ends_with("</html>");
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (lower(text[i]) != word[i]) return false;
    return true;
}

// The value of a "Content-Length:" header line, or -1 when the line is no
// such header or its value is no plain decimal number.
long long contentLength(std::string_view line) {
    constexpr std::string_view kName = "content-length";
    if (!startsWithNoCase(line, kName)) return -1;
    std::size_t at = kName.size();
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size() || line[at] != ':') return -1;
    ++at;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    long long value = 0;
    std::size_t digits = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at, ++digits) {
        if (value > 1000000000000LL) return -1;  // no page is that long
        value = value * 10 + (line[at] - '0');
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    return digits > 0 && at == line.size() ? value : -1;
}

bool completeByLength(std::string_view answer) {
    std::string_view head = answer.substr(0, kPageHeaderLimit);
    std::size_t headerEnd = head.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) return false;
    std::string_view headers = answer.substr(0, headerEnd);
    std::size_t bodyLen = answer.size() - (headerEnd + 4);
    // The first line is the status line; each further one a header.
    std::size_t lineStart = headers.find("\r\n");
    while (lineStart != std::string_view::npos) {
        lineStart += 2;
        std::size_t lineEnd = headers.find("\r\n", lineStart);
        std::string_view line = headers.substr(lineStart, lineEnd == std::string_view::npos ? std::string_view::npos
                                                                                          : lineEnd - lineStart);
        long long length = contentLength(line);
        if (length >= 0) return bodyLen >= static_cast<unsigned long long>(length);
        lineStart = lineEnd;
    }
    return false;
}

}  // namespace

bool pageComplete(const char* answer, std::size_t len) {
    std::string_view text(answer, len);
    return endsWithHtmlClose(text) || completeByLength(text);
}

bool hostFromPage(const char* page, char* host, std::size_t hostSize) {
    const char* match = std::strstr(page, "href=\"");
    if (!match) return false;
    const char* gt = std::strchr(match, '>');
    if (!gt || gt - match < 15) return false;
    std::size_t len = static_cast<std::size_t>(gt - match - 15);
    if (len >= hostSize) return false;
    std::memcpy(host, match + 13, len);
    host[len] = 0;
    return true;
}
