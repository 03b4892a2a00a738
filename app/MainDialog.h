#pragma once
// The main window: owns the serial port handle and all reader and option state, hosts
// every control the user sees, receives the receive loop's timer ticks and the scan keys,
// and opens the Write Tag and Download Firmware dialogs.
//
// The class is defined across several files, one per concern:
//   MainDialog.cpp          construction, start, the event table, secondary dialogs, closing
//   MainDialogLink.cpp      connect/disconnect, a lost reader and its return, the command
//                           write rules, the receive tick
//   MainDialogProtocol.cpp  commands, the reader's lines, the log and the tag display
//   MainDialogOutput.cpp    the code typed in hidden mode, and its settings in Config.ini
//   MainDialogHidden.cpp    hidden mode and the scan keys
//   MainDialogPort.cpp      the "Reader port" dialog, and the reader's return as udev tells it

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/ReaderReturn.h"
#include "device/PinAccess.h"
#include "events/Events.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "link/LineAssembler.h"
#include "platform/DeviceWatch.h"
#include "platform/HotKeys.h"
#include "platform/KeyOutput.h"
#include "platform/Serial.h"
#include "platform/Sound.h"

class CWriteTagDialog;
class CDownloadDialog;
class CPortDialog;

// The platform services the main window works through.
struct MainDialogServices {
  platform::ISerialPorts& serial;
  platform::IHotKeys& hotKeys;
  platform::IKeyOutput& keys;
  platform::ISound& sound;
  device::IPinAccess& pins;      // the reader's supply pin
  std::filesystem::path appDir;  // the application folder
};

class CMainDialog : public fw::CDialog {
 public:
  CMainDialog(fw::IHost& host, MainDialogServices services);
  ~CMainDialog() override;

  // Hot key ids of the scan keys.
  static constexpr int kHotKeyF24 = 0xBFFE;
  static constexpr int kHotKeyF22 = 0xBFFF;
  static constexpr unsigned kReceiveTimerId = 1;
  static constexpr unsigned kReceivePeriodMs = 50;
  // While the reader is lost, its port is tried again this often.
  static constexpr unsigned kReconnectTimerId = 3;
  static constexpr unsigned kReconnectPeriodMs = 1000;
  // One shot: a line that came less than kReceivePeriodMs after the one before waits for it.
  static constexpr unsigned kLinePaceTimerId = 4;
  static constexpr unsigned kStartDelayMs = 100;          // before the first connect
  static constexpr unsigned kVersionDelayMs = 200;        // between connect and 'V'
  static constexpr unsigned kConfigDelayMs = 300;         // between a version report and 'C'
  static constexpr unsigned kTagShowDelayMs = 10;         // before a tag is shown
  static constexpr unsigned kTagTypeRequestDelayMs = 10;  // between a 'C' reply and 'R'
  static constexpr unsigned kTagTypeWriteDelayMs = 50;    // between 'c' and 'r' commands
  static constexpr uint8_t kScanKeyVk = 0x5F;             // injected while the scan key is held
  static constexpr int kScanKeyTicks = 10;
  // The log keeps at most this many characters; older lines are dropped first.
  static constexpr size_t kMaxLogChars = 64 * 1024;
  // Command of the log's "Save log..." entry; no control has this id.
  static constexpr int kSaveLogCommand = 0x8001;

  // The "Reader port" dialog opens after the message box when the port cannot be
  // opened at start or by "Connect" (the desktop), or never (the headless terminal, where
  // a failed start ends the program).
  enum class PortDialogUse { Never, OnOpenFailure };
  void SetPortDialogUse(PortDialogUse use) { m_portDialogUse = use; }
  // Called with the path of a port chosen in the "Reader port" dialog once it connected.
  void SetPortMemory(std::function<void(const std::string&)> remember) { m_portMemory = std::move(remember); }
  // The serial devices the port dialog lists; ListSerialDevices unless set.
  void SetDeviceLister(std::function<std::vector<app::SerialDevice>()> list) { m_listDevices = std::move(list); }
  // Serial devices coming and going, watched from the message loop once the window is made.
  // Without it, a lost reader's port is tried again every kReconnectPeriodMs.
  void SetDeviceWatch(platform::IDeviceWatch* watch) { m_pDeviceWatch = watch; }
  static constexpr unsigned kPortDialogTimerId = 5;
  static constexpr unsigned kPortDialogDelayMs = 10;  // lets the main window show first

  // True when the port could not be opened at start and no reader was connected since; with
  // PortDialogUse::Never the window was destroyed.
  bool OpenFailed() const { return m_bOpenFailed; }
  // The device behind "COM1:", as the log names it when the reader is lost.
  void SetPortDevice(const fw::WString& device) { m_strDevice = device; }
  // Called with every text the log receives, as it is appended (the headless terminal
  // prints them).
  void SetLogObserver(std::function<void(const fw::WString&)> observer) { m_logObserver = std::move(observer); }
  // Where the things that happen go as events (connects, reads, writes, downloads); the
  // open Write Tag and Download Firmware dialogs tell theirs too. Null: nowhere.
  void SetEvents(events::IEvents* events) { m_events = events; }
  // The reader went away (unplugged, switched off): the port is let go as by "Disconnect",
  // and tried again every kReconnectPeriodMs until the reader is back.
  void OnReaderLost();
  bool IsWatchingForReader() const { return m_bWatchingForReader; }

  // Handlers and operations, public so tests and the secondary dialogs can reach them.
  void OnConnect();
  void OnTimer(unsigned id) override;
  void OnReaderLine(const std::string& line);
  int SendCommand(char letter);
  void OnGetVersion();
  void OnRead();
  void OnTrigger();
  void RequestTagTypes();
  void AppendLog(const fw::WString& text);
  void ShowTag(const fw::WString& type, const fw::WString& code);
  void OnClear();
  void OnClearCode();
  // "Save log..." of the log's context menu: the log as shown into a file the user picks.
  void OnSaveLog();
  void OnOptionChanged();
  void UpdateIsoOptions();
  void OnWrite();
  // The "Write" button: a new write by the user, with fresh resend counts.
  void OnWriteButton();
  void WriteTagTypes();
  void OnHide();
  void EnterHiddenMode();
  void OnHotKey(int id, uint32_t lparam) override;
  void EmitCode(const fw::WString& code);
  void SaveSettings();
  void LoadSettings();
  int SwitchReaderOn();
  int SwitchReaderOff();
  void PlayEventSound(int event);
  void OnOpenWriteTag();
  void OnOpenFirmware();
  // The context menu's "Port...": the "Reader port" dialog, to switch readers.
  void OnOpenPortDialog();
  // The "Reader port" dialog's "Connect": lets the current port go and opens this one.
  bool ConnectToPort(const std::string& device);
  void OnDeviceEvents();

  CPortDialog* PortDialog() const { return m_pPortDlg.get(); }
  CWriteTagDialog* WriteTagDialog() const { return m_pWriteTagDlg.get(); }
  CDownloadDialog* DownloadDialog() const { return m_pDownloadDlg.get(); }

  // State, named as the rest of the system knows it.
  fw::WString m_strPort = u"COM1:";
  int32_t m_nBaudRate = 9600;
  uint8_t m_nDataBits = 8;
  platform::CommHandle m_hComm = 0;
  unsigned m_nTimerId = 0;
  bool m_bHidden = false;
  bool m_bScanKeyDown = false;
  fw::WString m_strLogPrefix;
  int m_hIcon = 0;
  bool m_bTypeConfig = false;
  fw::WString m_strCmdC;
  fw::WString m_strCmdR;

  // Controls.
  fw::CButton m_btnConnect, m_btnGetVersion, m_btnHide;
  fw::CButton m_chkPrefix, m_chkSuffix, m_chkCr, m_chkTab;
  fw::CEdit m_editPrefix, m_editSuffix;
  fw::CStatic m_staticRule;
  fw::CButton m_btnTrigger;
  fw::CButton m_chkReadPSK1, m_chkReadPSK2, m_chkReadKeswin, m_chkReadFlex, m_chkReadIsoFdxB, m_chkReadFecava,
      m_chkReadAvid, m_chkReadAsk, m_chkHdx;
  fw::CButton m_chkUseTrigger, m_chkReadOnce, m_chkLedOn, m_chkLedAfterRead, m_chkIsoCountry, m_chkIsoHex, m_chkNoSpace;
  fw::CStatic m_picScan;
  fw::CButton m_btnRead, m_btnWrite;
  fw::CStatic m_staticType, m_staticCode;
  fw::CEdit m_editLog;
  fw::CButton m_chkAutoHide;

 protected:
  bool OnInitDialog() override;
  // The window's close button, Ctrl+Q and the desktop's close request end the program.
  void OnClose() override;
  // Enter and Escape do not: a desktop window stays until it is closed, also when Enter
  // ends the typing in a field.
  void OnOK() override {}
  void OnCancel() override {}
  void OnDestroy() override;

 private:
  // Writes a text one byte per write; each byte that does not go is logged.
  void SendBytes(std::string_view bytes);
  // Writes the bytes of a key list text ("0D") one per write, with the same logging.
  void SendKeyListBytes(const fw::WString& keys);
  bool WriteAll(const uint8_t* data, size_t size);
  enum class DisconnectKind { User, Lost };
  enum class OpenFailure { EndProgram, Tell, Quiet };
  void Disconnect(DisconnectKind kind);
  // Opens the port and sets it up; false when it cannot be opened, handled as onFailure says.
  bool Connect(OpenFailure onFailure);
  bool IsDeviceGone() const;
  void WatchForReader();
  void RetryPortWhereNeeded();
  void StopWatchingForReader();
  void TryReconnect();
  void CheckLostWhileSending();
  // Reads one byte of the open port; gone is set when the read failed for a lost device.
  readerlink::LineAssembler::ReadByte PortByteReader(bool& gone, bool* failed = nullptr);
  // The receive side of a port watched for input (see MainDialogLink.cpp).
  void WatchPort();
  void UnwatchPort();
  void ReadPort();
  void PaceLine(std::string line);
  void HandOverLine(const std::string& line);
  void OnLinePaceTimer();
  void UpdateReceiveTick();
  void OnReceiveTick();
  void TakeScanKeys();
  fw::WString SystemErrorText();
  void HandleTagLine(const std::string& line);
  void HandleScanStatus(const std::string& line);
  void HandleVersionReport(const std::string& line);
  void HandleConfigReply(const std::string& line);
  void HandleTagTypeReply(const std::string& line);
  void HandleConfigEcho(const std::string& line);
  void HandleTagTypeEcho(const std::string& line);
  void GiveUpWrite();
  void ReleaseClosedDialogs();
  // Why the last open failed, in plain words for the port dialog.
  std::string PortProblemText();
  // Learns what the opened reader is known by, to tell it when it comes back.
  void IdentifyReader();

  MainDialogServices m_services;
  std::unique_ptr<CWriteTagDialog> m_pWriteTagDlg;
  std::unique_ptr<CDownloadDialog> m_pDownloadDlg;
  std::unique_ptr<CPortDialog> m_pPortDlg;
  PortDialogUse m_portDialogUse = PortDialogUse::Never;
  std::function<void(const std::string&)> m_portMemory;
  std::function<std::vector<app::SerialDevice>()> m_listDevices;
  platform::IDeviceWatch* m_pDeviceWatch = nullptr;
  // A port was chosen in the port dialog (or the reader came back under a new node): it is
  // opened by its path rather than as "COM1:".
  bool m_bPortChosen = false;
  std::string m_strPortProblem;
  app::ReaderIdentity m_reader;
  readerlink::LineAssembler m_lineAssembler;
  int m_nKeyTicks = 0;
  bool m_bOpenFailed = false;
  bool m_bStarting = false;
  bool m_bWatchingForReader = false;
  // The lost reader is looked for by trying its port every kReconnectPeriodMs.
  bool m_bRetryingPort = false;
  app::PortFailure m_lastOpenFailure = app::PortFailure::NoDevice;
  bool m_bLostWhileSending = false;
  // The port's descriptor while the message loop watches it, else -1 (polled by the tick).
  int m_nWatchedFd = -1;
  bool m_bPortWatchPaused = false;
  std::optional<std::string> m_heldLine;
  std::optional<uint64_t> m_lastLineMs;
  fw::WString m_strDevice = u"COM1:";
  std::function<void(const fw::WString&)> m_logObserver;
  events::IEvents* m_events = nullptr;
  void Emit(const std::string& event, const events::Fields& fields = {}) {
    if (m_events) m_events->Emit(event, fields);
  }
  // Automatic resends after bad echoes, counted per command kind since the last good echo
  // or press of "Write"; kMaxResends in a row end the exchange.
  static constexpr int kMaxResends = 3;
  int m_nResendC = 0;
  int m_nResendR = 0;
  // The reader accepted the configuration command last sent. Only then does a good echo
  // of the tag-type command mean that the configuration is written.
  bool m_bConfigAccepted = false;
};
