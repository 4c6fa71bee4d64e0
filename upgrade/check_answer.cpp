#include "upgrade/check_answer.h"

#include <cstdio>
#include <cstring>

#include "upgrade/handover_state.h"

namespace {

// Reads an unsigned decimal number, up to a bound; false if there is none.
bool readNumber(const char*& p, unsigned long& n) {
    if (*p < '0' || *p > '9') return false;
    n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n < 1000000) n = n * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    return true;
}

// Text from another program, as far as it fits, control characters shown as '?'.
void showText(const char* text, char* out, std::size_t size) {
    std::size_t n = 0;
    for (const char* p = text; *p && n + 1 < size; ++p)
        out[n++] = (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) ? '?' : *p;
    out[n] = 0;
}

void showAnswer(const char* answer, char* why, std::size_t whySize) {
    char shown[64];
    showText(answer, shown, sizeof shown);
    std::snprintf(why, whySize, "it gave an answer no server gives (\"%s\")", shown);
}

}  // namespace

CheckAnswer readCheckAnswer(const char* answer) {
    CheckAnswer result{};
    result.kind = CheckAnswer::Unknown;
    std::size_t prefix = std::strlen(kProbeAnswerPrefix);
    if (std::strncmp(answer, kProbeAnswerPrefix, prefix) != 0) {
        showAnswer(answer, result.why, sizeof result.why);
        return result;
    }
    // A list of format numbers separated by commas, up to a blank.
    const char* p = answer + prefix;
    bool reads = false;
    unsigned long format = 0;
    while (readNumber(p, format)) {
        if (format == kHandoverFormat) reads = true;
        if (*p != ',') break;
        ++p;
    }
    if (!reads) {
        std::size_t end = std::strcspn(answer + prefix, " ");
        std::snprintf(result.why, sizeof result.why, "it reads state format %.*s, this server writes format %u",
                      static_cast<int>(end), answer + prefix, kHandoverFormat);
        result.kind = CheckAnswer::NoFormat;
        return result;
    }
    // " release R", then what it makes of the state.
    const char* verdict = std::strstr(p, " keeps ");
    const char* refuses = std::strstr(p, " refuses: ");
    unsigned long kept = 0;
    if (refuses && (!verdict || refuses < verdict)) {
        result.kind = CheckAnswer::Refuses;
        showText(refuses + std::strlen(" refuses: "), result.why, sizeof result.why);
    } else if (verdict && (p = verdict + std::strlen(" keeps "), readNumber(p, kept)) &&
               (std::strcmp(p, " clients") == 0 || std::strcmp(p, " client") == 0)) {
        result.kind = CheckAnswer::Keeps;
        result.kept = static_cast<unsigned>(kept);
    } else {
        std::snprintf(result.why, sizeof result.why, "it did not say what it makes of the state");
    }
    return result;
}

std::string checkAnswerLine(const char* release, const CheckAnswer& verdict) {
    // Appended piece by piece: GCC 12 at -O3 takes "," + std::to_string(f)
    // for an overlapping copy (-Wrestrict).
    std::string line = kProbeAnswerPrefix;
    for (std::uint32_t f = kHandoverOldestFormat; f <= kHandoverFormat; ++f) {
        if (f != kHandoverOldestFormat) line += ',';
        line += std::to_string(f);
    }
    line += " release ";
    line += release;
    if (verdict.kind == CheckAnswer::Keeps) {
        line += " keeps ";
        line += std::to_string(verdict.kept);
        line += verdict.kept == 1 ? " client" : " clients";
    } else if (verdict.kind == CheckAnswer::Refuses) {
        line += " refuses: ";
        line += verdict.why;
    }
    return line;
}
