// Hidden mode and the scan keys: the main window out of sight, the scan button powering
// the reader and starting a read, the orange key with the scan button restoring the window.

#include "app/MainDialog.h"
#include "device/EventSound.h"
#include "resources/Resource.h"

using namespace res;

namespace {

// Window geometry in hidden mode, in pixels: the window and the part of it left visible,
// which is where the scanning picture lies.
constexpr fw::Rect kHiddenPlacement{0, 3, 240, 320};
constexpr fw::Rect kHiddenRegion{72, 85, 170 - 72, 183 - 85};
constexpr fw::Rect kFullRegion{0, 0, 240, 320};

// The controls hidden mode takes away.
constexpr int kHiddenControls[] = {
    IDC_CONNECT, IDC_EDIT_PREFIX, IDC_PREFIX,  IDC_GETVERSION,     IDC_TRIGGER, IDC_RULE,      IDC_READ,
    IDC_WRITE,   IDC_ISO_COUNTRY, IDC_ISO_HEX, IDC_LED_AFTER_READ, IDC_LED_ON,  IDC_READ_ONCE, IDC_USE_TRIGGER,
};

constexpr uint32_t kModKeyUp = platform::MOD_KEYUP;

constexpr const char16_t* kTrayToolTip =
    u"pelmor is scanning in the background: hold the scan button to read a tag.\n"
    u"Click here or press the orange key (F22) to bring the window back.";

}  // namespace

void CMainDialog::OnHide() {
  if (SwitchReaderOff() != 0) {
    AppendLog(u"Application Hide Error \r\n");
    return;
  }
  fw::WString text =
      u"Application will be hidden,\r\nto restore: "
      u"press-release Orange button first and then the Scanbutton.\r\n\n";
  if (m_chkUseTrigger.GetCheck() == fw::BST_CHECKED) {
    text += u"Trigger mode is active, \r\nto activate trigger double click the scanbutton.";
  } else {
    text += u"To activate scanner hold the scanbutton down.";
  }
  MessageBox(text, u"Information", fw::MB_OK | fw::MB_ICONINFORMATION);
  EnterHiddenMode();
}

void CMainDialog::EnterHiddenMode() {
  auto* w = Window();
  if (!w) return;
  w->SetWindowPos(true, kHiddenPlacement);
  w->SetWindowRegion(&kHiddenRegion);
  m_bHidden = true;
  for (int id : kHiddenControls) w->Show(id, false);
  m_picScan.ShowWindow(true);
  ShowWindow(false);
  // On a desktop, a program out of sight is found in the tray; a click brings it back as
  // the orange key does.
  Host().ShowTrayIcon(m_hIcon, kTrayToolTip, [this] { OnHotKey(kHotKeyF22, platform::VK_F22 << 16); });
}

void CMainDialog::OnHotKey(int id, uint32_t lparam) {
  const uint32_t modifiers = lparam & 0xFFFF;
  const uint32_t vk = lparam >> 16;
  const bool useTrigger = m_chkUseTrigger.GetCheck() == fw::BST_CHECKED;

  if (id == kHotKeyF24 && vk == platform::VK_F24 && modifiers == 0) {
    if (m_bScanKeyDown) return;
    m_bScanKeyDown = true;
    UpdateReceiveTick();
    if (SwitchReaderOn() != 0) AppendLog(u"Switch reader on Error \r\n");
    if (m_bHidden && !useTrigger) ShowWindow(true);
    PlayEventSound(device::kSoundStartScanning);
    OnTrigger();
    return;
  }

  if (id == kHotKeyF24 && vk == platform::VK_F24 && modifiers == kModKeyUp) {
    if (!m_bScanKeyDown) return;
    m_bScanKeyDown = false;
    if (useTrigger) return;
    if (m_bHidden && SwitchReaderOff() != 0) AppendLog(u"Switch reader off Error \r\n");
    if (m_bHidden) ShowWindow(false);
    PlayEventSound(device::kSoundStopScanning);
    return;
  }

  if (id == kHotKeyF22 && vk == platform::VK_F22 && modifiers == 0) {
    if (SwitchReaderOn() != 0) {
      AppendLog(u"Switch reader on Error \r\n");
      return;
    }
    auto* w = Window();
    if (!w) return;
    w->SetWindowRegion(&kFullRegion);
    ShowWindow(true);
    w->SetWindowPos(true, kHiddenPlacement);
    for (int control : kHiddenControls) w->Show(control, true);
    m_picScan.ShowWindow(false);
    m_bHidden = false;
    Host().HideTrayIcon();
  }
}
