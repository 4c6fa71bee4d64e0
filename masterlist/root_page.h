// The list's start page: where its answer ends, and the host its first link
// names. Plain text work on bytes that come from the list's web server.
#pragma once

#include <cstddef>

// Only this much of an answer is searched for the end of its headers.
inline constexpr std::size_t kPageHeaderLimit = 16 * 1024;

// Whether the answer read so far is the whole page: it holds as many bytes
// after its headers as its Content-Length header says, or it ends with
// "</html>" followed by nothing but blanks, CR and LF. A keep-alive web
// server leaves the connection open after the page, so the reader has to
// notice the end by itself.
bool pageComplete(const char* answer, std::size_t len);

// The host named by the first link of a page, as the list's start page
// names it: the text from 13 characters after the start of the first
// href=" to 2 characters before the next '>'. False, and host unchanged,
// when there is no such link or it does not fit.
bool hostFromPage(const char* page, char* host, std::size_t hostSize);
