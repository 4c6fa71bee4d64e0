#include "server_command.h"

#include <cctype>

namespace {

bool endsWithExe(const std::string& word) {
    if (word.size() < 4) return false;
    std::string tail = word.substr(word.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".exe";
}

}  // namespace

std::vector<std::string> ServerCommand::runFrom(const std::string& path, const std::vector<std::string>& args) const {
    std::vector<std::string> all = words;
    all.back() = path;
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

std::vector<std::string> ServerCommand::loader() const { return {words.begin(), words.end() - 1}; }

bool parseCommand(const std::string& text, ServerCommand& command) {
    command.words.clear();
    std::string word;
    for (char c : text + ' ') {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) command.words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    command.windows = !command.words.empty() && endsWithExe(command.words.back());
    return !command.words.empty();
}
