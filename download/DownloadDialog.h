#pragma once
// The Download Firmware dialog: lists the firmware files (*.EHX) of the application folder
// and loads the chosen one into the reader.
//
// The download is a state machine stepped by a 1 ms window timer, one step per tick: a
// step sends one command or one record, or counts one tick of a wait for the reader's
// answer. The dialog never reads the port: the main window hands it every reader line that
// begins with 'I' (OnReaderAnswer), which only changes the state; the next tick acts on it.
// A retry after an answer that did not come asks for the status again and then sends the
// frame that was not acknowledged, and the rest of the image after it.
// The transitions themselves live in download/DownloadStates.h, the file format in
// download/EhxRecord.h and download/EhxFile.h.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "download/DownloadStates.h"
#include "download/EhxFile.h"
#include "events/Events.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "platform/Serial.h"

class CDownloadDialog : public fw::CDialog {
 public:
  // Receives the lines the dialog has for the main window's log, each ending in "\r\n":
  // why a run ended where its error box cannot say. Without one they go nowhere.
  using LogSink = std::function<void(const fw::WString&)>;

  CDownloadDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::CommHandle hComm,
                  std::filesystem::path appDir, LogSink log = {});

  static constexpr unsigned DOWNLOAD_TIMER_ID = 1;
  static constexpr unsigned kStepPeriodMs = 1;
  // A retry that fails before the reader has answered anything asks "try again?" no sooner
  // than this after the Yes that started it: a port that fails every write at once would
  // otherwise ask as fast as the question is answered. Read from the host's clock; the
  // step timer keeps running meanwhile. A retry the reader answered is not slowed.
  static constexpr uint64_t kSilentRetryPauseMs = 1000;
  // Results of SendDownloadCommand.
  static constexpr int kCommandSent = 0;
  static constexpr int kCommandNotSent = 3;
  // Results of OpenFirmwareFile.
  static constexpr int kFileOpened = 0;
  static constexpr int kFileNotOpened = 4;

  // A reader line beginning with 'I', forwarded by the main window. Only changes the state
  // and, when it acknowledges a frame, where a retry goes on; ignored while no run is active.
  void OnReaderAnswer(const std::string& line);
  // The main window hands over its port again when it brings the open dialog to the front,
  // as it would to a new one: the port may have been closed and opened since.
  void SetPort(platform::CommHandle hComm) { m_hComm = hComm; }
  // The main window found the reader gone and let its port go. The dialog drops its copy,
  // and a run in progress ends as a failed run does: the error question, the file closed,
  // idle or closed by the answer; it does not ask to try again, for nothing could answer.
  // A step whose question is open at the time finishes first.
  void OnReaderLost();
  // Where the run's start and end go as "download" events; null: nowhere.
  void SetEvents(events::IEvents* events) { m_events = events; }

  // Handlers and steps, public so tests can reach them.
  void FillFirmwareList();
  int OpenFirmwareFile();
  void OnButtonDownload();
  void OnButtonHelp();
  // Builds 'I', second unless it is 0, CR and writes it. Without a connection the user is
  // told and the result is still kCommandSent: the wait that follows ends in
  // DL_STATE_NO_ANSWER, whose question lets the user give up.
  int SendDownloadCommand(char first, char second);
  void SetState(int state);
  void StartDownloadTimer();
  void PauseDownloadTimer();
  void ResumeDownloadTimer();
  void StopDownloadTimer();
  bool InStep() const { return m_bInStep; }

  platform::CommHandle m_hComm;
  int m_nState = download::DL_STATE_IDLE;
  unsigned m_nTimerId = 0;
  download::EhxFile m_file;

  fw::CComboBox m_comboFile;
  fw::CProgressCtrl m_progress;
  fw::CStatic m_staticState;
  fw::CStatic m_staticInfo;

  // Shared by every Download Firmware dialog of the process; the main window lets only
  // one be open at a time.
  static bool s_bDownloadTimerStopped;
  static uint32_t s_nDownloadWaitTicks;

 protected:
  bool OnInitDialog() override;
  void OnTimer(unsigned id) override;
  // Enter presses the default button, "Download".
  void OnOK() override { OnButtonDownload(); }
  void OnCancel() override;
  void OnDestroy() override;
  void OnHelpInfo() override { OnButtonHelp(); }

 private:
  void Step();
  void CommandStep(char second, int waitState, const fw::WString& retryQuestion);
  void AskToRetry(const fw::WString& question);
  bool RetryQuestionHeld() const;
  void EndRunOfLostReader();
  void RecordStep(download::ImagePart part);
  void LogUnsendableRecord(uint64_t offset, std::span<const uint8_t> record) const;
  bool WriteRecord(const std::string& frame);
  void AskToClose(const fw::WString& text, const fw::WString& caption, unsigned icon);
  download::Answer Ask(const fw::WString& text, const fw::WString& caption, unsigned icon);
  // The file a download opens: a listed name by its name on disk, a typed one as UTF-8.
  std::string FileNameFor(const fw::WString& text) const;
  void SetProgressRange(uint64_t length);
  void ShowProgress(uint64_t position);

  platform::ISerialPorts& m_serial;
  std::filesystem::path m_appDir;
  LogSink m_log;
  events::IEvents* m_events = nullptr;
  uint64_t m_nRecordsSent = 0;  // of this run: the highest record sent, counted from 1
  void EmitDownload(const char* state);
  // Where the image goes on after the next status query.
  download::ResumePoint m_resume;
  // Listed names as shown, with the names on disk they stand for.
  std::vector<std::pair<fw::WString, std::string>> m_listedFiles;
  // The progress bar counts in bytes shifted right by this much, so that files longer than
  // an int can hold still fit its range.
  unsigned m_nProgressShift = 0;
  // A step of this dialog is running (its message box may be open): ticks wait.
  bool m_bInStep = false;
  // When the user last answered Yes to "try again?", by the host clock, as long as the
  // reader has answered nothing since; empty otherwise.
  std::optional<uint64_t> m_silentRetrySince;
  // A retry question waiting for kSilentRetryPauseMs to pass.
  std::optional<fw::WString> m_heldRetryQuestion;
  // The reader went away while a step was running; the run ends once the step is done.
  bool m_bReaderLost = false;
};
