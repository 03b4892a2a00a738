#include "download/DownloadDialog.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <span>

#include "download/EhxRecord.h"
#include "resources/Resource.h"
#include "resources/Templates.h"

using namespace download;
using namespace res;

bool CDownloadDialog::s_bDownloadTimerStopped = false;
uint32_t CDownloadDialog::s_nDownloadWaitTicks = 0;

namespace {

constexpr char kCommandLetter = 'I';
constexpr char kBootModeDigit = '0';
constexpr char kFirstPartDoneDigit = '1';
constexpr char kImageDoneDigit = '2';

constexpr char16_t kFirmwareTooOld[] =
    u"This option is available in Firmwareversion "
    u"204 and later! \r\n";
constexpr char16_t kNotDownloaded[] = u"Hex file not successfuly downloaded. Close Routine?";
constexpr char16_t kCommandRetry[] = u"Commando not send correct, try again?";

}  // namespace

CDownloadDialog::CDownloadDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::CommHandle hComm,
                                 std::filesystem::path appDir, LogSink log)
    : fw::CDialog(host, res::DownloadTemplate()),
      m_hComm(hComm),
      m_serial(serial),
      m_appDir(std::move(appDir)),
      m_log(std::move(log)) {
  m_comboFile.Bind(*this, IDC_DL_FILE);
  m_progress.Bind(*this, IDC_DL_PROGRESS);
  m_staticState.Bind(*this, IDC_DL_STATE);
  m_staticInfo.Bind(*this, IDC_DL_INFO);

  MapClicked(IDC_DL_DOWNLOAD, [this] { OnButtonDownload(); });
  MapClicked(IDC_DL_HELP, [this] { OnButtonHelp(); });
}

bool CDownloadDialog::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  FillFirmwareList();
  return true;
}

// ---------------------------------------------------------------------------------------
// Files

void CDownloadDialog::FillFirmwareList() {
  const std::vector<std::string> names = ListFirmwareFiles(m_appDir);
  for (const std::string& name : names) {
    fw::WString shown = fw::FromUtf8(name);
    m_comboFile.AddString(shown);
    m_listedFiles.emplace_back(std::move(shown), name);
  }
  if (names.empty()) return;
  // The list sorts itself; the file preselected is the first one the folder gave.
  const fw::WString& first = m_listedFiles.front().first;
  for (int i = 0; i < m_comboFile.GetCount(); ++i) {
    if (m_comboFile.GetLBText(i) == first) {
      m_comboFile.SetCurSel(i);
      break;
    }
  }
}

std::string CDownloadDialog::FileNameFor(const fw::WString& text) const {
  // A listed name whose bytes are no UTF-8 is shown with replacement characters; it opens
  // by its own bytes all the same.
  for (const auto& [shown, onDisk] : m_listedFiles) {
    if (shown == text) return onDisk;
  }
  return fw::ToUtf8(text);
}

int CDownloadDialog::OpenFirmwareFile() {
  const fw::WString text = m_comboFile.GetWindowText();
  if (text.empty()) {
    MessageBox(u"File path is empty, \r\nselect file and press download.", u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
    return kFileNotOpened;
  }
  const std::filesystem::path path = FirmwarePath(m_appDir, FileNameFor(text));
  if (!m_file.Open(path)) {
    MessageBox(u"File could not be opened.\r\n\"" + fw::FromUtf8(path.native()) + u"\".File probably already opened.",
               u"Warning", fw::MB_OK | fw::MB_ICONWARNING);
    return kFileNotOpened;
  }
  return kFileOpened;
}

void CDownloadDialog::SetProgressRange(uint64_t length) {
  m_nProgressShift = 0;
  while ((length >> m_nProgressShift) > static_cast<uint64_t>(INT_MAX)) ++m_nProgressShift;
  m_progress.SetRange32(0, static_cast<int>(length >> m_nProgressShift));
}

void CDownloadDialog::ShowProgress(uint64_t position) {
  const uint64_t units = position >> m_nProgressShift;
  m_progress.SetPos(units > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(units));
}

// ---------------------------------------------------------------------------------------
// Buttons

void CDownloadDialog::OnButtonDownload() {
  if (m_nState != DL_STATE_IDLE) {
    MessageBox(u"Downloading already in progress", u"Information", fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  StartDownloadTimer();
  SetState(DL_STATE_INIT);
}

void CDownloadDialog::OnCancel() {
  if (m_nState != DL_STATE_IDLE) {
    MessageBox(
        u"Download in progress,\r\n"
        u"download can only be canceled when state is IDLE.",
        u"Information", fw::MB_OK | fw::MB_ICONINFORMATION);
    return;
  }
  m_file.Close();
  DestroyWindow();
}

void CDownloadDialog::OnDestroy() {
  // The main window may close this dialog in the middle of a run: the file goes with it.
  m_file.Close();
}

void CDownloadDialog::OnButtonHelp() {
  MessageBox(
      u"The download files have to be located "
      u"in the same direcory as the Pelmor "
      u"application. \r\n"
      u"File must be of the type: *.EHX \r\n"
      u"Select the file and press 'Download'. \r\n\n" +
          fw::WString(kFirmwareTooOld),
      u"Help", fw::MB_OK | fw::MB_ICONINFORMATION);
}

// ---------------------------------------------------------------------------------------
// The step timer

void CDownloadDialog::StartDownloadTimer() {
  m_nTimerId = SetTimer(DOWNLOAD_TIMER_ID, kStepPeriodMs);
  if (m_nTimerId == 0) MessageBox(u"Unable to obtain timer.", u"System ERROR", fw::MB_OK | fw::MB_ICONERROR);
}

void CDownloadDialog::PauseDownloadTimer() {
  if (s_bDownloadTimerStopped) return;
  KillTimer(DOWNLOAD_TIMER_ID);
  s_bDownloadTimerStopped = true;
}

void CDownloadDialog::StopDownloadTimer() {
  KillTimer(DOWNLOAD_TIMER_ID);
  m_nTimerId = 0;
}

void CDownloadDialog::ResumeDownloadTimer() {
  if (!s_bDownloadTimerStopped) return;
  StartDownloadTimer();
  s_bDownloadTimerStopped = false;
}

void CDownloadDialog::SetState(int state) { m_nState = StoredState(state); }

void CDownloadDialog::OnTimer(unsigned id) {
  if (id != DOWNLOAD_TIMER_ID) return;
  // The pause flag is shared by the whole process and may already be set when a step
  // begins (after an earlier dialog ended through DL_STATE_CLOSE); then the timer keeps
  // ticking while a message box of the step is open, and those ticks must wait.
  if (m_bInStep) return;
  // A retry question held back waits with the timer running and no step taken: the step
  // that failed is not done again before the user has been asked.
  const bool heldQuestion = m_heldRetryQuestion.has_value();
  if (heldQuestion && RetryQuestionHeld()) return;
  m_bInStep = true;
  const int state = m_nState;
  const bool action = heldQuestion || IsActionState(state);
  if (action) PauseDownloadTimer();
  if (heldQuestion) {
    const fw::WString question = std::move(*m_heldRetryQuestion);
    m_heldRetryQuestion.reset();
    AskToRetry(question);
  } else {
    Step();
  }
  // DL_STATE_CLOSE stays paused; a window gone takes no timer.
  if (action && state != DL_STATE_CLOSE && IsWindow()) ResumeDownloadTimer();
  m_bInStep = false;
  // The step's own transition came last; a reader lost meanwhile overrides it.
  if (m_bReaderLost) EndRunOfLostReader();
  // Idle, a step has nothing to do but say so: "Download" starts the timer again.
  if (m_nState == DL_STATE_IDLE && IsWindow()) {
    m_staticState.SetWindowText(fw::Widen(StatusText(m_nState)));
    StopDownloadTimer();
  }
}

bool CDownloadDialog::RetryQuestionHeld() const {
  return m_silentRetrySince && Host().NowMs() < *m_silentRetrySince + kSilentRetryPauseMs;
}

void CDownloadDialog::OnReaderLost() {
  // The main window has closed the port this handle copies; a handle number may be taken
  // again by the next port opened.
  m_hComm = 0;
  m_bReaderLost = true;
  if (!m_bInStep) EndRunOfLostReader();
}

void CDownloadDialog::EndRunOfLostReader() {
  m_bReaderLost = false;
  m_heldRetryQuestion.reset();
  m_silentRetrySince.reset();
  // The next tick runs the error step, with the question and file handling of any failed run.
  SetState(StateAfterReaderLost(m_nState));
}

// ---------------------------------------------------------------------------------------
// Commands and answers

int CDownloadDialog::SendDownloadCommand(char first, char second) {
  if (m_hComm == 0) {
    MessageBox(
        u"No communication. \r\n"
        u"First connect. \r\n",
        u"ERROR", fw::MB_OK | fw::MB_ICONERROR);
    return kCommandSent;
  }
  const std::string frame = CommandFrame(first, second);
  size_t written = 0;
  const bool ok = m_serial.Write(m_hComm, reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), written);
  if (!ok || written < frame.size()) {
    MessageBox(u"Commando not send. \r\n", u"ERROR", fw::MB_OK | fw::MB_ICONERROR);
    return kCommandNotSent;
  }
  return kCommandSent;
}

bool CDownloadDialog::WriteRecord(const std::string& frame) {
  if (m_hComm == 0 || frame.empty()) return false;
  size_t written = 0;
  const bool ok = m_serial.Write(m_hComm, reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), written);
  return ok && written == frame.size();
}

void CDownloadDialog::OnReaderAnswer(const std::string& line) {
  // Whatever it says, the reader is there: its retries need not be slowed.
  m_silentRetrySince.reset();
  const int next = StateAfterAnswer(m_nState, line, m_resume.state);
  // Waiting for an answer, the file stands where the record step after the frame reads.
  m_resume = ResumeAfterAnswer(m_resume, m_nState, next, m_file.Position());
  SetState(next);
}

download::Answer CDownloadDialog::Ask(const fw::WString& text, const fw::WString& caption, unsigned icon) {
  return MessageBox(text, caption, fw::MB_YESNO | icon) == fw::IDYES ? Answer::Yes : Answer::No;
}

void CDownloadDialog::AskToRetry(const fw::WString& question) {
  if (RetryQuestionHeld()) {
    // The state stays that of the step that failed; OnTimer asks when the pause is over.
    m_heldRetryQuestion = question;
    return;
  }
  SetState(StateAfterRetryQuestion(Ask(question, u"Error", fw::MB_ICONERROR)));
  // The retry counts from the answer: the box may have been open for a long time.
  if (m_nState == DL_STATE_STATUS) {
    m_silentRetrySince = Host().NowMs();
  } else {
    m_silentRetrySince.reset();
  }
}

void CDownloadDialog::AskToClose(const fw::WString& text, const fw::WString& caption, unsigned icon) {
  SetState(StateAfterCloseQuestion(Ask(text, caption, icon)));
  // Staying open means idle, and an idle dialog holds no file.
  if (m_nState == DL_STATE_IDLE) m_file.Close();
}

// ---------------------------------------------------------------------------------------
// The steps

void CDownloadDialog::CommandStep(char second, int waitState, const fw::WString& retryQuestion) {
  if (SendDownloadCommand(kCommandLetter, second) == kCommandSent) {
    s_nDownloadWaitTicks = 0;
    SetState(waitState);
    return;
  }
  AskToRetry(retryQuestion);
}

void CDownloadDialog::RecordStep(ImagePart part) {
  const uint64_t offset = m_file.Position();
  ShowProgress(offset);
  std::array<uint8_t, kRecordSize> buffer{};
  const size_t got = m_file.Read(buffer);
  const std::span<const uint8_t> record(buffer.data(), got);
  RecordAction action = DecideRecord(part, record);
  bool sent = false;
  if (action == RecordAction::SplitFound) {
    // Nothing is sent: the split record is read again as the first of the second part.
    if (!m_file.Seek(offset)) action = RecordAction::Fail;
  } else if (action == RecordAction::Send) {
    sent = WriteRecord(RecordFrame(record));
    if (sent) s_nDownloadWaitTicks = 0;
    if (sent) m_nRecordsSent = std::max<uint64_t>(m_nRecordsSent, offset / kRecordSize + 1);
  } else if (action == RecordAction::Unsendable) {
    LogUnsendableRecord(offset, record);
  }
  SetState(StateAfterRecord(part, action, sent));
}

void CDownloadDialog::LogUnsendableRecord(uint64_t offset, std::span<const uint8_t> record) const {
  if (!m_log) return;
  // Counted from 1, as the lines of the file are; a character by its place in the line.
  const unsigned long long number = offset / kRecordSize + 1;
  const size_t at = FirstControlCharacter(record).value_or(0);
  const unsigned character = at < record.size() ? record[at] : 0;
  std::array<char, 96> text{};
  std::snprintf(text.data(), text.size(),
                "Firmware record %llu not sent: control character 0x%02X at position %zu.\r\n", number, character,
                at + 1);
  m_log(fw::Widen(text.data()));
}

void CDownloadDialog::EmitDownload(const char* state) {
  if (!m_events) return;
  m_events->Emit("download", {{"state", std::string(state)},
                              {"file", fw::ToUtf8(m_comboFile.GetWindowText())},
                              {"records", static_cast<long long>(m_nRecordsSent)}});
}

void CDownloadDialog::Step() {
  m_staticState.SetWindowText(fw::Widen(StatusText(m_nState)));
  switch (m_nState) {
    case DL_STATE_IDLE:
      return;

    case DL_STATE_INIT: {
      m_resume = ResumePoint{};
      m_silentRetrySince.reset();
      m_nRecordsSent = 0;
      if (OpenFirmwareFile() != kFileOpened) {
        SetState(DL_STATE_ERROR);
        return;
      }
      EmitDownload("started");
      const uint64_t length = m_file.Length();
      if (length > 0) SetProgressRange(length);
      SetState(DL_STATE_STATUS);
      return;
    }

    case DL_STATE_STATUS:
      // A retry comes here after an answer that did not come: the reader has taken every
      // frame it acknowledged and expects the one it did not acknowledge again. The file
      // goes back to where the record step behind the last acknowledged frame reads; the
      // progress bar stays where it is.
      m_file.Seek(m_resume.offset);
      CommandStep(0, DL_STATE_STATUS_WAIT, kCommandRetry);
      return;

    case DL_STATE_BOOT_MODE:
      CommandStep(kBootModeDigit, DL_STATE_BOOT_MODE_WAIT,
                  u"Commando \"DL_STATE_BOOT_MODE\" not send correct,"
                  u"try again?");
      return;

    case DL_STATE_SEND_STR1:
      RecordStep(ImagePart::First);
      return;

    case DL_STATE_SEND_I1:
      CommandStep(kFirstPartDoneDigit, DL_STATE_SEND_I1_WAIT, kCommandRetry);
      return;

    case DL_STATE_SEND_STR2:
      RecordStep(ImagePart::Second);
      return;

    case DL_STATE_SEND_I2:
      CommandStep(kImageDoneDigit, DL_STATE_SEND_I2_WAIT, kCommandRetry);
      return;

    case DL_STATE_STATUS_WAIT:
    case DL_STATE_BOOT_MODE_WAIT:
    case DL_STATE_SEND_STR1_WAIT:
    case DL_STATE_SEND_I1_WAIT:
    case DL_STATE_SEND_STR2_WAIT:
    case DL_STATE_SEND_I2_WAIT:
      SetState(StateAfterWaitTick(m_nState, ++s_nDownloadWaitTicks));
      return;

    case DL_STATE_NO_ANSWER:
      AskToRetry(
          u"No message received in time.\r\n"
          u"try again?");
      return;

    case DL_STATE_OK:
      EmitDownload("done");
      AskToClose(u"Hex file successfuly downloaded. Close Routine?", u"Info", fw::MB_ICONINFORMATION);
      return;

    case DL_STATE_FW_TOO_OLD:
      EmitDownload("failed");
      AskToClose(fw::WString(kFirmwareTooOld) + kNotDownloaded, u"ERROR", fw::MB_ICONERROR);
      return;

    case DL_STATE_ERROR:
      EmitDownload("failed");
      AskToClose(kNotDownloaded, u"ERROR", fw::MB_ICONERROR);
      return;

    case DL_STATE_CLOSE:
      m_file.Close();
      SetState(DL_STATE_IDLE);
      PauseDownloadTimer();
      DestroyWindow();
      return;

    default:
      // No transition leads here; the status control says "default" and the file goes.
      m_file.Close();
      return;
  }
}
