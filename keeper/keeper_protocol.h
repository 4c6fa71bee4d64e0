// What the keeper and a kept server say to each other over their message
// pipes: lines of text, a word first, and two blocks of bytes announced by
// their line (the state with the sockets' descriptions).
//
// To a server:   "stop interrupt" | "stop terminate"   a stop request
//                "handover PID"     give everything to process PID
//                "switched"         it serves: close your copies and end
//                "serveon WHY"      it does not: serve on
//                "failed"           an upgrade failed before it began
//                "takeover LEN N"   + LEN state bytes + N socket descriptions
// From a server: "release R"        a new program, about to take over
//                "ready PORT"       it serves and listens on PORT
//                "state LEN N"      + LEN bytes + N descriptions: the hand-over
//                "cannot WHY"       it cannot hand over
//                "serving"          it took everything over
//                "ending"           it stops, as asked, and ends
//                "refused WHY"      it refuses the state and ends
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/process/kept_server.h"

// A message line is never longer than this; a longer one ends the link.
inline constexpr std::size_t kMessageLineMax = 1024;

// Reads message lines and blocks from one pipe, buffered.
struct MessageReader {
    PipeEnd pipe = kNoPipe;
    char buf[4096];
    std::size_t start = 0;
    std::size_t end = 0;
};

// The next line without its end; false once the pipe has ended or failed, or
// on a line too long.
bool readMessage(MessageReader& reader, std::string& line);
// Exactly len bytes; false where the pipe ended first.
bool readMessageBytes(MessageReader& reader, void* to, std::size_t len);
// One line, its end added.
bool writeMessage(PipeEnd pipe, const std::string& line);

// "word rest": the word and what follows its blank ("" where nothing does).
std::string messageWord(const std::string& line, std::string* rest);
// "LEN N" as two numbers within their bounds.
bool blockSizes(const std::string& rest, std::size_t maxLen, std::size_t maxCount, std::size_t* len,
                std::size_t* count);
