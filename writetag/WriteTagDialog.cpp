#include "writetag/WriteTagDialog.h"

#include "resources/Resource.h"
#include "resources/Templates.h"

using namespace res;
using writetag::WriteState;

namespace {

constexpr uint32_t kBeepDefault = 0;
constexpr uint32_t kBeepExclamation = 0x30;

}  // namespace

CWriteTagDialog::CWriteTagDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::ISound& sound,
                                 platform::CommHandle hComm, std::filesystem::path appDir, LogSink log)
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
  for (int id : {IDC_WT_BLOCKS3, IDC_WT_BLOCKS5, IDC_WT_BLOCKS7}) MapClicked(id, [this, id] { OnRadioBlocks(id); });
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
    MessageBox(fw::FormatInt("Not enough characters filled in. Code should exists of min. %d characters.", 1), u"Info",
               fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  if (code.size() > MAX_CODE_CHARS) {
    MessageBox(fw::FormatInt("Too much characters filled in. Code should exists of max. %d characters.",
                             static_cast<int>(MAX_CODE_CHARS)),
               u"Info", fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  for (char16_t c : code) {
    const bool ok = c == u' ' || (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    if (!ok) {
      MessageBox(u"Input not valid, only numbers between 0 and 9 and characters between aA and zZ.", u"Warning",
                 fw::MB_OK | fw::MB_ICONWARNING);
      return;
    }
  }
  m_bBlocksMode = false;
  StartProcedureTimer();
}

void CWriteTagDialog::OnButtonWriteBlocks() {
  if (m_nState != WriteState::Start) {
    MessageBox(u"System in wrong state, try it on later.", u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
    return;
  }
  m_bBlocksMode = true;
  SetState(WriteState::SendBlocksSetting);
  StartProcedureTimer();
}

void CWriteTagDialog::OnCodeEditChange() {
  fw::WString text = CodeText();
  if (text.size() <= MAX_CODE_CHARS) return;
  MessageBox(fw::FormatInt("Code may not exist of more than %d characters.", static_cast<int>(MAX_CODE_CHARS)),
             u"Information", fw::MB_OK | fw::MB_ICONINFORMATION);
  text.pop_back();
  m_comboCode.SetWindowText(text);
}

void CWriteTagDialog::OnButtonHelp() {
  MessageBox(u"Blocks:\r\nSelect number of blocks and push 'Write' button.\r\nCode:\r\n" +
                 fw::FormatInt("Edit the transponder code and push the 'Write' button.\r\n"
                               "When code is accepted OK box appears. \r\n"
                               "Code should exist of max. %d characters.",
                               static_cast<int>(MAX_CODE_CHARS)),
             u"Help", fw::MB_OK | fw::MB_ICONINFORMATION);
}

void CWriteTagDialog::OnOK() {
  // Enter has no action of its own here: it must not close the dialog or write.
}

void CWriteTagDialog::OnCancel() {
  if (m_nState != WriteState::Start) {
    const int answer = MessageBox(u"Edit code process busy, are you sure you want to cancel the procedure,\r\n",
                                  u"Warning", fw::MB_YESNO | fw::MB_ICONWARNING);
    if (answer != fw::IDYES) return;
  }
  DestroyWindow();
}

// ---------------------------------------------------------------------------------------
// The write procedure

void CWriteTagDialog::StartProcedureTimer() {
  m_bReaderAnswered = false;
  m_retryStartedAt.reset();
  if (SetTimer(kWriteTimerId, kWritePeriodMs) == 0) {
    MessageBox(u"Unable to obtain timer.", u"System ERROR", fw::MB_OK | fw::MB_ICONERROR);
    return;
  }
  m_bTimerRunning = true;
}

void CWriteTagDialog::StopProcedureTimer() {
  KillTimer(kWriteTimerId);
  m_bTimerRunning = false;
}

void CWriteTagDialog::OnReaderLost() {
  // The main window has closed the port this handle copies; a handle number may be taken
  // again by the next port opened.
  m_hComm = 0;
  if (m_bInTimer) {
    m_bReaderLost = true;
    return;
  }
  SetState(writetag::AfterReaderLost(m_nState));
}

int CWriteTagDialog::SelectedBlockCount() const {
  if (m_radioBlocks3.GetCheck() == fw::BST_CHECKED) return 3;
  if (m_radioBlocks5.GetCheck() == fw::BST_CHECKED) return 5;
  if (m_radioBlocks7.GetCheck() == fw::BST_CHECKED) return 7;
  return 0;
}

int CWriteTagDialog::SendWriteCommand(bool codeBlock) {
  std::optional<std::string> command;
  if (codeBlock) {
    // Only a frame computed from the current code is ever sent.
    command = writetag::WriteCommandFor(m_frames, m_nBlockIndex);
  } else {
    if (const std::optional<uint64_t> frame = writetag::BlocksSettingFrame(SelectedBlockCount()))
      command = writetag::FrameCommandText(*frame);
  }
  if (!command) return kWriteFailed;
  size_t written = 0;
  if (!m_serial.Write(m_hComm, reinterpret_cast<const uint8_t*>(command->data()), command->size(), written))
    return kWriteFailed;
  return written == command->size() ? kSent : kShortWrite;
}

void CWriteTagDialog::OnReaderAnswer(const std::string& line) {
  m_bReaderAnswered = true;
  SetState(writetag::AfterAnswer(m_nState, line));
}

void CWriteTagDialog::ShowTagCode(const fw::WString& code) {
  m_staticStatus.SetWindowText(code);
  SetTimer(kStatusTimerId, kStatusPeriodMs);
}

void CWriteTagDialog::OnTimer(unsigned id) {
  // A message box of an earlier tick keeps dispatching ticks; they must not run a step.
  if (m_bInTimer) return;
  m_bInTimer = true;
  if (id == kWriteTimerId) {
    Step();
  } else if (id == kStatusTimerId) {
    KillTimer(kStatusTimerId);
    m_staticStatus.SetWindowText(u"");
  }
  m_bInTimer = false;
  // The step's own transition came last; a reader lost meanwhile overrides it.
  if (m_bReaderLost) {
    m_bReaderLost = false;
    SetState(writetag::AfterReaderLost(m_nState));
  }
}

bool CWriteTagDialog::RetryQuestionHeld() const {
  return !m_bReaderAnswered && m_retryStartedAt && Host().NowMs() < *m_retryStartedAt + kSilentRetryPauseMs;
}

void CWriteTagDialog::Step() {
  switch (m_nState) {
    case WriteState::Start:
      SetState(WriteState::Check);
      m_sound.MessageBeep(kBeepDefault);
      return;

    case WriteState::Check:
      m_nBlockIndex = 0;
      if (CodeText().size() > MAX_CODE_CHARS) {
        m_sound.MessageBeep(kBeepExclamation);
        MessageBox(u"Input not valid. Transaction will be stopped.", u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
        SetState(WriteState::ReadyForNext);
        return;
      }
      m_comboCode.EnableWindow(false);
      SetState(WriteState::Encode);
      return;

    case WriteState::Encode: {
      const auto outcome = writetag::ComputeBlockFrames(m_frames, CodeText());
      if (outcome.result != writetag::kResultOk) {
        MessageBox(fw::Widen(writetag::BlockCountMessage(outcome.blocksCalculated)),
                   fw::Widen(writetag::kBlockCountMessageCaption), fw::MB_OK | fw::MB_ICONINFORMATION);
        SetState(WriteState::Failed);
        return;
      }
      // A code of no blocks has nothing to write: that is no success.
      SetState(m_frames.m_nBlockCount == 0 ? WriteState::Failed : WriteState::SendBlock);
      return;
    }

    case WriteState::SendBlock: {
      const bool sent = SendWriteCommand(true) == kSent;
      if (sent) ++m_nBlockIndex;
      m_nWaitTicks = 0;
      SetState(writetag::AfterSend(sent));
      return;
    }

    case WriteState::SendBlocksSetting: {
      const bool sent = SendWriteCommand(false) == kSent;
      if (sent) m_nBlockIndex = static_cast<uint8_t>(m_frames.m_nBlockCount);
      m_nWaitTicks = 0;
      SetState(writetag::AfterSend(sent));
      return;
    }

    case WriteState::Wait:
      if (++m_nWaitTicks > kAnswerTicks) SetState(WriteState::Failed);
      return;

    case WriteState::AnswerOk:
      SetState(writetag::AfterAccepted(HasMoreBlocks()));
      return;

    case WriteState::Done: {
      m_sound.MessageBeep(kBeepDefault);
      const fw::WString message = m_bBlocksMode ? fw::WString(
                                                      u"Number of blocks successfuly transmitted. \r\n"
                                                      u"Do you want to write a code to the transponder. \r\n")
                                                : fw::WString(
                                                      u"Code successfuly transmitted. \r\n"
                                                      u"To check if code is successfuly written "
                                                      u"in tag read out the code of the tag. \r\n"
                                                      u"Do you want to write another transponder. \r\n");
      AppendCodeToFile(CodeText());
      if (m_events) {
        if (m_bBlocksMode) {
          m_events->Emit("written", {{"blocks", static_cast<long long>(SelectedBlockCount())}});
        } else {
          m_events->Emit("written", {{"code", fw::ToUtf8(CodeText())}});
        }
      }
      const int answer = MessageBox(message, u"Information", fw::MB_YESNO | fw::MB_ICONQUESTION);
      if (answer != fw::IDYES) {
        SetState(WriteState::Finish);
        return;
      }
      // Ready for the next code: typing goes to the code box (a disabled box takes the
      // focus once it is enabled again).
      m_comboCode.SetFocus();
      SetState(WriteState::ReadyForNext);
      return;
    }

    case WriteState::Failed: {
      if (RetryQuestionHeld()) return;
      if (m_events) m_events->Emit("write_failed", {{"mode", std::string(m_bBlocksMode ? "blocks" : "code")}});
      m_sound.MessageBeep(kBeepExclamation);
      const int answer = MessageBox(u"Code not successfuly transfered to transponder. \r\nTry again.", u"Error",
                                    fw::MB_YESNO | fw::MB_ICONERROR);
      if (answer != fw::IDYES) {
        SetState(WriteState::ReadyForNext);
        return;
      }
      m_comboCode.SetFocus();
      m_bReaderAnswered = false;
      m_retryStartedAt = Host().NowMs();
      SetState(writetag::RetryOf(m_bBlocksMode));
      return;
    }

    case WriteState::Finish:
      StopProcedureTimer();
      SetState(WriteState::Start);
      if (!m_bBlocksMode) DestroyWindow();
      return;

    case WriteState::ReadyForNext: {
      StopProcedureTimer();
      SetState(WriteState::Start);
      const fw::WString code = CodeText();
      m_comboCode.InsertString(0, code);
      m_comboCode.EnableWindow(true);
      m_comboCode.SetWindowText(u"");
      return;
    }
  }
}
