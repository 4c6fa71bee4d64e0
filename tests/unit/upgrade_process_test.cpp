// The upgrade's process calls where they fail: a check that cannot make the
// state's file, and a switch whose program cannot be started, which must
// leave every descriptor as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/process/process.h"
#include "platform/process/program_check.h"
#include "unit_support.h"

namespace {

bool closesOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// A regular file that may not be run.
struct NotRunnable {
    NotRunnable() {
        int f = ::mkstemp(path);
        if (f >= 0) ::close(f);
    }
    ~NotRunnable() { ::unlink(path); }
    char path[32] = "/tmp/upgrade-test-XXXXXX";
};

TEST(UpgradeProcess, ACheckThatCannotMakeTheStateSaysWhy) {
    int error = 0;
    ProgramFile program = openProgram("/bin/true", &error);
    ASSERT_NE(program, kNoProgram) << error;
    // No descriptor can be opened any more.
    rlimit was{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
    int lowest = ::open("/dev/null", O_RDONLY);
    ::close(lowest);
    rlimit none = was;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    const std::uint8_t state[16] = {};
    ProbeResult result = checkProgram(program, "/bin/true", state, sizeof state, 1000);
    ::setrlimit(RLIMIT_NOFILE, &was);
    closeProgram(program);
    EXPECT_EQ(result.kind, ProbeResult::CannotPrepare);
    EXPECT_STREQ(result.answer, "the state has no place to go: Too many open files");
}

TEST(UpgradeProcess, ASwitchThatCannotStartLeavesEveryDescriptorAsItWas) {
    NotRunnable file;
    int error = 0;
    ProgramFile program = openProgram(file.path, &error), own = openOwnProgram(&error);
    ASSERT_NE(program, kNoProgram);
    ASSERT_NE(own, kNoProgram);
    auto [mine, far] = test::tcpPair();
    const int next = ::open("/dev/null", O_RDONLY);
    ::close(next);
    const std::uint8_t state[16] = {};
    char why[256] = "";
    replaceProcess(program, "the new program", own, state, sizeof state, &mine, 1, why, sizeof why);
    EXPECT_STREQ(why, "cannot start the new program: Permission denied");
    EXPECT_TRUE(closesOnExec(static_cast<int>(mine)));
    EXPECT_TRUE(closesOnExec(own));
    const int after = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(after, next) << "the state's file is closed";
    ::close(after);
    netClose(mine);
    netClose(far);
    closeProgram(program);
    closeProgram(own);
}

}  // namespace
