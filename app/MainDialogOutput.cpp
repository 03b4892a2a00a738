// The code output: how a code read in hidden mode is typed into the foreground
// application, and the settings of it kept in "Config.ini".

#include "app/MainDialog.h"
#include "platform/linux/AppFiles.h"
#include "protocol/KeyList.h"
#include "resources/Resource.h"

namespace {

bool Checked(const fw::CButton& b) { return b.GetCheck() == fw::BST_CHECKED; }

constexpr intptr_t kFocusWindow = -1;
constexpr unsigned kCodeVk = 13;
constexpr unsigned kCodeKeyState = 3;
constexpr unsigned kCodeShiftState = 3;
constexpr size_t kMaxSettingText = 19;  // characters of a prefix or suffix in the file
constexpr size_t kMaxLoadedText = 20;   // characters taken from the file for a text
constexpr size_t kMaxToken = 31;        // a longer word is read as several tokens
// Config.ini as the program writes it holds about 120 bytes, and one edited by hand a few
// more. Only this much of the file is read, so that a file that is no settings file (a log
// or an image saved under the name) cannot hold up the start: reading a gigabyte byte by
// byte takes seconds, during which the window does not respond.
constexpr size_t kMaxSettingsBytes = 1 << 20;
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
  keys.PostKeybdMessage(kFocusWindow, kCodeVk, kCodeKeyState, static_cast<unsigned>(chars.size()),
                        shifts.data(), chars.data());
  for (uint8_t vk : suffix) {
    keys.KeybdEvent(vk, 0, 0, 0);
    keys.KeybdEvent(vk, 0, platform::KEYEVENTF_KEYUP, 0);
  }
}

void CMainDialog::SaveSettings() {
  std::string bytes;
  auto flag = [&](const char* key, const fw::CButton& box) {
    bytes += key;
    bytes += Checked(box) ? "1\r\n" : "0\r\n";
  };
  auto text = [&](const char* key, const fw::CEdit& edit) {
    bytes += key;
    bytes += fw::Narrow(edit.GetWindowText().substr(0, kMaxSettingText));
    bytes += "\r\n";
  };
  flag("NO_SPACE=", m_chkNoSpace);
  flag("ADD_CR=", m_chkCr);
  flag("ADD_TAB=", m_chkTab);
  flag("PREFIX=", m_chkPrefix);
  text("PREFIX:", m_editPrefix);
  flag("SUFFIX=", m_chkSuffix);
  text("SUFFIX:", m_editSuffix);
  flag("AUTOHIDE=", m_chkAutoHide);
  // A crash or a full disk never leaves a truncated Config.ini behind; see ReplaceAppFile.
  const platform::FileResult saved = platform::ReplaceAppFile(m_services.appDir / kSettingsFile, bytes);
  if (!saved.Ok()) AppendLog(u"Config.ini not saved: " + fw::Widen(saved.reason) + u"\r\n");
}

void CMainDialog::LoadSettings() {
  std::string bytes;
  const platform::FileResult read = platform::ReadAppFile(m_services.appDir / kSettingsFile, kMaxSettingsBytes, bytes);
  if (!read.Ok()) {
    // A settings file that is there but cannot be read (a FIFO or a folder under its name,
    // no permission) counts as missing, and the user is told why.
    if (!read.Missing()) AppendLog(u"Config.ini not read: " + fw::Widen(read.reason) + u"\r\n");
    for (fw::CButton* box : {&m_chkNoSpace, &m_chkCr, &m_chkTab, &m_chkPrefix, &m_chkSuffix,
                             &m_chkAutoHide})
      box->SetCheck(fw::BST_UNCHECKED);
    return;
  }

  const struct {
    const char* key;
    fw::CButton* box;
  } flags[] = {{"NO_SPACE=", &m_chkNoSpace}, {"ADD_CR=", &m_chkCr},   {"ADD_TAB=", &m_chkTab},
               {"PREFIX=", &m_chkPrefix},    {"PREFIX:", nullptr},    {"SUFFIX=", &m_chkSuffix},
               {"SUFFIX:", nullptr},         {"AUTOHIDE=", nullptr}};

  std::string token;
  auto apply = [&] {
    for (const auto& entry : flags) {
      const std::string_view key(entry.key);
      if (token.compare(0, key.size(), key) != 0) continue;
      const std::string value = token.substr(key.size());
      const bool off = !value.empty() && value[0] == '0';
      if (entry.box) {
        entry.box->SetCheck(off ? fw::BST_UNCHECKED : fw::BST_CHECKED);
      } else if (key == "AUTOHIDE=") {
        m_chkAutoHide.SetCheck(off ? fw::BST_UNCHECKED : fw::BST_CHECKED);
        if (!off) EnterHiddenMode();
      } else {
        fw::CEdit& edit = key == "PREFIX:" ? m_editPrefix : m_editSuffix;
        edit.SetWindowText(fw::Widen(value.substr(0, kMaxLoadedText)));
        m_btnWrite.EnableWindow(false);
      }
      return;
    }
  };

  // Tokens are runs without white space of at most kMaxToken characters; a longer run is
  // read as several tokens, so nothing overruns and memory stays bounded.
  for (size_t i = 0; i <= bytes.size(); ++i) {
    const bool end = i == bytes.size();
    const char c = end ? ' ' : bytes[i];
    const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    if (!space) token.push_back(c);
    if (space || token.size() == kMaxToken) {
      if (!token.empty()) apply();
      token.clear();
    }
  }
}
