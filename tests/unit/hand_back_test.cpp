// The hand-back's signal side, in death tests: a program that an upgrade
// started, armed as it arms itself, fails; the old program it hands back to
// is a witness (platform/handback_witness.cpp) that says what it got: the
// reason, the state and the sockets open, the program's own descriptors
// closed, the control signals blocked and those that came meanwhile still
// pending.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/process/hand_back.h"
#include "platform/process/process.h"
#include "platform/process/stop_signal.h"

namespace {

// Where an upgrade's switch puts what the new program inherits, here: the
// old program, the state, a client's socket; and a descriptor of the new
// program's own, which no program it starts gets.
constexpr int kFallbackFd = 50, kStateFd = 51, kSocketFd = 52, kOwnFd = 53;
const std::string kWitnessGot = "WITNESS_EXPECT=open=51,52 closed=50,53 blocked=2,12,15 pending=15";
const std::string kReason = "GAMESERVER_HANDBACK=/srv/gameserver \\(release 9\\) ";

void moveTo(int fd, int to, int flags = 0) {
    ::dup3(fd, to, flags);
    ::close(fd);
}

// In a death test's child: the descriptors and the environment that a switch
// leaves a new program, the control signals held as the program's first line
// holds them, and the hand-back armed with the time limit given; a stop
// request then waits, pending.
void armAsTakingOver(const char* oldProgram, int limitSeconds = 5) {
    moveTo(::open(oldProgram, O_PATH), kFallbackFd);
    moveTo(::memfd_create("gameserver-state", MFD_ALLOW_SEALING), kStateFd);
    moveTo(::socket(AF_INET, SOCK_STREAM, 0), kSocketFd);
    moveTo(::open("/dev/null", O_RDONLY), kOwnFd, O_CLOEXEC);
    ::setenv("GAMESERVER_HANDOVER_FALLBACK", std::to_string(kFallbackFd).c_str(), 1);
    ::setenv("GAMESERVER_HANDOVER_FD", std::to_string(kStateFd).c_str(), 1);
    ::putenv(const_cast<char*>(kWitnessGot.c_str()));
    static char name[] = "gameserver";
    static char* argv[] = {name, nullptr};
    rememberCommandLine(1, argv);
    holdControlSignals();
    if (!armHandBack("/srv/gameserver (release 9)", limitSeconds)) {
        std::fprintf(stderr, "not armed\n");
        std::_Exit(3);
    }
    ::kill(::getpid(), SIGTERM);
}

// Deep enough to overflow any thread's stack.
std::size_t descend(std::size_t n) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(n);
    return n == 0 ? 0 : descend(n - 1) + static_cast<std::size_t>(frame[0]);
}
volatile std::size_t gDepth = ~std::size_t(0) >> 1;

class HandBack : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(HandBack, EachCrashSignalRunsTheOldProgramWithTheStateAndTheSockets) {
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        EXPECT_EXIT(
            {
                armAsTakingOver(HANDBACK_WITNESS);
                ::raise(sig);
            },
            ::testing::ExitedWithCode(42), kReason + "crashed with signal " + std::to_string(sig) + " while taking over")
            << "signal " << sig;
    }
}

TEST_F(HandBack, TheTimeLimitAndARefusalRunTheOldProgram) {
    EXPECT_EXIT(
        {
            armAsTakingOver(HANDBACK_WITNESS, 1);
            for (;;) ::pause();
        },
        ::testing::ExitedWithCode(42), kReason + "did not take over within 1 second\n");
    EXPECT_EXIT(
        {
            armAsTakingOver(HANDBACK_WITNESS);
            handBack("refused the state: it is no server state");
        },
        ::testing::ExitedWithCode(42), kReason + "refused the state: it is no server state\n");
}

// Every thread that runs while the program takes over has a stack to hand
// back on, as the main thread has.
TEST_F(HandBack, AStackOverflowOnAnotherThreadHandsBack) {
    EXPECT_EXIT(
        {
            armAsTakingOver(HANDBACK_WITNESS);
            std::thread([] {
                giveThreadCrashStack();
                descend(gDepth);
            }).join();
        },
        ::testing::ExitedWithCode(42), kReason + "crashed with signal 11 while taking over");
}

// Once nothing can be handed back (a hand-back whose old program cannot be
// run, or a program that serves), a crash takes its course.
TEST_F(HandBack, AFailedOrDisarmedHandBackLeavesACrashItsCourse) {
    char notRunnable[] = "/tmp/handback-test-XXXXXX";
    int file = ::mkstemp(notRunnable);
    ASSERT_GE(file, 0);
    ::close(file);
    EXPECT_EXIT(
        {
            armAsTakingOver(notRunnable);
            handBack("refused the state: test");
            if (handBackArmed() || ::fcntl(kFallbackFd, F_GETFD) >= 0) std::_Exit(4);
            ::raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "The old program could not be run again: the upgrade cannot be undone.");
    ::unlink(notRunnable);
    EXPECT_EXIT(
        {
            armAsTakingOver(HANDBACK_WITNESS);
            disarmHandBack();
            ::raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
