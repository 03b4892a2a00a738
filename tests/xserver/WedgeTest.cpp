// The keyboard wedge from end to end: the pelmor program hidden under a real X server
// (Xvfb, started by the test), the scan button pressed through XTEST, the emulator's tag
// typed into another client's window that has the focus, the orange key restoring the
// program's window.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/xserver/Xvfb.h"
// Xlib last: its macros clash with names in the headers above.
#include "tests/xserver/XClient.h"

namespace {

using std::chrono::milliseconds;
using xtest::Press;

// The program starts Qt and its emulator under sanitizers: its window may take a while.
constexpr milliseconds kStartTimeout{30000};
constexpr milliseconds kExitTimeout{10000};
constexpr unsigned kF24Keycode = 202;
constexpr unsigned kF22Keycode = 200;
// The emulator's tag, as the code is typed with "No space" and "cr" ticked.
// Prefix keys A and B, the code without its blanks, the suffix key Tab, then Enter for "cr".
constexpr const char* kTypedCode = "ab999000012345678\t\r";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmor-wedge-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The program under test, its standard output and error collected for failure messages.
class Program {
 public:
  Program(const std::vector<std::string>& args, const std::string& display) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      ::setenv("DISPLAY", display.c_str(), 1);
      ::setenv("QT_QPA_PLATFORM", "xcb", 1);
      std::vector<std::string> all = args;
      all.insert(all.begin(), PELMOR_BINARY);
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(PELMOR_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }

  // Sends SIGTERM and waits for the end; the exit status, or -1 when it did not end in
  // time.
  int Terminate() {
    ::kill(pid_, SIGTERM);
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    const auto deadline = std::chrono::steady_clock::now() + kExitTimeout;
    int result = -1;
    for (;;) {
      Collect();
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        Collect();
        result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || pidFd < 0) break;
      pollfd p[2] = {{pidFd, POLLIN, 0}, {out_, POLLIN, 0}};
      ::poll(p, out_ >= 0 ? 2 : 1, static_cast<int>(left.count()));
    }
    if (pidFd >= 0) ::close(pidFd);
    return result;
  }
  // What the program wrote so far.
  const std::string& Output() {
    Collect();
    return output_;
  }

 private:
  void Collect() {
    while (out_ >= 0) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) {
        ::close(out_);
        out_ = -1;
        return;
      }
      output_.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string output_;
};

bool IsPelmorWindow(Display* d, Window w) {
  // The window may be gone by the time it is asked about.
  xtest::ErrorCatcher catcher(d);
  char* name = nullptr;
  const bool named = XFetchName(d, w, &name) != 0 && name;
  const bool pelmor = named && std::string(name) == "Pelmor";
  if (name) XFree(name);
  return catcher.Sync() == 0 && pelmor;
}

// Whether a top-level window named "Pelmor" is on the screen. Qt makes a new X window
// when the window's flags change (hidden mode keeps it on top), so the window is looked
// for by its name each time.
bool PelmorShown(Display* d) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return false;
  bool shown = false;
  for (unsigned i = 0; i < count && !shown; ++i) {
    xtest::ErrorCatcher catcher(d);
    XWindowAttributes attributes{};
    const bool known = XGetWindowAttributes(d, children[i], &attributes) && catcher.Sync() == 0;
    shown = known && attributes.map_state == IsViewable && IsPelmorWindow(d, children[i]);
  }
  if (children) XFree(children);
  return shown;
}

// The program under Xvfb, hidden with its settings, and a focused window of the test's own
// that receives what it types.
class Wedge : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    ASSERT_TRUE(client.Open(server.Name()));
    ASSERT_TRUE(client.CreateFocusWindow());
    d = client.display();
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);

    // The program hides itself once its settings are loaded.
    ASSERT_FALSE(dir.Path().empty());
    std::ofstream(dir.Path() / "Config.ini") << "NO_SPACE=1\r\nADD_CR=1\r\nADD_TAB=0\r\nPREFIX=1\r\nPREFIX:41:42\r\n"
                                                "SUFFIX=1\r\nSUFFIX:09\r\nAUTOHIDE=1\r\n";
    args.insert(args.end(), {"--simulate", "--keys", "xtest", "--app-dir", dir.Path().string()});
    program = std::make_unique<Program>(args, server.Name());
    ASSERT_TRUE(program->Started());

    bool cameUp = false;
    bool hidden = false;
    client.onEvent = [&](const XEvent& e) {
      if (e.type == MapNotify && !cameUp && IsPelmorWindow(d, e.xmap.window)) cameUp = true;
      if (e.type == UnmapNotify && cameUp && IsPelmorWindow(d, e.xunmap.window)) hidden = true;
    };
    // The first hiding after the window came up is hidden mode: the scan keys were taken
    // before (at connect), and the program handles the keys below only after it is hidden.
    ASSERT_TRUE(xtest::PumpUntil(
        client.Fd(), pump, [&] { return hidden; }, kStartTimeout))
        << "the program's window did not come up and hide; output:\n"
        << program->Output();
    client.onEvent = nullptr;
  }

  // Waits until the focused window received text.
  bool Received(const std::string& text, milliseconds timeout = xtest::kEventTimeout) {
    return xtest::PumpUntil(
        client.Fd(), pump, [&] { return client.Text() == text; }, timeout);
  }

  xtest::Xvfb server;
  xtest::XClient client;
  Display* d = nullptr;
  TempDir dir;
  std::unique_ptr<Program> program;
  std::function<void()> pump = [this] { client.Pump(); };
};

TEST_F(Wedge, TheHiddenProgramTypesTheTagIntoTheFocusedWindow) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  {
    xtest::ErrorCatcher catcher(d);
    XGrabKey(d, kF24Keycode, AnyModifier, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync);
    ASSERT_EQ(catcher.Sync(), BadAccess) << "the program did not grab the scan button";
  }

  // Scan button held: the window shows, the reader reads, the code goes to the focus.
  client.FakeKey(kF24Keycode, Press::Down);
  EXPECT_TRUE(xtest::PumpUntil(client.Fd(), pump, [&] { return client.Text().find('\r') != std::string::npos; }))
      << "typed: " << client.Text() << "\noutput:\n"
      << program->Output();
  EXPECT_EQ(client.Text(), kTypedCode);
  // The program hides its window again after the read.
  EXPECT_TRUE(xtest::PumpUntil(client.Fd(), pump, [&] { return !PelmorShown(d); }));

  // Released, then the orange key: the window comes back.
  client.FakeKey(kF24Keycode, Press::Up);
  client.FakeKey(kF22Keycode, Press::Down);
  client.FakeKey(kF22Keycode, Press::Up);
  EXPECT_TRUE(xtest::PumpUntil(client.Fd(), pump, [&] { return PelmorShown(d); }))
      << "the orange key did not restore the window";
  EXPECT_EQ(client.Text(), kTypedCode) << "keys typed after the code";

  EXPECT_EQ(program->Terminate(), 0) << program->Output();
}

// With a key delay, no two key events reach the window closer than the delay (by the
// server's time stamps), and a code read while the one before is still being typed follows
// it whole.
TEST_F(Wedge, KeyDelaySpacesEveryKeyEventAndCodesFollowEachOtherWhole) {
  constexpr Time kDelayMs = 30;
  ASSERT_NO_FATAL_FAILURE(Start({"--key-delay", std::to_string(kDelayMs)}));

  // The scan button is pressed again as soon as the first code has started to arrive, and
  // held until the second code is there: releasing it switches the reader off.
  client.FakeKey(kF24Keycode, Press::Down);
  ASSERT_TRUE(xtest::PumpUntil(client.Fd(), pump, [&] { return !client.Text().empty(); })) << "nothing typed; output:\n"
                                                                                           << program->Output();
  client.FakeKey(kF24Keycode, Press::Up);
  client.FakeKey(kF24Keycode, Press::Down);
  const std::string both = std::string(kTypedCode) + kTypedCode;
  // About 80 key events, each 30 ms or more apart.
  EXPECT_TRUE(Received(both, milliseconds{20000})) << "typed: " << client.Text() << "\noutput:\n" << program->Output();
  client.FakeKey(kF24Keycode, Press::Up);

  // The scan button's release reaches the focus window: the program's grab ends at its press.
  std::vector<Time> times;
  const auto codeKeyEvents = [&] {
    times.clear();
    for (const auto& e : client.KeyEvents())
      if (e.keycode != kF24Keycode) times.push_back(e.time);
    return times.size() >= 2 * both.size();  // a press and a release per character
  };
  ASSERT_TRUE(xtest::PumpUntil(client.Fd(), pump, codeKeyEvents)) << times.size() << " key events";
  std::string gaps;
  Time shortest = times[1] - times[0];
  for (size_t i = 1; i < times.size(); ++i) {
    shortest = std::min(shortest, times[i] - times[i - 1]);
    gaps += std::to_string(times[i] - times[i - 1]) + " ";
  }
  EXPECT_GE(shortest, kDelayMs) << "gaps (ms): " << gaps;

  EXPECT_EQ(program->Terminate(), 0) << program->Output();
}

}  // namespace
