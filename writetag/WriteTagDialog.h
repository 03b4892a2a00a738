#pragma once
// The Write Tag dialog: writes a code, or a block count, into a transponder through the
// reader, and keeps the list of codes written in "TrCode.txt" (CodeListFile).
//
// The write procedure is a state machine stepped by a 1 ms window timer; the main window
// hands it every reader line that begins with 'w' (OnReaderAnswer) and the codes of tags
// read (ShowTagCode). The dialog never reads the port.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "events/Events.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "platform/Serial.h"
#include "platform/Sound.h"
#include "writetag/BlockFrames.h"
#include "writetag/CodeListFile.h"
#include "writetag/WriteStates.h"

class CWriteTagDialog : public fw::CDialog {
 public:
  // Receives the lines the dialog has for the main window's log, each ending in "\r\n":
  // the code list file's failures, which are no reason for a message box.
  using LogSink = std::function<void(const fw::WString&)>;

  CWriteTagDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::ISound& sound, platform::CommHandle hComm,
                  std::filesystem::path appDir, LogSink log);

  using State = writetag::WriteState;

  static constexpr unsigned kWriteTimerId = 1;
  static constexpr unsigned kStatusTimerId = 2;
  static constexpr unsigned kWritePeriodMs = 1;
  static constexpr unsigned kStatusPeriodMs = 3000;
  static constexpr unsigned kAnswerTicks = 2000;  // ticks of State::Wait before giving up
  // A retry that fails without a word from the reader (the port gone, nobody answering)
  // asks "Try again." no sooner than this after it began, so that Yes cannot make the run
  // fail and ask again thousands of times a second.
  static constexpr uint64_t kSilentRetryPauseMs = 1000;
  static constexpr size_t MAX_CODE_CHARS = writetag::MAX_CODE_CHARS;
  static constexpr size_t kMaxCodeListReads = writetag::kMaxCodeListReads;

  // Results of SendWriteCommand.
  static constexpr int kSent = 0;
  static constexpr int kShortWrite = 2;
  static constexpr int kWriteFailed = 3;

  // A reader line beginning with 'w', forwarded by the main window.
  void OnReaderAnswer(const std::string& line);
  // The main window hands over its port again when it brings the open dialog to the front,
  // as it would to a new one: the port may have been closed and opened since.
  void SetPort(platform::CommHandle hComm) { m_hComm = hComm; }
  // The main window has let the reader go: the port is closed, and a running procedure ends
  // as a failed one ends, with its question.
  void OnReaderLost();
  // Where a run's success ("written") and failure ("write_failed") go; null: nowhere.
  void SetEvents(events::IEvents* events) { m_events = events; }
  // The code of a tag read while the dialog is open: shown for 3 seconds.
  void ShowTagCode(const fw::WString& code);

  // Handlers, public so tests can reach them.
  void LoadCodeList();
  void AppendCodeToFile(const fw::WString& code);
  void OnButtonClearList();
  void OnButtonClear();
  void OnRadioBlocks(int id);
  void OnButtonWriteCode();
  void OnButtonWriteBlocks();
  void OnCodeEditChange();
  void OnButtonHelp();
  void StartProcedureTimer();
  void StopProcedureTimer();
  void SetState(State state) { m_nState = state; }
  bool HasMoreBlocks() const { return m_nBlockIndex < m_frames.m_nBlockCount; }
  int SendWriteCommand(bool codeBlock);
  std::filesystem::path CodeListPath() const { return m_codeList.Path(); }
  bool ProcedureRunning() const { return m_bTimerRunning; }

  platform::CommHandle m_hComm;
  State m_nState = State::Start;
  bool m_bBlocksMode = false;
  uint8_t m_nBlockIndex = 0;
  // A step is running: a message box it shows keeps dispatching ticks, which must not run
  // another step.
  bool m_bInTimer = false;
  unsigned m_nWaitTicks = 0;

  fw::CButton m_radioBlocks3, m_radioBlocks5, m_radioBlocks7;
  fw::CComboBox m_comboCode;
  fw::CStatic m_staticStatus;

 protected:
  bool OnInitDialog() override;
  void OnTimer(unsigned id) override;
  void OnOK() override;
  void OnCancel() override;
  void OnHelpInfo() override { OnButtonHelp(); }

 private:
  void Step();
  // 3, 5 or 7 as the radio buttons say; 0 when none is set.
  int SelectedBlockCount() const;
  // Whether the failure question waits: a retry failed with no reader line since it began,
  // sooner than kSilentRetryPauseMs after.
  bool RetryQuestionHeld() const;
  fw::WString CodeText() const { return m_comboCode.GetWindowText(); }
  void Log(const fw::WString& text) const {
    if (m_log) m_log(text);
  }

  platform::ISerialPorts& m_serial;
  platform::ISound& m_sound;
  writetag::CodeListFile m_codeList;
  LogSink m_log;
  events::IEvents* m_events = nullptr;
  writetag::BlockFrameSet m_frames;
  bool m_bTimerRunning = false;
  bool m_bReaderAnswered = false;  // a reader line came since the run or retry began
  std::optional<uint64_t> m_retryStartedAt;
  bool m_bReaderLost = false;  // came while a step ran: applied when it ends
};
