#include "tests/xserver/Xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace xtest {
namespace {

using Clock = std::chrono::steady_clock;

// How long the server gets to end on SIGTERM before it is killed.
constexpr std::chrono::milliseconds kStopTimeout{5000};

// Waits for the child to end, at most timeout (a process descriptor becomes readable when
// it ends), and reaps it. False when it is still running.
bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidFd >= 0) {
    pollfd p{pidFd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    ::close(pidFd);
    if (ready <= 0) return false;
  }
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid || errno == ECHILD;
}

}  // namespace

Xvfb::~Xvfb() { Stop(); }

void Xvfb::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!WaitForExit(pid_, kStopTimeout)) {
    ::kill(pid_, SIGKILL);
    WaitForExit(pid_, kStopTimeout);
  }
  pid_ = -1;
}

bool Xvfb::Start(std::string& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // The child: the write end of the pipe becomes descriptor 3 without close-on-exec, the
    // server's chatter goes nowhere.
    ::dup2(fds[1], 3);
    // dup2 onto itself would keep close-on-exec.
    ::fcntl(3, F_SETFD, 0);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    // -noreset keeps the keymap when the last client leaves.
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", "640x480x24",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pid_ = pid;
  ::close(fds[1]);

  std::string number;
  const auto deadline = Clock::now() + kStartTimeout;
  bool complete = false;
  while (!complete) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(fds[0], &c, 1);
    if (n <= 0) break;  // the server ended before it reported a display
    if (c == '\n') {
      complete = true;
    } else {
      number += c;
    }
  }
  ::close(fds[0]);
  if (!complete || number.empty()) {
    error = "Xvfb did not report a display within " + std::to_string(kStartTimeout.count()) + " s";
    return false;
  }
  name_ = ":" + number;
  return true;
}

}  // namespace xtest
