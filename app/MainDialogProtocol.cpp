// The reader protocol of the main window: the commands it sends, the handling of every
// line the reader sends, the reader's settings, the log and the tag display.

#include "app/MainDialog.h"
#include "device/EventSound.h"
#include "download/DownloadDialog.h"
#include "protocol/ReaderConfig.h"
#include "protocol/ResponseParser.h"
#include "protocol/TagTable.h"
#include "resources/Resource.h"
#include "writetag/WriteTagDialog.h"

using namespace res;

namespace {

constexpr const char16_t* kNoTag = u"NoTag";

bool Checked(const fw::CButton& b) { return b.GetCheck() == fw::BST_CHECKED; }

int CheckOf(bool on) { return on ? fw::BST_CHECKED : fw::BST_UNCHECKED; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Commands

void CMainDialog::OnGetVersion() {
  if (SendCommand('V') != 0) AppendLog(u"Get Version Error \r\n");
}

void CMainDialog::OnRead() {
  if (SendCommand('C') != 0) AppendLog(u"Get Version Error \r\n");
  LoadSettings();
}

void CMainDialog::RequestTagTypes() {
  if (SendCommand('R') != 0) AppendLog(u"Get Version Error \r\n");
}

void CMainDialog::OnTrigger() {
  if (SendCommand('S') != 0) AppendLog(u"Send Trigger Error \r\n");
}

// ---------------------------------------------------------------------------------------
// Lines from the reader

void CMainDialog::OnReaderLine(const std::string& line) {
  const char first = line.empty() ? '\0' : line[0];
  switch (first) {
    case 'V':
      HandleVersionReport(line);
      return;
    case 'S':
      HandleScanStatus(line);
      return;
    case 'X':
      AppendLog(u"Reset Reader:\r\n");
      AppendLog(fw::Widen(line));
      return;
    case 'C':
      HandleConfigReply(line);
      return;
    case 'R':
      HandleTagTypeReply(line);
      return;
    case 'c':
      HandleConfigEcho(line);
      return;
    case 'r':
      HandleTagTypeEcho(line);
      return;
    case 'I':
      if (m_pDownloadDlg && m_pDownloadDlg->IsWindow()) m_pDownloadDlg->OnReaderAnswer(line);
      return;
    case 'w':
      if (m_pWriteTagDlg && m_pWriteTagDlg->IsWindow()) m_pWriteTagDlg->OnReaderAnswer(line);
      return;
    default:
      HandleTagLine(line);
      return;
  }
}

void CMainDialog::HandleVersionReport(const std::string& line) {
  const protocol::VersionReport report = protocol::ParseVersionReport(line);
  m_bTypeConfig = report.typeConfig;
  AppendLog(u"Firmwareversion: ");
  AppendLog(fw::Widen(report.firmware));
  AppendLog(u"\r\n");
  AppendLog(u"Commandset: ");
  AppendLog(fw::Widen(report.commandSet));
  AppendLog(u"\r\n");
  AppendLog(u"Version: ");
  AppendLog(u"Pelmor (WCE) v3.05");
  Emit("version", {{"firmware", report.firmware}, {"command_set", report.commandSet}, {"raw", line}});
  m_strLogPrefix = u"\r\n";
  Sleep(kConfigDelayMs);
  OnRead();
}

void CMainDialog::HandleScanStatus(const std::string& line) {
  switch (protocol::ParseScanStatus(line)) {
    case protocol::ScanStatus::Started:
      AppendLog(u"scanning now...\r\n");
      ShowTag(kNoTag, kNoTag);
      m_btnTrigger.EnableWindow(false);
      if (m_bHidden) ShowWindow(true);
      PlayEventSound(device::kSoundStartScanning);
      return;
    case protocol::ScanStatus::NoTag:
    case protocol::ScanStatus::SameTag: {
      const bool same = protocol::ParseScanStatus(line) == protocol::ScanStatus::SameTag;
      AppendLog(same ? u"same tag found!\r\n" : u"no tag found!\r\n");
      m_btnTrigger.EnableWindow(true);
      if (m_bHidden) {
        ShowWindow(false);
        if (SwitchReaderOff() != 0) AppendLog(u"Switch reader off Error \r\n");
      }
      PlayEventSound(same ? device::kSoundSameTagFound : device::kSoundNoTagFound);
      return;
    }
    case protocol::ScanStatus::Ignored:
      return;
  }
}

void CMainDialog::HandleTagLine(const std::string& line) {
  const protocol::TagLine tag = protocol::ParseTagLine(line, Checked(m_chkNoSpace));
  m_btnTrigger.EnableWindow(Checked(m_chkUseTrigger));
  const fw::WString typeName = protocol::TagTypeName(tag.typeCode);
  if (typeName == protocol::kUnknownType) return;

  const fw::WString code = fw::Widen(tag.code);
  Sleep(kTagShowDelayMs);
  ShowTag(typeName, code);
  Emit("tag", {{"type", fw::ToUtf8(typeName)}, {"code", tag.code}, {"raw", line}});
  if (!m_bHidden) {
    AppendLog(u"Tag found! (" + code + u") \r\n");
    PlayEventSound(device::kSoundTagFound);
    if (m_pWriteTagDlg && m_pWriteTagDlg->IsWindow()) m_pWriteTagDlg->ShowTagCode(code);
    return;
  }
  ShowWindow(false);
  EmitCode(code);
  if (SwitchReaderOff() != 0) AppendLog(u"Switch reader off Error \r\n");
  PlayEventSound(device::kSoundTagFound);
}

// ---------------------------------------------------------------------------------------
// Log and display

void CMainDialog::AppendLog(const fw::WString& text) {
  if (text.empty()) return;
  if (!IsWindow()) return;
  const fw::WString added = m_strLogPrefix + text;
  m_editLog.SetRedraw(false);
  // Only the ends of the log change: the newest part is kept, starting at a line of its
  // own where there is one, and the cost stays that of the text added.
  m_editLog.AppendText(added, kMaxLogChars);
  m_editLog.ScrollToEnd();
  m_editLog.SetRedraw(true);
  m_strLogPrefix.clear();
  if (m_logObserver) m_logObserver(added);
}

void CMainDialog::ShowTag(const fw::WString& type, const fw::WString& code) {
  if (type == kNoTag || code == kNoTag) {
    m_staticType.SetWindowText(u"Type: ....");
    m_staticCode.SetWindowText(u"Code: ....");
    return;
  }
  m_staticType.SetWindowText(u"Type: " + type);
  m_staticCode.SetWindowText(u"Code: " + code);
}

void CMainDialog::OnClear() { m_editLog.SetWindowText(u""); }

void CMainDialog::OnClearCode() { ShowTag(kNoTag, kNoTag); }

// ---------------------------------------------------------------------------------------
// Reader configuration

namespace {

struct BitBox {
  uint8_t bit;
  fw::CButton CMainDialog::*box;
};

constexpr BitBox kTagTypeBoxes[] = {
    {0x80, &CMainDialog::m_chkReadPSK1}, {0x40, &CMainDialog::m_chkReadPSK2},    {0x20, &CMainDialog::m_chkReadKeswin},
    {0x10, &CMainDialog::m_chkReadFlex}, {0x08, &CMainDialog::m_chkReadIsoFdxB}, {0x04, &CMainDialog::m_chkReadFecava},
    {0x02, &CMainDialog::m_chkReadAvid}, {0x01, &CMainDialog::m_chkReadAsk},
};

}  // namespace

void CMainDialog::HandleConfigReply(const std::string& line) {
  events::Fields fields{{"raw", line}};
  if (auto option = protocol::HexField(line, 1)) {
    fields.insert(fields.end(), {{"use_trigger", (*option & protocol::kOptUseTrigger) != 0},
                                 {"read_once", (*option & protocol::kOptReadOnce) != 0},
                                 {"led_on", (*option & protocol::kOptLedOn) != 0},
                                 {"led_after_read", (*option & protocol::kOptLedAfterRead) != 0}});
  }
  if (auto iso = protocol::HexField(line, 3)) {
    fields.insert(fields.end(),
                  {{"iso_country", (*iso & protocol::kIsoCountry) != 0}, {"iso_hex", (*iso & protocol::kIsoHex) != 0}});
  }
  Emit("config", fields);
  // A field the line does not hold completely is not applied.
  if (auto option = protocol::HexField(line, 1)) {
    m_chkUseTrigger.SetCheck(CheckOf(*option & protocol::kOptUseTrigger));
    m_chkReadOnce.SetCheck(CheckOf(*option & protocol::kOptReadOnce));
    m_chkLedOn.SetCheck(CheckOf(*option & protocol::kOptLedOn));
    m_chkLedAfterRead.SetCheck(CheckOf(*option & protocol::kOptLedAfterRead));
  }
  m_btnTrigger.EnableWindow(Checked(m_chkUseTrigger));
  if (auto iso = protocol::HexField(line, 3)) {
    m_chkIsoCountry.SetCheck(CheckOf(*iso & protocol::kIsoCountry));
    m_chkIsoHex.SetCheck(CheckOf(*iso & protocol::kIsoHex));
  }
  if (m_bTypeConfig) {
    if (auto types = protocol::HexField(line, 5))
      for (const auto& b : kTagTypeBoxes) (this->*b.box).SetCheck(CheckOf(*types & b.bit));
    if (auto supported = protocol::HexField(line, 7)) {
      for (const auto& b : kTagTypeBoxes) (this->*b.box).ShowWindow((*supported & b.bit) != 0);
      const bool iso = (*supported & protocol::kTypeIsoFdxB) != 0;
      m_chkIsoCountry.ShowWindow(iso);
      m_chkIsoHex.ShowWindow(iso);
      for (const auto& b : kTagTypeBoxes) (this->*b.box).EnableWindow((*supported & b.bit) != 0);
    }
  } else {
    Sleep(kTagTypeRequestDelayMs);
    RequestTagTypes();
  }
  UpdateIsoOptions();
}

void CMainDialog::HandleTagTypeReply(const std::string& line) {
  if (auto supported = protocol::HexField(line, 5))
    for (const auto& b : kTagTypeBoxes) (this->*b.box).ShowWindow((*supported & b.bit) != 0);
  if (auto hdxSupported = protocol::HexField(line, 7)) m_chkHdx.ShowWindow((*hdxSupported & protocol::kHdx) != 0);
  if (auto types = protocol::HexField(line, 1))
    for (const auto& b : kTagTypeBoxes) (this->*b.box).SetCheck(CheckOf(*types & b.bit));
  if (auto hdx = protocol::HexField(line, 3)) m_chkHdx.SetCheck(CheckOf(*hdx & protocol::kHdx));
}

void CMainDialog::OnWriteButton() {
  m_nResendC = 0;
  m_nResendR = 0;
  OnWrite();
}

void CMainDialog::OnWrite() {
  SaveSettings();
  if (m_hComm == 0) {
    MessageBox(u"Application not connected, first connect.", u"Information", fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  uint8_t option = 0;
  if (Checked(m_chkUseTrigger)) option |= protocol::kOptUseTrigger;
  if (Checked(m_chkReadOnce)) option |= protocol::kOptReadOnce;
  if (Checked(m_chkLedOn)) option |= protocol::kOptLedOn;
  if (Checked(m_chkLedAfterRead)) option |= protocol::kOptLedAfterRead;
  uint8_t iso = 0;
  if (Checked(m_chkIsoCountry)) iso |= protocol::kIsoCountry;
  if (Checked(m_chkIsoHex)) iso |= protocol::kIsoHex;
  uint8_t types = 0;
  for (const auto& b : kTagTypeBoxes)
    if (Checked(this->*b.box)) types |= b.bit;

  const std::string command = protocol::BuildConfigCommand(option, iso, types);
  m_strCmdC = fw::Widen(command);
  m_bConfigAccepted = false;
  SendBytes(command);
  SendKeyListBytes(u"0D");
  Sleep(kTagTypeWriteDelayMs);
  WriteTagTypes();
}

void CMainDialog::WriteTagTypes() {
  if (m_hComm == 0) return;
  uint8_t types = 0;
  for (const auto& b : kTagTypeBoxes)
    if (Checked(this->*b.box)) types |= b.bit;
  const uint8_t hdx = Checked(m_chkHdx) ? protocol::kHdx : 0;
  const std::string command = protocol::BuildTagTypeCommand(types, hdx);
  m_strCmdR = fw::Widen(command);
  SendBytes(command);
  SendKeyListBytes(u"0D");
}

void CMainDialog::HandleConfigEcho(const std::string& line) {
  if (protocol::IsGoodEcho(line, fw::Narrow(m_strCmdC))) {
    m_nResendC = 0;
    m_bConfigAccepted = true;
    return;
  }
  if (m_nResendC >= kMaxResends) {
    GiveUpWrite();
    return;
  }
  AppendLog(u"Send 'c' again \r\n");
  ++m_nResendC;
  OnWrite();
}

void CMainDialog::HandleTagTypeEcho(const std::string& line) {
  if (protocol::IsGoodEcho(line, fw::Narrow(m_strCmdR))) {
    m_nResendR = 0;
    // The echo of a tag-type command sent after a refused configuration command (the
    // resend of both is on its way, or was given up) does not mean the configuration is
    // written.
    if (!m_bConfigAccepted) return;
    AppendLog(u"Configuration written.\r\n");
    m_btnWrite.EnableWindow(false);
    return;
  }
  if (m_nResendR >= kMaxResends) {
    GiveUpWrite();
    return;
  }
  AppendLog(u"Send 'r' again \r\n");
  ++m_nResendR;
  WriteTagTypes();
}

void CMainDialog::GiveUpWrite() {
  // The reader keeps answering wrongly: stop here and leave "Write" to the user, enabled,
  // since the settings shown are not the reader's.
  AppendLog(u"Configuration not written.\r\n");
  m_btnWrite.EnableWindow(true);
}

void CMainDialog::OnOptionChanged() {
  m_btnWrite.SetWindowText(u"Write");
  m_btnWrite.EnableWindow(true);
  UpdateIsoOptions();
}

void CMainDialog::UpdateIsoOptions() {
  if (Checked(m_chkIsoHex)) {
    m_chkIsoCountry.EnableWindow(false);
    m_chkIsoCountry.SetCheck(fw::BST_UNCHECKED);
  } else {
    m_chkIsoCountry.EnableWindow(true);
  }
}
