#include "program_copy.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace driver {

ProgramCopy::ProgramCopy(std::string source, const std::string& folderPrefix) : source_(std::move(source)) {
    std::string pattern = "/tmp/" + folderPrefix + ".XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back(0);
    if (!::mkdtemp(dir.data())) throw std::runtime_error("cannot make a folder: " + std::string(std::strerror(errno)));
    dir_ = dir.data();
    // A Windows program keeps its extension, as Windows looks for it.
    const bool exe = source_.size() > 4 && source_.compare(source_.size() - 4, 4, ".exe") == 0;
    path_ = dir_ + (exe ? "/gameserver.exe" : "/gameserver");
    try {
        install();
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

ProgramCopy::~ProgramCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ProgramCopy::install(const std::string& source) {
    std::filesystem::copy_file(source.empty() ? source_ : source, newPath(),
                               std::filesystem::copy_options::overwrite_existing);
    ::chmod(newPath().c_str(), 0755);
    std::filesystem::rename(newPath(), path_);
}

void ProgramCopy::installScript(const std::string& text, unsigned mode) {
    std::ofstream(newPath()) << text;
    ::chmod(newPath().c_str(), static_cast<mode_t>(mode));
    std::filesystem::rename(newPath(), path_);
}

void ProgramCopy::remove() { std::filesystem::remove(path_); }

}  // namespace driver
