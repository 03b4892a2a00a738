// The code output: how a code read in hidden mode is typed into the foreground
// application, and the settings of it kept in "Config.ini".

#include "app/MainDialog.h"
#include "app/OutputSettings.h"
#include "platform/linux/AppFiles.h"
#include "protocol/KeyList.h"
#include "resources/Resource.h"

namespace {

bool Checked(const fw::CButton& b) { return b.GetCheck() == fw::BST_CHECKED; }

constexpr intptr_t kFocusWindow = -1;
constexpr unsigned kCodeVk = 13;
constexpr unsigned kCodeKeyState = 3;
constexpr unsigned kCodeShiftState = 3;
constexpr const char* kSettingsFile = "Config.ini";

}  // namespace

void CMainDialog::EmitCode(const fw::WString& code) {
  std::vector<uint8_t> prefix;
  if (Checked(m_chkPrefix)) prefix = protocol::ParseKeyList(m_editPrefix.GetWindowText());

  std::vector<uint8_t> suffix;
  if (Checked(m_chkSuffix) || Checked(m_chkCr) || Checked(m_chkTab)) {
    fw::WString text = m_editSuffix.GetWindowText();
    if (Checked(m_chkCr)) text += u":0D";
    if (Checked(m_chkTab)) text += u":09";
    suffix = protocol::ParseKeyList(text);
  }

  auto& keys = m_services.keys;
  for (uint8_t vk : prefix) {
    keys.KeybdEvent(vk, 0, 0, 0);
    keys.KeybdEvent(vk, 0, platform::KEYEVENTF_KEYUP, 0);
  }
  // Control characters a serial device put into a line are not typed: in a terminal that
  // has the focus they would act as commands.
  std::vector<uint32_t> chars;
  for (char16_t c : code)
    if (c >= 0x20 && c != 0x7F) chars.push_back(c);
  std::vector<unsigned> shifts(chars.size(), kCodeShiftState);
  keys.PostKeybdMessage(kFocusWindow, kCodeVk, kCodeKeyState, static_cast<unsigned>(chars.size()), shifts.data(),
                        chars.data());
  for (uint8_t vk : suffix) {
    keys.KeybdEvent(vk, 0, 0, 0);
    keys.KeybdEvent(vk, 0, platform::KEYEVENTF_KEYUP, 0);
  }
}

void CMainDialog::SaveSettings() {
  app::OutputSettings settings;
  settings.noSpace = Checked(m_chkNoSpace);
  settings.addCr = Checked(m_chkCr);
  settings.addTab = Checked(m_chkTab);
  settings.prefix = Checked(m_chkPrefix);
  settings.prefixText = fw::Narrow(m_editPrefix.GetWindowText());
  settings.suffix = Checked(m_chkSuffix);
  settings.suffixText = fw::Narrow(m_editSuffix.GetWindowText());
  settings.autoHide = Checked(m_chkAutoHide);
  // A crash or a full disk never leaves a truncated Config.ini behind; see ReplaceAppFile.
  const platform::FileResult saved = platform::ReplaceAppFile(m_services.appDir / kSettingsFile, settings.Serialize());
  if (!saved.Ok()) AppendLog(u"Config.ini not saved: " + fw::Widen(saved.reason) + u"\r\n");
}

void CMainDialog::LoadSettings() {
  std::string bytes;
  const platform::FileResult read =
      platform::ReadAppFile(m_services.appDir / kSettingsFile, app::OutputSettings::kMaxFileBytes, bytes);
  if (!read.Ok()) {
    // A settings file that is there but cannot be read (a FIFO or a folder under its name,
    // no permission) counts as missing, and the user is told why.
    if (!read.Missing()) AppendLog(u"Config.ini not read: " + fw::Widen(read.reason) + u"\r\n");
    for (fw::CButton* box : {&m_chkNoSpace, &m_chkCr, &m_chkTab, &m_chkPrefix, &m_chkSuffix, &m_chkAutoHide})
      box->SetCheck(fw::BST_UNCHECKED);
    return;
  }

  const app::OutputSettings settings = app::OutputSettings::Parse(bytes);
  const std::pair<const std::optional<bool>&, fw::CButton&> flags[] = {
      {settings.noSpace, m_chkNoSpace}, {settings.addCr, m_chkCr},      {settings.addTab, m_chkTab},
      {settings.prefix, m_chkPrefix},   {settings.suffix, m_chkSuffix}, {settings.autoHide, m_chkAutoHide}};
  for (const auto& [on, box] : flags)
    if (on) box.SetCheck(*on ? fw::BST_CHECKED : fw::BST_UNCHECKED);
  // A text read from the file is no change to write.
  const std::pair<const std::optional<std::string>&, fw::CEdit&> texts[] = {{settings.prefixText, m_editPrefix},
                                                                            {settings.suffixText, m_editSuffix}};
  for (const auto& [text, edit] : texts) {
    if (!text) continue;
    edit.SetWindowText(fw::Widen(*text));
    m_btnWrite.EnableWindow(false);
  }
  if (settings.hideRequested) EnterHiddenMode();
}
