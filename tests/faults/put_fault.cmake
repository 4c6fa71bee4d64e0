# Writes OUT: the source IN with the one fault named FAULT put into it, for a
# build of the server that fails as a release with that fault would. The
# product has no switch for any of them. A source that no longer holds the
# text a fault goes into stops the build, so that no fault is lost unseen.
# Usage: cmake -DFAULT=crash -DIN=upgrade/handover.cpp -DOUT=... -P put_fault.cmake
set(restore_head [[GameServer* restoreServer(HandoverState& state, bool strict, LeftOut& leftOut, char* why, std::size_t whySize) {]])
if(FAULT STREQUAL crash)
  # Crashes where it rebuilds the server from the state, after the check: a
  # write to memory that is read only (a fault no sanitizer stops first).
  set(find "${restore_head}")
  set(replace "${restore_head}\n    static const char kReadOnly[] = \"x\";\n    const_cast<volatile char*>(kReadOnly)[0] = 0;  // the fault")
elseif(FAULT STREQUAL hang)
  # Waits for ever where it rebuilds the server from the state.
  set(find "${restore_head}")
  set(replace "${restore_head}\n    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));  // the fault")
  set(include "#include <chrono>\n#include <thread>\n")
elseif(FAULT STREQUAL overflow)
  # Overflows its stack on the network thread, before the first pass.
  set(find [[void beginServing(void*) {
]])
  set(replace [[void beginServing(void*) {
    struct Overflow {  // the fault
        static std::size_t down(std::size_t n) {
            volatile char frame[4096];
            frame[0] = static_cast<char>(n);
            return n == 0 ? 0 : down(n - 1) + static_cast<std::size_t>(frame[0]);
        }
    };
    static volatile std::size_t depth = ~std::size_t(0) >> 1;
    Overflow::down(depth);
]])
elseif(FAULT STREQUAL stall)
  # The network thread stops coming round, holding the table's lock, once a
  # player named "stall" has logged in: a loop that is stuck while the
  # process and its other threads live on.
  set(find [[    welcome(server, client);
    return true;]])
  set(replace [[    welcome(server, client);
    while (std::strcmp(client.name, "stall") == 0) std::this_thread::sleep_for(std::chrono::seconds(1));  // the fault
    return true;]])
  set(include "#include <chrono>\n#include <thread>\n")
elseif(FAULT STREQUAL refuse)
  # Takes every inherited connection for some other socket: a state it
  # refuses at the switch, though it read the state well at the check.
  set(find [[return listening ? InheritedSocket::Listening : InheritedSocket::Connected;]])
  set(replace [[return listening ? InheritedSocket::Listening : InheritedSocket::OtherSocket;  // the fault]])
elseif(FAULT STREQUAL quit)
  # Ends with exit code 3 as soon as it is to take a server over.
  set(find [[bool takeOverFromKeeper(ConsoleReader& console, const char* listHost, TakenOver& taken) {
]])
  set(replace [[bool takeOverFromKeeper(ConsoleReader& console, const char* listHost, TakenOver& taken) {
    std::exit(3);  // the fault
]])
elseif(FAULT STREQUAL swap)
  # When checked, puts the file beside it (its path with ".next") at its own
  # path before it answers.
  set(find [[    case CheckRequest::WithState: {
]])
  set(replace [[    case CheckRequest::WithState: {
        char self[4096];  // the fault
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            self[n] = 0;
            std::rename((std::string(self) + ".next").c_str(), self);
        }
]])
  set(include "#include <unistd.h>\n#include <cstdio>\n")
else()
  message(FATAL_ERROR "no fault named '${FAULT}'")
endif()

file(READ "${IN}" text)
string(FIND "${text}" "${find}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the fault '${FAULT}' finds no place in ${IN}: that source changed")
endif()
string(REPLACE "${find}" "${replace}" text "${text}")
file(WRITE "${OUT}" "${include}${text}")
