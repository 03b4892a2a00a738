// The main window's receive side on a port it watches for input: the headless host on its
// virtual clock, the port a real pseudo-terminal whose master plays the reader. Each step
// waits (bounded, in real time) until the kernel holds the bytes written, then lets the
// virtual loop run, so the moments seen are those of the virtual clock.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/PosixSerialPorts.h"
#include "platform/linux/UniqueFd.h"
#include "tests/app/Rig.h"

namespace {

using platform::UniqueFd;

struct Pacing : ::testing::Test {
  UniqueFd master;
  UniqueFd slave;  // kept open so the pseudo-terminal stays up between the program's opens
  std::string path;
  fw::HeadlessHost host;  // virtual clock
  testing_rig::TempDir dir;
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  testing_rig::FakeSupply supply;
  std::unique_ptr<platform::PosixSerialPorts> serial;
  std::unique_ptr<CMainDialog> dlg;
  // The reset lines ("X...") handed over, with the virtual moment of each.
  std::vector<std::pair<uint64_t, std::string>> handed;

  void SetUp() override {
    int m = -1;
    int s = -1;
    char name[128] = {};
    ASSERT_EQ(::openpty(&m, &s, name, nullptr, nullptr), 0);
    master = UniqueFd(m);
    slave = UniqueFd(s);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    path = name;
    serial = std::make_unique<platform::PosixSerialPorts>(path);
    dlg = std::make_unique<CMainDialog>(host, MainDialogServices{*serial, hotKeys, keys, sound, supply, dir.Path()});
    bool afterReset = false;
    dlg->SetLogObserver([this, afterReset](const fw::WString& text) mutable {
      if (afterReset) handed.emplace_back(host.NowMs(), fw::ToUtf8(text));
      afterReset = text.ends_with(u"Reset Reader:\r\n");
    });
    dlg->Create(nullptr);
    ASSERT_NE(dlg->m_hComm, 0u);
    Quiet(200);
  }
  void TearDown() override { dlg.reset(); }

  int PortFd() { return serial->ReadinessFd(dlg->m_hComm); }
  // The program's writes ('V' at the start) are read off so they never fill the master.
  void Drain() {
    char chunk[256];
    while (::read(master.Get(), chunk, sizeof chunk) > 0) {
    }
  }
  // The reader sends bytes; returns once the program's side holds all of them.
  void Send(const std::string& bytes) {
    Drain();
    int before = 0;
    ::ioctl(PortFd(), FIONREAD, &before);
    ASSERT_EQ(::write(master.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int buffered = 0;
    while ((::ioctl(PortFd(), FIONREAD, &buffered) != 0 || buffered < before + static_cast<int>(bytes.size())) &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{master.Get(), POLLIN, 0};
      ::poll(&p, 1, 1);
    }
    ASSERT_GE(buffered, before + static_cast<int>(bytes.size()));
  }
  // Runs the virtual loop, fd watches included, for ms.
  void Quiet(uint64_t ms) {
    host.RunUntil([] { return false; }, ms);
  }
  void RunUntilHanded(size_t n) {
    ASSERT_TRUE(host.RunUntil([&] { return handed.size() >= n; }, 1000)) << handed.size();
  }
  bool ReceiveTickRuns() { return host.TimerPeriod(res::IDD_MAIN, CMainDialog::kReceiveTimerId) != 0; }
};

using Handed = std::vector<std::pair<uint64_t, std::string>>;

TEST_F(Pacing, LinesAreHandedAsTheyArriveAtMostOnePer50Ms) {
  // A watched port that holds nothing needs no receive tick.
  EXPECT_FALSE(ReceiveTickRuns());
  const uint64_t t0 = host.NowMs();
  // After a quiet 50 ms a line goes at once.
  Send("X1\r");
  RunUntilHanded(1);
  // Two lines buffered together still arrive 50 ms apart, the second 50 ms after the first.
  Send("X2\rX3\r");
  RunUntilHanded(3);
  // A line 20 ms after the one before waits for the rest of the 50 ms...
  Quiet(20);
  Send("X4\r");
  RunUntilHanded(4);
  // ...and one after a longer pause does not.
  Quiet(80);
  const uint64_t t5 = host.NowMs();
  Send("X5\r");
  RunUntilHanded(5);
  EXPECT_EQ(handed, (Handed{{t0, "X1"}, {t0 + 50, "X2"}, {t0 + 100, "X3"}, {t0 + 150, "X4"}, {t5, "X5"}}));
  EXPECT_FALSE(ReceiveTickRuns());
}

TEST_F(Pacing, PartialLineLivesWhileBytesComeAndDiesAfterATickWithout) {
  Send("X6");
  Quiet(30);
  // The partial line needs the tick that checks it for staleness.
  EXPECT_TRUE(ReceiveTickRuns());
  Send("7\r");
  RunUntilHanded(1);
  // Noise without its carriage return: a tick later it is gone, and with it the tick.
  Send("Xjunk");
  Quiet(150);
  EXPECT_FALSE(ReceiveTickRuns());
  Send("X8\r");
  RunUntilHanded(2);
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].second, "X67");
  EXPECT_EQ(handed[1].second, "X8");
}

TEST(PacingFallback, PortThatCannotBeWatchedIsPolledByTheTick) {
  testing_rig::Rig r;
  r.Start();
  EXPECT_EQ(r.host.TimerPeriod(res::IDD_MAIN, CMainDialog::kReceiveTimerId), CMainDialog::kReceivePeriodMs);
  r.ClearLog();
  r.Feed("X1\rX2\r");
  r.host.Advance(CMainDialog::kReceivePeriodMs - 1);
  EXPECT_EQ(r.Log(), "");
  r.host.Advance(1);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nX1");
  r.Ticks(1);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nX1Reset Reader:\r\nX2");
}

// A port that says it has input but fails every read with an error other than its going
// away (a driver in trouble): it is looked at once per tick period, not at every turn of
// the loop, and is read again as soon as it works.
TEST(PacingFallback, PortThatFailsToReadDoesNotSpinTheLoop) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  ASSERT_EQ(::write(writeEnd.Get(), "x", 1), 1);  // readable for good: the fake never reads it
  testing_rig::Rig r;
  r.serial.readinessFd = readEnd.Get();
  r.Start();
  r.ClearLog();
  r.serial.failRead = true;
  r.serial.readCalls = 0;
  r.host.RunUntil([] { return false; }, 1000);
  EXPECT_GE(r.serial.readCalls, 10);
  EXPECT_LE(r.serial.readCalls, 2 * 1000 / static_cast<int>(CMainDialog::kReceivePeriodMs));
  EXPECT_NE(r.dlg->m_hComm, 0u);  // not taken for a lost reader
  r.serial.failRead = false;
  r.Feed("X1\r");
  r.host.RunUntil([&] { return !r.Log().empty(); }, 2 * CMainDialog::kReceivePeriodMs);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nX1");
}

}  // namespace
