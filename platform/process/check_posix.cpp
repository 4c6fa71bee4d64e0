// The check of a program: running it with the state and reading its answer;
// and, in the program checked, taking the request and answering it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/process/posix/process_support.h"
#include "platform/process/program_check.h"
#include "streams/output.h"

using namespace process_support;

namespace {

// Where a checked program finds its answer's pipe, the state and (for the
// start only) its own file.
constexpr int kAnswerFd = 3;
constexpr int kStateFd = 4;
constexpr int kProgramFd = 5;
// Descriptors are moved above these before the start, so that putting one in
// place never overwrites another that is still to be moved.
constexpr int kAboveTargets = 10;

std::atomic<pid_t> gProbe{0};  // a check under way
int gAnswerFd = -1;            // in a checked program: the pipe to answer on
int gCheckState = -1;          // and the state it was given

// The exit of a check, waited for until the deadline, then forced.
int reap(pid_t pid, long long deadlineMs) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return INT_MIN;
        if (monotonicMs() >= deadlineMs) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : INT_MIN;
}

// Starts the program with the answer's pipe, the state and its own file in
// place: 0, or the system's error number.
int spawnCheck(ProgramFile program, const char* path, int answerFd, int stateFd, pid_t* pid) {
    int high[3] = {::fcntl(answerFd, F_DUPFD_CLOEXEC, kAboveTargets),
                   stateFd >= 0 ? ::fcntl(stateFd, F_DUPFD_CLOEXEC, kAboveTargets) : -1,
                   ::fcntl(program, F_DUPFD_CLOEXEC, kAboveTargets)};
    int rc = high[0] < 0 || high[2] < 0 || (stateFd >= 0 && high[1] < 0) ? errno : 0;
    if (rc == 0) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, high[0], kAnswerFd);
        if (high[1] >= 0) posix_spawn_file_actions_adddup2(&actions, high[1], kStateFd);
        // The program runs from the file opened, through its descriptor,
        // which stays open for an interpreter that reads a script from it.
        posix_spawn_file_actions_adddup2(&actions, high[2], kProgramFd);
        // A checked program gets the signal handling of a fresh process, not
        // the server's blocked stop and upgrade signals.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGUSR2, SIGPIPE, SIGALRM}) sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<std::string> extra{std::string(kProbeVariable) + "=" + std::to_string(kAnswerFd)};
        if (stateFd >= 0) extra.push_back(std::string(kCheckVariable) + "=" + std::to_string(kStateFd));
        std::vector<char*> env = environmentWith(extra, true);
        // A program of another kind (an older release) would start serving:
        // not on the list, not on a port anybody uses.
        std::string name = path, onlylan = "-onlylan", portOption = "-port", anyPort = "0";
        char* argv[] = {name.data(), onlylan.data(), portOption.data(), anyPort.data(), nullptr};
        std::string self = "/proc/self/fd/" + std::to_string(kProgramFd);
        rc = ::posix_spawn(pid, self.c_str(), &actions, &attr, argv, env.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    for (int f : high)
        if (f >= 0) ::close(f);
    return rc;
}

}  // namespace

ProbeResult checkProgram(ProgramFile program, const char* path, const std::uint8_t* state, std::size_t len,
                         int timeoutMs) {
    ProbeResult result{};
    long long deadline = monotonicMs() + timeoutMs;
    int stateFd = sealedStateFile(state, len, result.answer, sizeof result.answer);
    if (stateFd < 0) {
        result.kind = ProbeResult::CannotPrepare;
        return result;
    }
    int answerPipe[2];
    if (::pipe2(answerPipe, O_CLOEXEC) != 0) {
        result.kind = ProbeResult::CannotPrepare;
        putText(result.answer, sizeof result.answer, std::string("the answer has no pipe: ") + std::strerror(errno));
        ::close(stateFd);
        return result;
    }
    pid_t pid = -1;
    int rc = spawnCheck(program, path, answerPipe[1], stateFd, &pid);
    ::close(answerPipe[1]);
    ::close(stateFd);
    if (rc != 0) {
        ::close(answerPipe[0]);
        result.kind = ProbeResult::CannotRun;
        result.code = rc;
        return result;
    }
    gProbe = pid;

    std::string answer;
    bool ended = false, answered = false;
    while (!answered && !ended) {
        long long left = deadline - monotonicMs();
        if (left <= 0) break;
        pollfd in{answerPipe[0], POLLIN, 0};
        int ready = ::poll(&in, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[256];
        ssize_t n = ::read(answerPipe[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        answer.append(buf, static_cast<std::size_t>(n));
        std::size_t lineEnd = answer.find('\n');
        if (lineEnd != std::string::npos) {
            answer.resize(lineEnd);
            answered = true;
        } else if (answer.size() >= sizeof result.answer - 1) {
            answered = true;  // a line that long is no answer of ours; it is judged as it is
        }
    }
    ::close(answerPipe[0]);
    // A program that answered ends by itself at once; one that did not gets
    // what is left of the time. One that a stop killed meanwhile is the
    // stop's.
    int exitCode = gProbe.exchange(0) == pid ? reap(pid, answered ? monotonicMs() + 1000 : (ended ? deadline : 0)) : INT_MIN;
    if (answered) {
        result.kind = ProbeResult::Answered;
        putText(result.answer, sizeof result.answer, answer);
    } else if (ended) {
        result.kind = ProbeResult::ExitedSilently;
        result.code = exitCode;
    } else {
        result.kind = ProbeResult::NoAnswer;
    }
    return result;
}

void killProbe() {
    pid_t pid = gProbe.exchange(0);
    if (pid > 0) ::kill(pid, SIGKILL);
}

CheckRequest takeCheckRequest() {
    const char* value = std::getenv(kProbeVariable);
    if (!value) return CheckRequest::None;
    std::string given = value;
    const char* stateValue = std::getenv(kCheckVariable);
    gCheckState = stateValue ? descriptorNumber(stateValue) : -1;
    ::unsetenv(kProbeVariable);
    ::unsetenv(kCheckVariable);
    int out = descriptorNumber(given.c_str());
    struct stat st{};
    if (out < 0 || ::fstat(out, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        Line line;
        lineStart(line);
        lineAdd(line, kProbeVariable);
        lineAdd(line, "=");
        lineAddClientText(line, given.c_str(), given.size());
        lineAdd(line, " names no pipe to answer on; the variable is ignored.");
        lineWrite(line, Stream::Err);
        return CheckRequest::Ignored;
    }
    gAnswerFd = out;
    return stateValue ? CheckRequest::WithState : CheckRequest::WithoutState;
}

std::size_t readCheckState(std::uint8_t* area, std::size_t size, char* why, std::size_t whySize) {
    bool sealed = false;
    std::string what;
    struct stat st{};
    if (gCheckState < 0 || !isStateFile(gCheckState, &sealed, what) || ::fstat(gCheckState, &st) != 0) {
        putText(why, whySize, "the state given is no state a server left");
        return 0;
    }
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > size) {
        putText(why, whySize, "the state given is larger than a state can be");
        return 0;
    }
    if (!sealed) {
        putText(why, whySize, "the state given is not sealed against change");
        return 0;
    }
    return readWhole(gCheckState, area, static_cast<std::size_t>(st.st_size));
}

void answerCheck(const char* answer) {
    if (gAnswerFd < 0) return;
    std::string text = std::string(answer) + "\n";
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(gAnswerFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}
