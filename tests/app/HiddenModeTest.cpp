// Hidden mode and the scan keys.

#include <gtest/gtest.h>

#include "tests/app/Rig.h"

namespace {

using namespace res;
using testing_rig::Rig;

constexpr int kHiddenByHide[] = {IDC_CONNECT,        IDC_EDIT_PREFIX, IDC_PREFIX,    IDC_GETVERSION,  IDC_TRIGGER,
                                 IDC_RULE,           IDC_READ,        IDC_WRITE,     IDC_ISO_COUNTRY, IDC_ISO_HEX,
                                 IDC_LED_AFTER_READ, IDC_LED_ON,      IDC_READ_ONCE, IDC_USE_TRIGGER};

struct Hidden : ::testing::Test {
  Rig r;
  void SetUp() override {
    r.Start();
    r.ClearLog();
    r.serial.ClearWritten();
    r.supply.calls.clear();
  }
  bool Visible(int id) { return r.Control(id).visible; }
  void Press(unsigned vk, bool down) { ASSERT_TRUE(r.hotKeys.Press(vk, down)); }
};

TEST_F(Hidden, HideAsksFirstThenHides) {
  for (bool trigger : {false, true}) {
    r.host.ClearMessageBoxes();
    r.SetCheck(IDC_USE_TRIGGER, trigger);
    r.dlg->m_bHidden = false;
    r.dlg->ShowWindow(true);
    r.Click(IDC_HIDE);
    ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
    const auto& box = r.host.MessageBoxes()[0];
    EXPECT_EQ(box.caption, u"Information");
    const std::u16string head =
        u"Application will be hidden,\r\nto restore: press-release Orange button first and then "
        u"the Scanbutton.\r\n\n";
    EXPECT_EQ(box.text, head + (trigger ? u"Trigger mode is active, \r\nto activate trigger double "
                                          u"click the scanbutton."
                                        : u"To activate scanner hold the scanbutton down."));
    EXPECT_TRUE(r.dlg->m_bHidden);
    EXPECT_FALSE(r.dlg->IsWindowVisible());
  }
  EXPECT_EQ(r.supply.calls.front(), false);  // the reader goes off before hiding
}

TEST_F(Hidden, EnterHiddenModeLayout) {
  r.dlg->EnterHiddenMode();
  auto* w = r.Window();
  EXPECT_TRUE(w->topmost);
  EXPECT_EQ(w->placement, (fw::Rect{0, 3, 240, 320}));
  EXPECT_EQ(w->region, (fw::Rect{72, 85, 98, 98}));
  for (int id : kHiddenByHide) EXPECT_FALSE(Visible(id)) << id;
  EXPECT_TRUE(Visible(IDC_PIC_SCAN));
  EXPECT_TRUE(Visible(IDC_HIDE));
  EXPECT_FALSE(w->IsWindowVisible());
  EXPECT_TRUE(r.supply.calls.empty());  // only "Hide" switches the reader off
}

TEST_F(Hidden, HideFailsWhenTheReaderCannotBeSwitchedOff) {
  r.supply.failOff = true;
  r.Click(IDC_HIDE);
  EXPECT_EQ(r.Log(), "The function failed\r\nApplication Hide Error \r\n");
  EXPECT_TRUE(r.host.MessageBoxes().empty());
  EXPECT_FALSE(r.dlg->m_bHidden);
  EXPECT_TRUE(r.dlg->IsWindowVisible());
}

TEST_F(Hidden, ScanButtonInHiddenModeWithoutTrigger) {
  r.dlg->EnterHiddenMode();
  Press(platform::VK_F24, true);
  EXPECT_TRUE(r.dlg->m_bScanKeyDown);
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true}));
  EXPECT_TRUE(r.dlg->IsWindowVisible());
  EXPECT_EQ(r.serial.Written(), "S\r");
  Press(platform::VK_F24, true);  // a second press without release is ignored
  EXPECT_EQ(r.serial.Written(), "S\r");
  Press(platform::VK_F24, false);
  EXPECT_FALSE(r.dlg->m_bScanKeyDown);
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true, false}));
  EXPECT_FALSE(r.dlg->IsWindowVisible());
  Press(platform::VK_F24, false);  // a release without a press is ignored
  EXPECT_EQ(r.supply.calls.size(), 2u);
}

TEST_F(Hidden, TriggerModeOnlyTracksTheKey) {
  r.SetCheck(IDC_USE_TRIGGER, true);
  r.dlg->EnterHiddenMode();
  Press(platform::VK_F24, true);
  EXPECT_FALSE(r.dlg->IsWindowVisible());  // no window on press in trigger mode
  EXPECT_EQ(r.serial.Written(), "S\r");
  Press(platform::VK_F24, false);
  EXPECT_FALSE(r.dlg->m_bScanKeyDown);
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true}));  // the reader stays on
}

TEST_F(Hidden, ScanButtonWhileShown) {
  Press(platform::VK_F24, true);
  EXPECT_EQ(r.serial.Written(), "S\r");
  Press(platform::VK_F24, false);
  // Shown: the reader is not switched off and the window stays.
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true}));
  EXPECT_TRUE(r.dlg->IsWindowVisible());
}

TEST_F(Hidden, PowerOnFailureAtScanStillScans) {
  r.supply.failOn = true;
  Press(platform::VK_F24, true);
  EXPECT_EQ(r.Log(), "The function failed\r\nSwitch reader on Error \r\n");
  EXPECT_EQ(r.serial.Written(), "S\r");
}

TEST_F(Hidden, OrangeKeyRestores) {
  r.dlg->EnterHiddenMode();
  Press(platform::VK_F22, true);
  auto* w = r.Window();
  EXPECT_FALSE(r.dlg->m_bHidden);
  EXPECT_TRUE(r.dlg->IsWindowVisible());
  EXPECT_EQ(w->region, (fw::Rect{0, 0, 240, 320}));
  EXPECT_EQ(w->placement, (fw::Rect{0, 3, 240, 320}));
  for (int id : kHiddenByHide) EXPECT_TRUE(Visible(id)) << id;
  EXPECT_FALSE(Visible(IDC_PIC_SCAN));
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true}));
  Press(platform::VK_F22, false);  // its release is ignored
  EXPECT_FALSE(r.dlg->m_bHidden);
  // Also while shown: the reader on, the full layout again.
  const int regions = w->regionCalls;
  Press(platform::VK_F22, true);
  EXPECT_EQ(w->regionCalls, regions + 1);
  EXPECT_EQ(r.supply.calls.size(), 2u);
}

TEST_F(Hidden, TrayIconWhileHiddenRestoresLikeTheOrangeKey) {
  EXPECT_TRUE(r.host.TrayToolTip().empty());
  r.dlg->EnterHiddenMode();
  EXPECT_NE(r.host.TrayToolTip().find(u"scanning in the background"), std::u16string::npos);
  r.host.ClickTrayIcon();
  EXPECT_FALSE(r.dlg->m_bHidden);
  EXPECT_TRUE(r.dlg->IsWindowVisible());
  EXPECT_EQ(r.Window()->region, (fw::Rect{0, 0, 240, 320}));
  EXPECT_EQ(r.supply.calls, (std::vector<bool>{true}));
  EXPECT_TRUE(r.host.TrayToolTip().empty());
}

TEST_F(Hidden, OrangeKeyStaysHiddenWhenPowerFails) {
  r.dlg->EnterHiddenMode();
  r.supply.failOn = true;
  Press(platform::VK_F22, true);
  EXPECT_EQ(r.Log(), "The function failed\r\nSwitch reader on Error \r\n");
  EXPECT_TRUE(r.dlg->m_bHidden);
  EXPECT_FALSE(r.dlg->IsWindowVisible());
}

TEST_F(Hidden, HotKeyMessagesMustMatchIdKeyAndModifier) {
  // A press message with the wrong key code for its id does nothing.
  r.dlg->DispatchHotKey(CMainDialog::kHotKeyF24, platform::VK_F22 << 16);
  r.dlg->DispatchHotKey(CMainDialog::kHotKeyF22, platform::VK_F24 << 16);
  r.dlg->DispatchHotKey(0x1234, platform::VK_F24 << 16);
  EXPECT_FALSE(r.dlg->m_bScanKeyDown);
  EXPECT_TRUE(r.supply.calls.empty());
}

}  // namespace
