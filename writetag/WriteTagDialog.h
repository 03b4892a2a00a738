#pragma once
// The Write Tag dialog: writes a code, or a block count, into a transponder through the
// reader, and keeps the list of codes written in "TrCode.txt" (CodeListFile).
//
// The write procedure is a state machine stepped by a 1 ms window timer; the main window
// hands it every reader line that begins with 'w' (OnReaderAnswer) and the codes of tags
// read (ShowTagCode). The dialog never reads the port.

#include <filesystem>
#include <functional>
#include <string>

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "platform/Serial.h"
#include "platform/Sound.h"
#include "writetag/BlockFrames.h"
#include "writetag/CodeListFile.h"

class CWriteTagDialog : public fw::CDialog, public writetag::BlockFrameSet {
 public:
  // Receives the lines the dialog has for the main window's log, each ending in "\r\n":
  // the code list file's failures, which are no reason for a message box.
  using LogSink = std::function<void(const fw::WString&)>;

  CWriteTagDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::ISound& sound,
                  platform::CommHandle hComm, std::filesystem::path appDir, LogSink log);

  static constexpr unsigned WRITE_TIMER_ID = 1;
  static constexpr unsigned STATUS_TIMER_ID = 2;
  static constexpr unsigned kWritePeriodMs = 1;
  static constexpr unsigned kStatusPeriodMs = 3000;
  static constexpr unsigned kAnswerTicks = 2000;  // ticks of state 5 before giving up
  static constexpr int MAX_CODE_CHARS = 15;
  static constexpr size_t kMaxCodeListReads = writetag::kMaxCodeListReads;

  // Procedure states.
  enum State : int {
    kStart = 0,
    kCheck = 1,
    kEncode = 2,
    kSendBlock = 3,
    kSendBlocksSetting = 4,
    kWait = 5,
    kAnswerOk = 6,
    kDone = 7,
    kFailed = 8,
    kFinish = 9,
    kReadyForNext = 10,
  };
  // Results of SendWriteCommand.
  static constexpr int kSent = 0;
  static constexpr int kShortWrite = 2;
  static constexpr int kWriteFailed = 3;

  // A reader line beginning with 'w', forwarded by the main window.
  void OnReaderAnswer(const std::string& line);
  // The main window hands over its port again when it brings the open dialog to the front,
  // as it would to a new one: the port may have been closed and opened since.
  void SetPort(platform::CommHandle hComm) { m_hComm = hComm; }
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
  void SetState(int state);
  bool HasMoreBlocks() const { return m_nBlockIndex < m_nBlockCount; }
  int SendWriteCommand(bool codeBlock);
  std::filesystem::path CodeListPath() const { return m_codeList.Path(); }
  bool ProcedureRunning() const { return m_bTimerRunning; }

  platform::CommHandle m_hComm;
  int m_nState = kStart;
  bool m_bBlocksMode = false;
  uint8_t m_nBlockIndex = 0;
  // Shared by every Write Tag dialog of the process.
  static bool s_bInTimer;
  static unsigned s_nWaitTicks;

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
  fw::WString CodeText() const { return m_comboCode.GetWindowText(); }
  void Log(const fw::WString& text) const {
    if (m_log) m_log(text);
  }

  platform::ISerialPorts& m_serial;
  platform::ISound& m_sound;
  writetag::CodeListFile m_codeList;
  LogSink m_log;
  bool m_bTimerRunning = false;
};
