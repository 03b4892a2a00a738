// The main window's start, connection toggle, secondary dialogs and closing.

#include <gtest/gtest.h>

#include "download/DownloadDialog.h"
#include "tests/app/Rig.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;
using testing_rig::Rig;

TEST(MainDialogStart, ConnectsAndAsksForTheVersionAfterTheFixedWaits) {
  Rig r;
  r.Start();
  // 100 ms before connecting, 150 ms after switching the reader on, 200 ms before 'V'.
  EXPECT_EQ(r.host.sleeps, (std::vector<unsigned>{100, 150, 200}));
  EXPECT_EQ(r.host.NowMs(), 450u);
  EXPECT_EQ(r.serial.WriteCalls(), (std::vector<std::string>{"V\r"}));
  EXPECT_EQ(r.Log(), "Connected...\r\n");
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true}));
  EXPECT_EQ(r.Window()->icon, IDR_MAINFRAME);
  EXPECT_TRUE(r.Window()->centred);
  // The start-up sound: the simple beep, then the default beep for the missing folder.
  ASSERT_GE(r.sound.beeps.size(), 2u);
  EXPECT_EQ(r.sound.beeps[0], 0xFFFFFFFFu);
  EXPECT_EQ(r.sound.beeps[1], 0u);
}

TEST(MainDialogStart, ConnectAppliesPortSettingsAndTimeouts) {
  Rig r;
  r.Start();
  const platform::Dcb dcb = r.serial.LastState();
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_TRUE(dcb.fParity);
  const platform::CommTimeouts t = r.serial.LastTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, platform::MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  // The write time-outs keep the driver's values.
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, r.serial.timeoutsOnOpen.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, r.serial.timeoutsOnOpen.WriteTotalTimeoutConstant);
}

TEST(MainDialogStart, ControlsAfterConnect) {
  Rig r;
  r.Start();
  EXPECT_EQ(r.Text(IDC_CONNECT), "Disconnect");
  EXPECT_TRUE(r.Control(IDC_CONNECT).enabled);
  EXPECT_TRUE(r.Control(IDC_GETVERSION).enabled);
  EXPECT_TRUE(r.Control(IDC_READ).enabled);
  EXPECT_FALSE(r.Control(IDC_WRITE).enabled);  // a connect does not enable "Write"
  EXPECT_EQ(r.host.TimerPeriod(IDD_MAIN, 1), 50u);
  EXPECT_EQ(r.dlg->m_nTimerId, 1u);
  ASSERT_EQ(r.hotKeys.registered.size(), 2u);
  EXPECT_EQ(r.hotKeys.registered[0xBFFF].vk, 0x85u);
  EXPECT_EQ(r.hotKeys.registered[0xBFFF].modifiers, 0x1000u);
  EXPECT_EQ(r.hotKeys.registered[0xBFFE].vk, 0x87u);
  EXPECT_EQ(r.hotKeys.released, (std::vector<std::pair<unsigned, unsigned>>{{0x1000, 0x85}, {0x1000, 0x87}}));
}

TEST(MainDialogStart, FailedOpenShowsTheBoxAndEndsTheApplication) {
  Rig r;
  r.serial.failOpen = true;
  r.Start();
  ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
  const auto& box = r.host.MessageBoxes()[0];
  EXPECT_EQ(box.caption, u"Error");
  EXPECT_EQ(box.text,
            u"ERROR while opening comport\r\nMaybe another Pelmor application is running?\r\n"
            u"When not than probably the comport is not right configured, walk through 'Step1' "
            u"of the Pelmor software manual.");
  EXPECT_FALSE(r.dlg->IsWindow());
  EXPECT_TRUE(r.dlg->OpenFailed());
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  EXPECT_TRUE(r.host.Timers().empty());
  // Sound event 2: no file, so its beep 0x10.
  EXPECT_NE(std::find(r.sound.beeps.begin(), r.sound.beeps.end(), 0x10u), r.sound.beeps.end());
  EXPECT_TRUE(r.serial.WriteCalls().empty());
}

TEST(MainDialogStart, FailedOpenLogsBeforeTheBox) {
  Rig r;
  r.serial.failOpen = true;
  std::string logAtBox;
  r.host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
    logAtBox = r.Log();
    EXPECT_FALSE(r.Control(IDC_HIDE).enabled);
    return fw::IDOK;
  });
  r.Start();
  EXPECT_EQ(logAtBox, "ERROR while opening comport\r\n");
}

TEST(MainDialogConnect, PowerOnFailureLeavesThePortOpenButUnpowered) {
  Rig r;
  r.supply.failOn = true;
  r.Start();
  // The switch logs its reason, then the connect its own line.
  EXPECT_EQ(r.Log(), "The function failed\r\nSwitch reader on Error\r\n");
  EXPECT_EQ(r.Text(IDC_CONNECT), "Connect");
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_TRUE(r.host.Timers().empty());
  EXPECT_TRUE(r.hotKeys.registered.empty());
  // The driver's settings stay.
  EXPECT_EQ(r.serial.LastState(), platform::Dcb{});
  // The version command still goes out on the open port.
  EXPECT_EQ(r.serial.Written(), "V\r");

  r.ClearLog();
  r.Click(IDC_CONNECT);
  EXPECT_EQ(r.Log(), "Successfully disconnected!\r\n");
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  EXPECT_FALSE(r.serial.IsOpen());
  EXPECT_EQ(r.supply.calls.back(), false);
}

TEST(MainDialogConnect, SettingFailuresAreLoggedWithTheSystemText) {
  Rig r;
  r.serial.failSetTimeouts = true;
  r.serial.failSetState = true;
  r.Start();
  EXPECT_EQ(r.Log(), "Connected...\r\nTimeout: Fake error 31\r\nCommState: Fake error 31\r\n\r\n");
  EXPECT_EQ(r.Text(IDC_CONNECT), "Disconnect");
}

TEST(MainDialogConnect, HotKeyFailuresAreLogged) {
  Rig r;
  r.hotKeys.failRegister = true;
  r.hotKeys.hasReleaseStep = false;
  r.Start();
  EXPECT_EQ(r.Log(), "Connected...\r\nHotkey failed F22\r\nHotkey failed F24\r\n");
  EXPECT_EQ(r.hotKeys.registerCalls, 2);
}

TEST(MainDialogConnect, DisconnectAndConnectAgain) {
  Rig r;
  r.Start();
  r.dlg->OnOptionChanged();
  ASSERT_TRUE(r.Control(IDC_WRITE).enabled);
  r.ClearLog();

  r.Click(IDC_CONNECT);
  EXPECT_EQ(r.Log(), "Successfully disconnected!\r\n");
  EXPECT_EQ(r.Text(IDC_CONNECT), "Connect");
  EXPECT_FALSE(r.Control(IDC_GETVERSION).enabled);
  EXPECT_FALSE(r.Control(IDC_READ).enabled);
  EXPECT_FALSE(r.Control(IDC_WRITE).enabled);
  EXPECT_EQ(r.host.TimerPeriod(IDD_MAIN, 1), 0u);
  // The keys stay taken until the window closes.
  EXPECT_EQ(r.hotKeys.registered.size(), 2u);
  EXPECT_EQ(r.supply.calls.back(), false);

  r.ClearLog();
  r.Click(IDC_CONNECT);
  EXPECT_EQ(r.Log(), "Connected...\r\n");
  EXPECT_EQ(r.serial.openCount, 2);
  EXPECT_EQ(r.hotKeys.registerCalls, 4);
  EXPECT_EQ(r.serial.LastState().BaudRate, 9600u);
  EXPECT_FALSE(r.Control(IDC_WRITE).enabled);
}

TEST(MainDialogConnect, PowerOffFailureAtDisconnectIsLogged) {
  Rig r;
  r.Start();
  r.supply.failOff = true;
  r.ClearLog();
  r.Click(IDC_CONNECT);
  EXPECT_EQ(r.Log(), "Successfully disconnected!\r\nThe function failed\r\nSwitch reader off Error \r\n");
  EXPECT_EQ(r.dlg->m_hComm, 0u);
}

TEST(MainDialogCommands, OneLetterCommandsWhileDisconnected) {
  const struct {
    int button;
    const char* log;
  } cases[] = {
      {IDC_GETVERSION, "No communication \r\nFirst connect \r\nGet Version Error \r\n"},
      {IDC_READ, "No communication \r\nFirst connect \r\nGet Version Error \r\n"},
      {IDC_TRIGGER, "No communication \r\nFirst connect \r\nSend Trigger Error \r\n"},
  };
  for (const auto& c : cases) {
    Rig r;
    r.Start();
    r.Click(IDC_CONNECT);
    r.ClearLog();
    r.serial.ClearWritten();
    r.Click(c.button);
    EXPECT_EQ(r.Log(), c.log);
    EXPECT_EQ(r.serial.Written(), "");
  }
}

TEST(MainDialogCommands, OneLetterCommandsAreTwoBytesInOneWrite) {
  Rig r;
  r.Start();
  r.serial.ClearWritten();
  r.Click(IDC_GETVERSION);
  r.Click(IDC_TRIGGER);
  r.Click(IDC_READ);
  const std::vector<std::string> expected{"V\r", "S\r", "C\r"};
  EXPECT_EQ(r.serial.WriteCalls(), expected);
}

TEST(MainDialogCommands, ShortOrFailedWritesAreLogged) {
  Rig r;
  r.Start();
  r.ClearLog();
  r.serial.writeLimit = 1;
  r.Click(IDC_GETVERSION);
  EXPECT_EQ(r.Log(), "Commando not send \r\nGet Version Error \r\n");
  r.ClearLog();
  r.serial.writeLimit = -1;
  r.serial.failWrite = true;
  r.Click(IDC_TRIGGER);
  EXPECT_EQ(r.Log(), "Commando not send \r\nSend Trigger Error \r\n");
}

TEST(MainDialogConnect, WriteThatFindsTheDeviceGoneLetsThePortGoAndWatchesForIt) {
  Rig r;
  r.Start();
  r.ClearLog();
  r.serial.failWrite = true;
  r.serial.lastErrorOnFailure = platform::kErrDeviceGone;
  r.Click(IDC_GETVERSION);
  r.Ticks(1);
  EXPECT_EQ(r.Log(), "Commando not send \r\nGet Version Error \r\nReader lost on COM1:\r\n");
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  EXPECT_EQ(r.Text(IDC_CONNECT), "Connect");
  // The port is tried once a second; the first open that works takes the reader again.
  r.serial.failWrite = false;
  r.serial.failOpen = true;
  r.host.Advance(3 * CMainDialog::kReconnectPeriodMs);
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  EXPECT_TRUE(r.host.MessageBoxes().empty());
  r.serial.failOpen = false;
  r.serial.ClearWritten();
  r.host.Advance(CMainDialog::kReconnectPeriodMs);
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_EQ(r.serial.Written(), "V\r");
  EXPECT_FALSE(r.dlg->IsWatchingForReader());
}

TEST(MainDialogClose, EnterAndEscapeKeepTheWindowTheCloseRequestEndsIt) {
  // Enter after typing a prefix used to end the program, and the settings with it.
  Rig r;
  r.Start();
  r.dlg->DispatchCommand(fw::IDOK, fw::Notify::Clicked);
  r.dlg->DispatchCommand(fw::IDCANCEL, fw::Notify::Clicked);
  EXPECT_TRUE(r.dlg->IsWindow());
  EXPECT_EQ(r.hotKeys.registered.size(), 2u);
  r.dlg->DispatchClose();
  EXPECT_TRUE(r.hotKeys.registered.empty());
}

TEST(MainDialogSecondary, DialogsOpenWithTheHandleAlsoWhileDisconnected) {
  Rig r;
  r.Start();
  const auto handle = r.dlg->m_hComm;
  r.Click(IDC_WRITE_TAG);
  ASSERT_NE(r.dlg->WriteTagDialog(), nullptr);
  EXPECT_EQ(r.dlg->WriteTagDialog()->m_hComm, handle);
  auto* wt = r.host.FindWindow(IDD_WRITETAG);
  ASSERT_NE(wt, nullptr);
  EXPECT_TRUE(wt->IsWindowVisible());
  EXPECT_EQ(wt->Owner(), r.dlg.get());

  r.Click(IDC_CONNECT);  // disconnect
  r.Click(IDC_FIRMWARE);
  ASSERT_NE(r.dlg->DownloadDialog(), nullptr);
  EXPECT_EQ(r.dlg->DownloadDialog()->m_hComm, 0u);
  EXPECT_TRUE(r.host.FindWindow(IDD_DOWNLOAD)->IsWindowVisible());
}

TEST(MainDialogSecondary, DialogBroughtToTheFrontWritesThroughTheCurrentPort) {
  // Opened while disconnected, a dialog used to keep the handle 0 after a connect: its
  // commands went nowhere.
  Rig r;
  r.Start();
  r.Click(IDC_CONNECT);
  r.Click(IDC_WRITE_TAG);
  r.Click(IDC_FIRMWARE);
  r.Click(IDC_CONNECT);
  r.Click(IDC_WRITE_TAG);
  r.Click(IDC_FIRMWARE);
  r.serial.ClearWritten();
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  wt->SetDlgItemText(IDC_WT_CODE, u"12345");
  wt->DispatchCommand(IDC_WT_WRITE_CODE, fw::Notify::Clicked);
  r.host.Advance(20);
  EXPECT_NE(r.serial.Written().find("w20E91443A2\r"), std::string::npos) << r.serial.Written();
  ASSERT_NE(r.dlg->DownloadDialog(), nullptr);
  EXPECT_EQ(r.dlg->DownloadDialog()->m_hComm, r.dlg->m_hComm);
}

TEST(MainDialogSecondary, SecondPressBringsTheOpenDialogToTheFront) {
  Rig r;
  r.Start();
  r.Click(IDC_WRITE_TAG);
  CWriteTagDialog* first = r.dlg->WriteTagDialog();
  r.Click(IDC_WRITE_TAG);
  EXPECT_EQ(r.dlg->WriteTagDialog(), first);
  EXPECT_EQ(r.host.FindWindow(IDD_WRITETAG)->broughtToFront, 1);
  size_t count = 0;
  for (auto* w : r.host.Windows()) count += w->Template().id == IDD_WRITETAG;
  EXPECT_EQ(count, 1u);

  // Once closed, the next press makes a new dialog.
  first->DestroyWindow();
  r.Click(IDC_WRITE_TAG);
  ASSERT_NE(r.dlg->WriteTagDialog(), nullptr);
  EXPECT_TRUE(r.dlg->WriteTagDialog()->IsWindow());
}

TEST(MainDialogClosing, CloseRequestGivesTheKeysBack) {
  Rig r;
  r.Start();
  ASSERT_EQ(r.hotKeys.registered.size(), 2u);
  r.dlg->DispatchClose();
  EXPECT_TRUE(r.hotKeys.registered.empty());
  // A modeless main window is destroyed by the close; the disconnect runs with it.
  EXPECT_FALSE(r.dlg->IsWindow());
  EXPECT_EQ(r.dlg->m_hComm, 0u);
}

TEST(MainDialogClosing, DestroyWhileConnectedRunsTheWholeDisconnect) {
  Rig r;
  r.Start();
  r.Click(IDC_WRITE_TAG);
  r.dlg->DestroyWindow();
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  EXPECT_FALSE(r.serial.IsOpen());
  EXPECT_EQ(r.supply.calls.back(), false);
  EXPECT_TRUE(r.host.Timers().empty());
  // The secondary windows went with it.
  EXPECT_EQ(r.host.FindWindow(IDD_WRITETAG), nullptr);
}

TEST(MainDialogClosing, ObjectDestructionClosesThePortWithoutPowerOff) {
  Rig r;
  r.supply.failOn = true;  // open but unpowered: the port stays open
  r.Start();
  r.dlg->DestroyWindow();  // runs the disconnect: closes the port
  EXPECT_EQ(r.serial.closeCount, 1);

  Rig r2;
  r2.Start();
  const size_t powerCalls = r2.supply.calls.size();
  // The object goes without its window being destroyed first: the port is closed, the
  // reader left as it is.
  r2.dlg.reset();
  EXPECT_EQ(r2.serial.closeCount, 1);
  EXPECT_EQ(r2.supply.calls.size(), powerCalls);
}

}  // namespace
