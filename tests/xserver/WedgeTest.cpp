// The keyboard wedge from end to end: the pelmor program hidden under a real X server
// (Xvfb, started by the test), the scan button pressed through XTEST, the emulator's tag
// typed into another client's window that has the focus, the orange key restoring the
// program's window.

#include <signal.h>
#include <stdlib.h>
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

#include "tests/integration/Program.h"
#include "tests/support/TempDir.h"
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
    const std::string display = server.Name();
    program = std::make_unique<testing_program::Program>(args, [display] {
      // Its error output goes with the rest, for the failure messages.
      ::dup2(STDOUT_FILENO, STDERR_FILENO);
      ::setenv("DISPLAY", display.c_str(), 1);
      ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    });

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
        << Said();
    client.onEvent = nullptr;
  }

  // What the program wrote so far.
  std::string Said() {
    program->Collect();
    return program->Output();
  }
  // Sends SIGTERM and waits for the end: the exit status, or -1 when it did not end in time.
  int Terminate() {
    program->Signal(SIGTERM);
    return program->Wait(static_cast<int>(kExitTimeout.count()));
  }

  // Waits until the focused window received text.
  bool Received(const std::string& text, milliseconds timeout = xtest::kEventTimeout) {
    return xtest::PumpUntil(
        client.Fd(), pump, [&] { return client.Text() == text; }, timeout);
  }

  xtest::Xvfb server;
  xtest::XClient client;
  Display* d = nullptr;
  testing_rig::TempDir dir;
  std::unique_ptr<testing_program::Program> program;
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
      << Said();
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

  EXPECT_EQ(Terminate(), 0) << Said();
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
                                                                                           << Said();
  client.FakeKey(kF24Keycode, Press::Up);
  client.FakeKey(kF24Keycode, Press::Down);
  const std::string both = std::string(kTypedCode) + kTypedCode;
  // About 80 key events, each 30 ms or more apart.
  EXPECT_TRUE(Received(both, milliseconds{20000})) << "typed: " << client.Text() << "\noutput:\n" << Said();
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

  EXPECT_EQ(Terminate(), 0) << Said();
}

}  // namespace
