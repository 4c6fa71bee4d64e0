// What the system tells of a running process, read from /proc: its open
// descriptors, its memory, the program it runs, where its threads sleep.
// For the Windows binary under Wine these are the Wine process's.
#pragma once

#include <sys/types.h>

#include <string>

namespace driver {

// Entries of /proc/PID/fd; -1 where the process is gone.
int openDescriptors(pid_t pid);
// VmRSS in kB; -1 where the process is gone.
long residentKb(pid_t pid);
// Lowers the process's open-file limit so that it can open no further
// descriptor (the lowest free number becomes the limit); false where that
// cannot be done.
bool refuseNewHandles(pid_t pid);
// Whether a thread of the process sleeps in a pipe write, as the kernel names
// where each thread sleeps: 1 yes, 0 no, -1 where the kernel does not tell.
int threadInPipeWrite(pid_t pid);

// Which file a path names, to tell which program a process runs.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};
FileId fileId(const std::string& path);
// The program the process runs now: a file replaced meanwhile still has its
// own identity here, and the path it was started from.
FileId runningProgram(pid_t pid);
std::string runningFile(pid_t pid);

}  // namespace driver
