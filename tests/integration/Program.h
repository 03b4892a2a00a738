#pragma once
// The pelmor program run as a child process for the tests: its standard input to write
// commands to, its standard output read until a text comes, its end waited for.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace testing_program {

inline constexpr int kBudgetMs = 8000;

class Program {
 public:
  // inChild runs in the child just before the program starts, to change what it inherits.
  explicit Program(std::vector<std::string> args, const std::function<void()>& inChild = {}) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      // The program gets the signals as a shell would leave them, whatever this test was
      // started with (nohup, a runner that blocks some).
      for (const int sig : {SIGHUP, SIGINT, SIGTERM}) ::signal(sig, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (inChild) inChild();
      std::vector<char*> argv;
      args.insert(args.begin(), PELMOR_BINARY);
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(PELMOR_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Program() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Send(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Reads standard output until it holds text at or after `from`; false when the budget
  // runs out first.
  bool WaitFor(const std::string& text, int budgetMs = kBudgetMs, size_t from = 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (output_.find(text, from) == std::string::npos && stdout_ >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) {
        ::close(stdout_);
        stdout_ = -1;
        break;
      }
      output_.append(buf, static_cast<size_t>(n));
    }
    return output_.find(text, from) != std::string::npos;
  }
  // Reads standard output until text is in it count times.
  bool WaitForCount(const std::string& text, size_t count, int budgetMs = kBudgetMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (Count(text) < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || stdout_ < 0) break;
      // Reads what comes for a while: the program never writes this text.
      WaitFor(std::string(1, '\0'), static_cast<int>(std::min<int64_t>(left.count(), 50)));
    }
    return Count(text) >= count;
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size())) ++n;
    return n;
  }
  // Waits for the process to end; its exit status, or -1 when it did not end in time.
  int Wait(int budgetMs = kBudgetMs) {
    // Where pidfd_open is missing (Valgrind does not know it) the end is looked for every
    // 10 ms instead; poll() passes over a negative descriptor.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    int result = -1;
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        Collect();
        result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      // Wake on output (read it, so a full pipe never blocks the program) or on its end.
      pollfd p[2] = {{pidfd, POLLIN, 0}, {stdout_, POLLIN, 0}};
      ::poll(p, stdout_ >= 0 ? 2 : 1, static_cast<int>(pidfd < 0 && left > 10 ? 10 : left));
      if (p[1].revents) Collect();
    }
    if (pidfd >= 0) ::close(pidfd);
    return result;
  }
  // Reads what standard output holds now; closes it at its end.
  void Collect() {
    while (stdout_ >= 0) {
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      char buf[4096];
      const ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) {
        ::close(stdout_);
        stdout_ = -1;
        return;
      }
      output_.append(buf, static_cast<size_t>(n));
    }
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  // Whether the program has a handler for sig, or ignores it, by the kernel's account.
  bool Catches(int sig) const { return SignalSet("SigCgt:") & SignalBit(sig); }
  bool Ignores(int sig) const { return SignalSet("SigIgn:") & SignalBit(sig); }
  // Waits until the program has a handler for sig: a window run says nothing on standard
  // output when it is ready. False when it ends or the budget runs out first.
  bool WaitUntilItCatches(int sig, int budgetMs = kBudgetMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (!Catches(sig)) {
      if (std::chrono::steady_clock::now() >= end || Ended()) return false;
      pollfd p{stdout_, POLLIN, 0};
      ::poll(&p, stdout_ >= 0 ? 1 : 0, 10);
      Collect();
    }
    return true;
  }
  void CloseInput() {
    ::close(stdin_);
    stdin_ = -1;
  }
  const std::string& Output() const { return output_; }

 private:
  // Whether the process has ended, leaving it to Wait() to collect.
  bool Ended() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
  }
  static uint64_t SignalBit(int sig) { return uint64_t{1} << (sig - 1); }
  // A signal mask line of /proc/PID/status; 0 when the process is gone.
  uint64_t SignalSet(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.compare(0, field.size(), field) == 0) return std::stoull(line.substr(field.size()), nullptr, 16);
    return 0;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string output_;
};

}  // namespace testing_program
