// The receive tick of the main window: lines from the port, the scan key injection.

#include <gtest/gtest.h>

#include "tests/app/Rig.h"

namespace {

using namespace res;
using testing_rig::Rig;

TEST(ReceiveLoop, TwoBufferedLinesTakeTwoTicks) {
  Rig r;
  r.Start();
  r.ClearLog();
  r.Feed("Xone\rXtwo\r");
  r.Ticks(1);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nXone");
  r.Ticks(1);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nXoneReset Reader:\r\nXtwo");
}

TEST(ReceiveLoop, LineSplitAcrossTicksArrivesWhole) {
  Rig r;
  r.Start();
  r.ClearLog();
  r.Feed("08999");
  r.Ticks(1);
  r.Feed("0001234Z\r");
  r.Ticks(1);
  EXPECT_EQ(r.Text(IDC_TYPE), "Type: ISO FDX-b");
  EXPECT_EQ(r.Text(IDC_CODE), "Code: 9990001234");
}

TEST(ReceiveLoop, LoneCarriageReturnReachesTheParser) {
  Rig r;
  r.Start();
  r.SetCheck(IDC_USE_TRIGGER, true);
  ASSERT_FALSE(r.Control(IDC_TRIGGER).enabled);
  // An empty line is a tag line of unknown type: only the trigger button follows the box.
  r.Line("");
  EXPECT_TRUE(r.Control(IDC_TRIGGER).enabled);
}

TEST(ReceiveLoop, OtherTimerIdsDoNothing) {
  Rig r;
  r.Start();
  r.dlg->m_bHidden = true;
  r.dlg->m_bScanKeyDown = true;
  r.Feed("Xreset\r");
  const int reads = r.serial.readCalls;
  for (int i = 0; i < 30; ++i) r.dlg->DispatchTimer(2);
  EXPECT_EQ(r.serial.readCalls, reads);
  EXPECT_TRUE(r.keys.keys.empty());
  EXPECT_EQ(r.serial.Pending(), 7u);
}

TEST(ReceiveLoop, ScanKeyEventEveryTwelfthTickWhileHiddenAndHeld) {
  Rig r;
  r.Start();
  r.dlg->m_bHidden = true;
  r.dlg->m_bScanKeyDown = true;
  r.Ticks(11);
  EXPECT_TRUE(r.keys.keys.empty());
  r.Ticks(1);
  ASSERT_EQ(r.keys.keys.size(), 1u);
  EXPECT_EQ(r.keys.keys[0], (platform::RecordingKeyOutput::KeyEvent{0x5F, false}));
  r.Ticks(12);
  EXPECT_EQ(r.keys.keys.size(), 2u);
  // Only key-down events.
  for (const auto& k : r.keys.keys) EXPECT_FALSE(k.up);
}

TEST(ReceiveLoop, CounterKeepsItsValueWhileNotHeld) {
  Rig r;
  r.Start();
  r.dlg->m_bHidden = true;
  r.dlg->m_bScanKeyDown = true;
  r.Ticks(6);
  r.dlg->m_bScanKeyDown = false;
  r.Ticks(100);
  r.dlg->m_bScanKeyDown = true;
  r.Ticks(5);
  EXPECT_TRUE(r.keys.keys.empty());
  r.Ticks(1);
  EXPECT_EQ(r.keys.keys.size(), 1u);
}

TEST(ReceiveLoop, NoInjectionWhenShownOrNotHeld) {
  Rig r;
  r.Start();
  r.dlg->m_bScanKeyDown = true;
  r.Ticks(50);
  r.dlg->m_bScanKeyDown = false;
  r.dlg->m_bHidden = true;
  r.Ticks(50);
  EXPECT_TRUE(r.keys.keys.empty());
}

TEST(ReceiveLoop, PartialLineIsForgottenAtReconnect) {
  Rig r;
  r.Start();
  r.Feed("08123");
  r.Ticks(1);
  r.Click(IDC_CONNECT);
  r.Click(IDC_CONNECT);
  r.ClearLog();
  r.Feed("Xnew\r");
  r.Ticks(1);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nXnew");
}

TEST(ReceiveLoop, OverlongRunIsDroppedAndItsCarriageReturnIsAnEmptyLine) {
  Rig r;
  r.Start();
  r.SetCheck(IDC_USE_TRIGGER, true);
  ASSERT_FALSE(r.Control(IDC_TRIGGER).enabled);
  r.ClearLog();
  r.Feed(std::string(35, 'X') + "\rXok\r");
  r.Ticks(2);
  EXPECT_TRUE(r.Control(IDC_TRIGGER).enabled);
  EXPECT_EQ(r.Log(), "");
  r.Ticks(1);
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nXok");
}

TEST(ReceiveLoop, StrayByteDoesNotSpoilTheVersionReport) {
  // A glitch byte without a carriage return used to be glued in front of the report, which
  // then went unrecognised: no configuration request, no settings loaded.
  Rig r;
  r.Start();
  r.serial.ClearWritten();
  r.Feed("\xFF");
  r.Ticks(4);
  r.Feed("VLF2.01 CRSWI\r");
  r.Ticks(1);
  EXPECT_EQ(r.serial.Written(), "C\r");
}

TEST(ReceiveLoop, TimerRunsOnlyWhileConnected) {
  Rig r;
  r.Start();
  r.Click(IDC_CONNECT);
  r.Feed("Xlate\r");
  const int reads = r.serial.readCalls;
  r.Ticks(10);
  EXPECT_EQ(r.serial.readCalls, reads);
}

}  // namespace
