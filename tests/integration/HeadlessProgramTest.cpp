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

#include "tests/app/Rig.h"
#include "tests/integration/Program.h"

namespace {

using testing_program::kBudgetMs;
using testing_program::Program;

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
