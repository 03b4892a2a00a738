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
#include "tests/integration/Program.h"

namespace {

using testing_program::kBudgetMs;
using testing_program::Program;

TEST(HeadlessProgram, SimulatedSessionFromStartToQuit) {
  testing_rig::TempDir dir;
  Program p({"--headless", "--simulate", "--app-dir", dir.Path().string()});
  ASSERT_TRUE(p.WaitFor("Version: Pelmor (WCE) v3.05")) << p.Output();
  EXPECT_EQ(p.Output().rfind("Connected...\r\nFirmwareversion: LF2.01\r\nCommandset: CRSWI\r\n", 0), 0u) << p.Output();
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
  Program p({"--headless", "--port", (dir.Path() / "no-such-tty").string(), "--app-dir", dir.Path().string()});
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
  Program p({"--headless", "--simulate", "--app-dir", dir.Path().string()}, [] { ::signal(SIGHUP, SIG_IGN); });
  ASSERT_TRUE(p.WaitFor("Version: ")) << p.Output();
  EXPECT_TRUE(p.Ignores(SIGHUP));
  EXPECT_FALSE(p.Catches(SIGHUP));
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0) << p.Output();
}

// The window run closes its main window on each of them; the exit status tells a close (0)
// from a kill (128 + the signal). The window run has no log on standard output: its events
// there say when it is up (under Valgrind every signal reads as caught from the start, so
// the signal mask alone cannot tell).
TEST(WindowProgram, SignalsCloseTheWindow) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    testing_rig::TempDir dir;
    Program p({"--simulate", "--app-dir", dir.Path().string(), "--events", "-"}, [] {
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    });
    ASSERT_TRUE(p.WaitFor("\"event\":\"version\"")) << p.Output();
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

TEST(HeadlessProgram, BadCommandLine) {
  Program p({"--keys", "morse"});
  EXPECT_EQ(p.Wait(), 2);
}

}  // namespace
