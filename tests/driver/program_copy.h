// A copy of the server's program in a folder of its own, for the upgrade in
// place: it is replaced as a package manager replaces it, with a new file
// renamed over the old one, while the server started from it runs on.
#pragma once

#include <string>

namespace driver {

class ProgramCopy {
public:
    // A folder /tmp/PREFIX.XXXXXX with a copy of source in it. Failures
    // throw std::runtime_error (std::filesystem's errors among them).
    ProgramCopy(std::string source, const std::string& folderPrefix);
    ~ProgramCopy();
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    const std::string& folder() const { return dir_; }
    const std::string& path() const { return path_; }
    // The file written first and renamed over the path.
    std::string newPath() const { return path_ + ".new"; }
    // A copy of source (the one given at the start unless another is named)
    // becomes the file at the path; or a script with this text and mode; or
    // none.
    void install(const std::string& source = "");
    void installScript(const std::string& text, unsigned mode = 0755);
    void remove();

private:
    std::string source_, dir_, path_;
};

}  // namespace driver
