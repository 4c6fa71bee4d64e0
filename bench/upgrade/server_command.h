// The command that starts the server under the upgrade bench: the Linux
// binary's path, or the words of a command that runs the Windows one under
// Wine (e.g. "scripts/wine-run --exec build-mingw/gameserver.exe"), blanks
// between them. The last word is the program, which the bench runs from a
// copy of its own.
#pragma once

#include <string>
#include <vector>

struct ServerCommand {
    std::vector<std::string> words;  // never empty once parsed
    bool windows = false;            // the program's name ends in ".exe", in any case

    const std::string& program() const { return words.back(); }
    // The command with the program at another path, followed by these arguments.
    std::vector<std::string> runFrom(const std::string& path, const std::vector<std::string>& args = {}) const;
    // The words before the program (the Wine loader and its wrapper), or none.
    std::vector<std::string> loader() const;
};

// The words of the text, split at blanks and tabs; no command where there
// are none.
bool parseCommand(const std::string& text, ServerCommand& command);
