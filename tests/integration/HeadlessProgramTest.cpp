// The pelmor program itself in --headless mode, driven through its standard input and
// read from its standard output, as a script or a kiosk would use it; and, for the signals
// that end it, in its window run on Qt's offscreen platform.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/PtyServer.h"
#include "tests/app/Rig.h"

namespace {

constexpr int kBudgetMs = 8000;

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
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
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
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
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
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }
  static uint64_t SignalBit(int sig) { return uint64_t{1} << (sig - 1); }
  // A signal mask line of /proc/PID/status; 0 when the process is gone.
  uint64_t SignalSet(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.compare(0, field.size(), field) == 0)
        return std::stoull(line.substr(field.size()), nullptr, 16);
    return 0;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string output_;
};

TEST(HeadlessProgram, SimulatedSessionFromStartToQuit) {
  testing_rig::TempDir dir;
  Program p({"--headless", "--simulate", "--app-dir", dir.Path().string()});
  ASSERT_TRUE(p.WaitFor("Version: Pelmor (WCE) v3.05")) << p.Output();
  EXPECT_EQ(p.Output().rfind("Connected...\r\nFirmwareversion: LF2.01\r\nCommandset: CRSWI\r\n", 0), 0u)
      << p.Output();
  // "Trg." stays disabled while the reader's trigger mode is off.
  p.Send("click 102:1034");
  ASSERT_TRUE(p.WaitFor("error: control 102:1034 is disabled\n")) << p.Output();
  // The scan button reads the emulator's tag.
  p.Send("key F24 down");
  ASSERT_TRUE(p.WaitFor("Tag found! (999000012345678) \r\n")) << p.Output();
  p.Send("key F24 up");
  p.Send("click 102:1005");  // Clear
  p.Send("quit");
  EXPECT_EQ(p.Wait(), 0) << p.Output();
  EXPECT_NE(p.Output().find("Successfully disconnected!\r\n"), std::string::npos) << p.Output();
}

// The port chosen in the "Reader port" dialog is written to pelmor.conf; the next start
// without --port or PELMOR_PORT opens it.
TEST(HeadlessProgram, StartsOnThePortRememberedInItsConfigFile) {
  testing_rig::TempDir dir;
  sim::PtyServer server(sim::ServerOptions{});
  ASSERT_EQ(server.Start(), 0) << server.ErrorText();
  server.SetPowered(true);  // a reader on its own supply (--power always-on)
  std::filesystem::create_directories(dir.Path() / "config" / "pelmor");
  std::ofstream(dir.Path() / "config" / "pelmor" / "pelmor.conf") << "port=" << server.SlavePath() << "\n";
  const std::string config = (dir.Path() / "config").string();
  Program p({"--headless", "--app-dir", dir.Path().string()}, [&config] {
    ::unsetenv("PELMOR_PORT");
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  });
  ASSERT_TRUE(p.WaitFor("Firmwareversion: LF2.01\r\n")) << p.Output();
  p.Send("quit");
  EXPECT_EQ(p.Wait(), 0) << p.Output();
}

// "Connect" while the device is gone: the box, the program stays, and the device is taken
// again once it is back. Its port, tried every second meanwhile, used to be named on
// standard error at every try.
TEST(HeadlessProgram, ConnectWithoutTheDeviceKeepsItRunningAndSaysTheFailureOnce) {
  testing_rig::TempDir dir;
  sim::PtyServer server(sim::ServerOptions{});
  ASSERT_EQ(server.Start(), 0) << server.ErrorText();
  server.SetPowered(true);
  const std::filesystem::path link = dir.Path() / "ttyREADER";
  std::filesystem::create_symlink(server.SlavePath(), link);
  const std::string errors = (dir.Path() / "stderr").string();
  Program p({"--headless", "--port", link.string(), "--power", "always-on", "--app-dir", dir.Path().string()},
            [&errors] {
              const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
              if (fd >= 0) ::dup2(fd, STDERR_FILENO);
            });
  ASSERT_TRUE(p.WaitFor("Firmwareversion: LF2.01\r\n")) << p.Output();
  p.Send("click 102:1000");
  ASSERT_TRUE(p.WaitFor("Successfully disconnected!\r\n")) << p.Output();
  std::filesystem::remove(link);
  p.Send("click 102:1000");
  ASSERT_TRUE(p.WaitFor("[Error] ERROR while opening comport")) << p.Output();
  EXPECT_EQ(p.Wait(2500), -1);  // still running, its port tried twice meanwhile
  std::ifstream in(errors);
  const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string line = "pelmor: cannot open the reader's port " + link.string();
  EXPECT_NE(said.find(line), std::string::npos) << said;
  EXPECT_EQ(said.find(line, said.find(line) + 1), std::string::npos) << said;

  const size_t before = p.Output().size();
  std::filesystem::create_symlink(server.SlavePath(), link);
  ASSERT_TRUE(p.WaitFor("Connected...\r\nFirmwareversion: LF2.01\r\n", 3000, before)) << p.Output().substr(before);
  p.Send("quit");
  EXPECT_EQ(p.Wait(), 0) << p.Output();
}

TEST(HeadlessProgram, FailedOpenPrintsTheBoxAndExitsWithOne) {
  testing_rig::TempDir dir;
  Program p({"--headless", "--port", (dir.Path() / "no-such-tty").string(), "--app-dir",
             dir.Path().string()});
  EXPECT_EQ(p.Wait(), 1) << p.Output();
  EXPECT_EQ(p.Output(),
            "ERROR while opening comport\r\n"
            "[Error] ERROR while opening comport\\r\\nMaybe another Pelmor application is "
            "running?\\r\\nWhen not than probably the comport is not right configured, walk "
            "through 'Step1' of the Pelmor software manual. -> OK\n");
}

TEST(HeadlessProgram, EndOfInputKeepsItRunningUntilASignal) {
  testing_rig::TempDir dir;
  Program p({"--headless", "--simulate", "--app-dir", dir.Path().string()});
  ASSERT_TRUE(p.WaitFor("Version: ")) << p.Output();
  p.CloseInput();
  EXPECT_EQ(p.Wait(300), -1);  // still running
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0) << p.Output();
}

// Interrupt, termination and hangup all end the program as "quit" does: disconnected, the
// reader switched off, exit status 0. A hangup used to kill it, the reader left powered.
TEST(HeadlessProgram, SignalsEndItWithADisconnect) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    testing_rig::TempDir dir;
    Program p({"--headless", "--simulate", "--app-dir", dir.Path().string()});
    ASSERT_TRUE(p.WaitFor("Version: ")) << p.Output();
    p.Signal(sig);
    EXPECT_EQ(p.Wait(), 0) << p.Output();
    EXPECT_NE(p.Output().find("Successfully disconnected!\r\n"), std::string::npos) << p.Output();
    EXPECT_EQ(p.Output().find("Switch reader off Error"), std::string::npos) << p.Output();
  }
}

// Started under nohup, the program keeps running when its terminal goes away.
TEST(HeadlessProgram, AHangupItsStarterIgnoresStaysIgnored) {
  testing_rig::TempDir dir;
  Program p({"--headless", "--simulate", "--app-dir", dir.Path().string()},
            [] { ::signal(SIGHUP, SIG_IGN); });
  ASSERT_TRUE(p.WaitFor("Version: ")) << p.Output();
  EXPECT_TRUE(p.Ignores(SIGHUP));
  EXPECT_FALSE(p.Catches(SIGHUP));
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0) << p.Output();
}

// The window run closes its main window on each of them; with no log on standard output,
// the exit status tells a close (0) from a kill (128 + the signal).
TEST(WindowProgram, SignalsCloseTheWindow) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    testing_rig::TempDir dir;
    Program p({"--simulate", "--app-dir", dir.Path().string()}, [] {
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    });
    ASSERT_TRUE(p.WaitUntilItCatches(sig));
    p.Signal(sig);
    EXPECT_EQ(p.Wait(), 0);
  }
}

// Without the kernel's uinput device the program says so once and still reads and shows tags.
TEST(HeadlessProgram, NoUinputIsSaidInOneLineAndReadingGoesOn) {
  if (::access("/dev/uinput", F_OK) == 0) GTEST_SKIP() << "/dev/uinput exists here: the uinput tests use it";
  testing_rig::TempDir dir;
  Program p({"--headless", "--simulate", "--keys", "uinput", "--app-dir", dir.Path().string()},
            [] { ::dup2(STDOUT_FILENO, STDERR_FILENO); });
  ASSERT_TRUE(p.WaitFor("Version: Pelmor (WCE) v3.05")) << p.Output();
  p.Send("key F24 down");
  ASSERT_TRUE(p.WaitFor("Tag found! (999000012345678) \r\n")) << p.Output();
  p.Send("key F24 up");
  p.Send("quit");
  EXPECT_EQ(p.Wait(), 0) << p.Output();
  const std::string& out = p.Output();
  const size_t said = out.find("pelmor: codes are not typed: --keys uinput: ");
  ASSERT_NE(said, std::string::npos) << out;
  EXPECT_NE(out.find("modprobe uinput", said), std::string::npos) << out;
  EXPECT_EQ(out.find("uinput", out.find('\n', said)), std::string::npos) << "said more than once:\n" << out;
}

TEST(HeadlessProgram, BadCommandLine) {
  Program p({"--keys", "morse"});
  EXPECT_EQ(p.Wait(), 2);
}

}  // namespace
