#include "writetag/WriteTagDialog.h"

#include "resources/Resource.h"
#include "resources/Templates.h"

using namespace res;

bool CWriteTagDialog::s_bInTimer = false;
unsigned CWriteTagDialog::s_nWaitTicks = 0;

namespace {

constexpr uint32_t kBeepDefault = 0;
constexpr uint32_t kBeepExclamation = 0x30;

}  // namespace

CWriteTagDialog::CWriteTagDialog(fw::IHost& host, platform::ISerialPorts& serial,
                                 platform::ISound& sound, platform::CommHandle hComm,
                                 std::filesystem::path appDir, LogSink log)
    : fw::CDialog(host, res::WriteTagTemplate()),
      m_hComm(hComm),
      m_serial(serial),
      m_sound(sound),
      m_codeList(appDir / writetag::kCodeListFileName),
      m_log(std::move(log)) {
  m_radioBlocks3.Bind(*this, IDC_WT_BLOCKS3);
  m_radioBlocks5.Bind(*this, IDC_WT_BLOCKS5);
  m_radioBlocks7.Bind(*this, IDC_WT_BLOCKS7);
  m_comboCode.Bind(*this, IDC_WT_CODE);
  m_staticStatus.Bind(*this, IDC_WT_STATUS);

  MapClicked(IDC_WT_HELP, [this] { OnButtonHelp(); });
  for (int id : {IDC_WT_BLOCKS3, IDC_WT_BLOCKS5, IDC_WT_BLOCKS7})
    MapClicked(id, [this, id] { OnRadioBlocks(id); });
  MapClicked(IDC_WT_WRITE_BLOCKS, [this] { OnButtonWriteBlocks(); });
  MapClicked(IDC_WT_CLEAR, [this] { OnButtonClear(); });
  MapClicked(IDC_WT_CLEAR_LIST, [this] { OnButtonClearList(); });
  MapClicked(IDC_WT_WRITE_CODE, [this] { OnButtonWriteCode(); });
  MapCommand(IDC_WT_CODE, fw::Notify::EditChange, [this] { OnCodeEditChange(); });
}

bool CWriteTagDialog::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  LoadCodeList();
  m_radioBlocks3.SetCheck(fw::BST_CHECKED);
  m_radioBlocks5.SetCheck(fw::BST_UNCHECKED);
  m_radioBlocks7.SetCheck(fw::BST_UNCHECKED);
  return true;
}

// ---------------------------------------------------------------------------------------
// The code list

// A file that cannot be used costs the list or the record of a code, never the write
// itself: each failure is one line in the main window's log, a missing file nothing.

void CWriteTagDialog::LoadCodeList() {
  std::vector<std::string> entries;
  const platform::FileResult r = m_codeList.Load(entries);
  if (!r.Ok() && !r.Missing()) Log(u"TrCode.txt not read: " + fw::FromUtf8(r.reason) + u"\r\n");
  for (const std::string& entry : entries) m_comboCode.AddString(fw::Widen(entry));
}

void CWriteTagDialog::AppendCodeToFile(const fw::WString& code) {
  const platform::FileResult r = m_codeList.Append(fw::Narrow(code));
  if (!r.Ok()) Log(u"TrCode.txt not updated: " + fw::FromUtf8(r.reason) + u"\r\n");
}

void CWriteTagDialog::OnButtonClearList() {
  const platform::FileResult r = m_codeList.Clear();
  if (!r.Ok()) Log(u"TrCode.txt not cleared: " + fw::FromUtf8(r.reason) + u"\r\n");
  m_comboCode.ResetContent();
}

void CWriteTagDialog::OnButtonClear() { m_comboCode.SetWindowText(u""); }

void CWriteTagDialog::OnRadioBlocks(int id) {
  m_radioBlocks3.SetCheck(id == IDC_WT_BLOCKS3 ? fw::BST_CHECKED : fw::BST_UNCHECKED);
  m_radioBlocks5.SetCheck(id == IDC_WT_BLOCKS5 ? fw::BST_CHECKED : fw::BST_UNCHECKED);
  m_radioBlocks7.SetCheck(id == IDC_WT_BLOCKS7 ? fw::BST_CHECKED : fw::BST_UNCHECKED);
}

// ---------------------------------------------------------------------------------------
// Buttons and checks

void CWriteTagDialog::OnButtonWriteCode() {
  // A run that is under way is not restarted; the mode of a run is set only when it starts.
  if (m_bTimerRunning) {
    MessageBox(u"System in wrong state, try it on later.", u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
    return;
  }
  const fw::WString code = CodeText();
  if (code.size() < 1) {
    MessageBox(fw::FormatInt("Not enough characters filled in. Code should exists of min. %d characters.", 1),
               u"Info", fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  if (code.size() > static_cast<size_t>(MAX_CODE_CHARS)) {
    MessageBox(fw::FormatInt("Too much characters filled in. Code should exists of max. %d characters.",
                             MAX_CODE_CHARS),
               u"Info", fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  for (char16_t c : code) {
    const bool ok = c == u' ' || (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') ||
                    (c >= u'A' && c <= u'Z');
    if (!ok) {
      MessageBox(u"Input not valid, only numbers between 0 and 9 and characters between aA and zZ.",
                 u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
      return;
    }
  }
  m_bBlocksMode = false;
  StartProcedureTimer();
}

void CWriteTagDialog::OnButtonWriteBlocks() {
  if (m_nState != kStart) {
    MessageBox(u"System in wrong state, try it on later.", u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
    return;
  }
  m_bBlocksMode = true;
  SetState(kSendBlocksSetting);
  StartProcedureTimer();
}

void CWriteTagDialog::OnCodeEditChange() {
  fw::WString text = CodeText();
  if (text.size() <= static_cast<size_t>(MAX_CODE_CHARS)) return;
  MessageBox(fw::FormatInt("Code may not exist of more than %d characters.", MAX_CODE_CHARS),
             u"Information", fw::MB_OK | fw::MB_ICONINFORMATION);
  text.pop_back();
  m_comboCode.SetWindowText(text);
}

void CWriteTagDialog::OnButtonHelp() {
  MessageBox(u"Blocks:\r\nSelect number of blocks and push 'Write' button.\r\nCode:\r\n" +
                 fw::FormatInt("Edit the transponder code and push the 'Write' button.\r\n"
                               "When code is accepted OK box appears. \r\n"
                               "Code should exist of max. %d characters.",
                               MAX_CODE_CHARS),
             u"Help", fw::MB_OK | fw::MB_ICONINFORMATION);
}

void CWriteTagDialog::OnOK() {
  // Enter has no action of its own here: it must not close the dialog or write.
}

void CWriteTagDialog::OnCancel() {
  if (m_nState != kStart) {
    const int answer = MessageBox(
        u"Edit code process busy, are you sure you want to cancel the procedure,\r\n", u"Warning",
        fw::MB_YESNO | fw::MB_ICONWARNING);
    if (answer != fw::IDYES) return;
  }
  DestroyWindow();
}

// ---------------------------------------------------------------------------------------
// The write procedure

void CWriteTagDialog::StartProcedureTimer() {
  if (SetTimer(WRITE_TIMER_ID, kWritePeriodMs) == 0) {
    MessageBox(u"Unable to obtain timer.", u"System ERROR", fw::MB_OK | fw::MB_ICONERROR);
    return;
  }
  m_bTimerRunning = true;
}

void CWriteTagDialog::StopProcedureTimer() {
  KillTimer(WRITE_TIMER_ID);
  m_bTimerRunning = false;
}

void CWriteTagDialog::SetState(int state) { m_nState = state > kReadyForNext ? kFailed : state; }

int CWriteTagDialog::SendWriteCommand(bool codeBlock) {
  std::string command;
  if (codeBlock) {
    // Only a frame computed from the current code is ever sent.
    auto text = writetag::WriteCommandFor(*this, m_nBlockIndex);
    if (!text) return kWriteFailed;
    command = *text;
  } else {
    const char* digit = nullptr;
    if (m_radioBlocks3.GetCheck() == fw::BST_CHECKED) {
      digit = "3";
    } else if (m_radioBlocks5.GetCheck() == fw::BST_CHECKED) {
      digit = "5";
    } else if (m_radioBlocks7.GetCheck() == fw::BST_CHECKED) {
      digit = "7";
    }
    if (!digit) return kWriteFailed;
    command = std::string("w2000210") + digit + "10\r";
  }
  size_t written = 0;
  if (!m_serial.Write(m_hComm, reinterpret_cast<const uint8_t*>(command.data()), command.size(), written))
    return kWriteFailed;
  return written == command.size() ? kSent : kShortWrite;
}

void CWriteTagDialog::OnReaderAnswer(const std::string& line) {
  const std::string tail = line.size() >= 2 ? line.substr(line.size() - 2) : std::string();
  if (tail == "OK") {
    if (m_nState == kWait) SetState(kAnswerOk);
  } else if (tail == "NO") {
    if (m_nState == kWait) SetState(kFailed);
  } else {
    SetState(kFailed);
  }
}

void CWriteTagDialog::ShowTagCode(const fw::WString& code) {
  m_staticStatus.SetWindowText(code);
  SetTimer(STATUS_TIMER_ID, kStatusPeriodMs);
}

void CWriteTagDialog::OnTimer(unsigned id) {
  // A message box of an earlier tick keeps dispatching ticks; they must not run a step.
  if (s_bInTimer) return;
  s_bInTimer = true;
  if (id == WRITE_TIMER_ID) {
    Step();
  } else if (id == STATUS_TIMER_ID) {
    m_staticStatus.SetWindowText(u"");
  }
  s_bInTimer = false;
}

void CWriteTagDialog::Step() {
  switch (m_nState) {
    case kStart:
      SetState(kCheck);
      m_sound.MessageBeep(kBeepDefault);
      return;

    case kCheck:
      m_nBlockIndex = 0;
      if (CodeText().size() > static_cast<size_t>(MAX_CODE_CHARS)) {
        m_sound.MessageBeep(kBeepExclamation);
        MessageBox(u"Input not valid. Transaction will be stopped.", u"Warning",
                   fw::MB_OK | fw::MB_ICONWARNING);
        SetState(kReadyForNext);
        return;
      }
      m_comboCode.EnableWindow(false);
      SetState(kEncode);
      return;

    case kEncode: {
      const auto outcome = writetag::ComputeBlockFrames(*this, CodeText());
      if (outcome.result != writetag::kResultOk) {
        MessageBox(fw::Widen(writetag::BlockCountMessage(outcome.blocksCalculated)),
                   fw::Widen(writetag::kBlockCountMessageCaption), fw::MB_OK | fw::MB_ICONINFORMATION);
        SetState(kFailed);
        return;
      }
      // A code of no blocks has nothing to write: that is no success.
      SetState(m_nBlockCount == 0 ? kFailed : kSendBlock);
      return;
    }

    case kSendBlock:
      if (SendWriteCommand(true) == kSent) {
        ++m_nBlockIndex;
        s_nWaitTicks = 0;
        SetState(kWait);
      } else {
        SetState(kFailed);
      }
      return;

    case kSendBlocksSetting:
      if (SendWriteCommand(false) == kSent) {
        m_nBlockIndex = m_nBlockCount;
        s_nWaitTicks = 0;
        SetState(kWait);
      } else {
        SetState(kFailed);
      }
      return;

    case kWait:
      if (++s_nWaitTicks > kAnswerTicks) SetState(kFailed);
      return;

    case kAnswerOk:
      SetState(HasMoreBlocks() ? kSendBlock : kDone);
      return;

    case kDone: {
      m_sound.MessageBeep(kBeepDefault);
      const fw::WString message =
          m_bBlocksMode ? fw::WString(u"Number of blocks successfuly transmitted. \r\n"
                                      u"Do you want to write a code to the transponder. \r\n")
                        : fw::WString(u"Code successfuly transmitted. \r\n"
                                      u"To check if code is successfuly written "
                                      u"in tag read out the code of the tag. \r\n"
                                      u"Do you want to write another transponder. \r\n");
      AppendCodeToFile(CodeText());
      const int answer = MessageBox(message, u"Information", fw::MB_YESNO | fw::MB_ICONQUESTION);
      if (answer != fw::IDYES) {
        SetState(kFinish);
        return;
      }
      // Ready for the next code: typing goes to the code box (a disabled box takes the
      // focus once it is enabled again).
      m_comboCode.SetFocus();
      SetState(kReadyForNext);
      return;
    }

    case kFailed: {
      m_sound.MessageBeep(kBeepExclamation);
      const int answer = MessageBox(u"Code not successfuly transfered to transponder. \r\nTry again.",
                                    u"Error", fw::MB_YESNO | fw::MB_ICONERROR);
      if (answer != fw::IDYES) {
        SetState(kReadyForNext);
        return;
      }
      m_comboCode.SetFocus();
      // The retry repeats the run that failed: a blocks run sends the block count again,
      // whatever the code box holds; a code run checks and encodes the code anew.
      SetState(m_bBlocksMode ? kSendBlocksSetting : kCheck);
      return;
    }

    case kFinish:
      StopProcedureTimer();
      SetState(kStart);
      if (!m_bBlocksMode) DestroyWindow();
      return;

    case kReadyForNext: {
      StopProcedureTimer();
      SetState(kStart);
      const fw::WString code = CodeText();
      m_comboCode.InsertString(0, code);
      m_comboCode.EnableWindow(true);
      m_comboCode.SetWindowText(u"");
      return;
    }

    default:
      MessageBox(u"Undefined State.", u"System ERROR", fw::MB_OK | fw::MB_ICONERROR);
      StopProcedureTimer();
      return;
  }
}
