// The serial link of the main window: connect and disconnect, the write rules every
// command follows, and the receive tick that assembles the reader's lines.

#include "app/MainDialog.h"
#include "app/PortDialog.h"
#include "download/DownloadDialog.h"
#include "device/EventSound.h"
#include "protocol/KeyList.h"
#include "resources/Resource.h"
#include "writetag/WriteTagDialog.h"

using namespace res;

namespace {

constexpr uint8_t kCr = 0x0D;

}  // namespace

fw::WString CMainDialog::SystemErrorText() {
  auto& serial = m_services.serial;
  return serial.ErrorText(serial.GetLastError());
}

void CMainDialog::OnConnect() {
  if (m_hComm != 0) {
    Disconnect(DisconnectKind::User);
    return;
  }
  Connect(m_bStarting ? OpenFailure::EndProgram : OpenFailure::Tell);
}

void CMainDialog::Disconnect(DisconnectKind kind) {
  auto& serial = m_services.serial;
  m_btnConnect.EnableWindow(false);
  if (kind == DisconnectKind::User) PlayEventSound(device::kSoundDisconnectOk);
  KillTimer(m_nTimerId);
  UnwatchPort();
  m_btnGetVersion.EnableWindow(false);
  m_btnRead.EnableWindow(false);
  m_btnWrite.EnableWindow(false);
  m_btnConnect.SetWindowText(u"Connect");
  serial.Close(m_hComm);
  m_hComm = 0;
  m_lineAssembler.Reset();
  if (kind == DisconnectKind::User) AppendLog(u"Successfully disconnected!\r\n");
  Emit(kind == DisconnectKind::User ? "disconnected" : "reader_lost");
  if (SwitchReaderOff() != 0) AppendLog(u"Switch reader off Error \r\n");
  m_btnConnect.EnableWindow(true);
}

bool CMainDialog::Connect(OpenFailure onFailure) {
  auto& serial = m_services.serial;
  m_btnConnect.EnableWindow(false);
  m_strPort = u"COM1:";
  m_nBaudRate = 9600;
  m_nDataBits = 8;

  m_hComm = serial.Open(m_bPortChosen ? m_strDevice : m_strPort);
  m_lineAssembler.Reset();
  if (m_hComm == 0) {
    m_hComm = 0;
    m_btnConnect.EnableWindow(true);
    m_strPortProblem = PortProblemText();
    m_lastOpenFailure = app::ClassifyOpenError(serial.GetLastError());
    if (m_reader.path != fw::ToUtf8(m_strDevice)) m_reader = app::IdentifyReader(fw::ToUtf8(m_strDevice), "", {});
    if (onFailure == OpenFailure::Quiet) return false;
    PlayEventSound(device::kSoundConnectError);
    AppendLog(u"ERROR while opening comport\r\n");
    m_btnHide.EnableWindow(false);
    MessageBox(
        u"ERROR while opening comport\r\n"
        u"Maybe another Pelmor application is running?\r\n"
        u"When not than probably the comport is not right configured, "
        u"walk through 'Step1' of the Pelmor software manual.",
        u"Error", fw::MB_OK | fw::MB_ICONERROR);
    // Without the port dialog only a failed start ends the program; a later "Connect"
    // leaves the window for the user to try again once the reader is there.
    if (onFailure == OpenFailure::EndProgram) m_bOpenFailed = true;
    if (onFailure == OpenFailure::EndProgram && m_portDialogUse == PortDialogUse::Never) {
      DestroyWindow();
    } else {
      m_btnHide.EnableWindow(true);
      WatchForReader();
      if (m_portDialogUse == PortDialogUse::OnOpenFailure) SetTimer(kPortDialogTimerId, kPortDialogDelayMs);
    }
    return false;
  }
  StopWatchingForReader();
  m_lastOpenFailure = app::PortFailure::NoDevice;
  m_bLostWhileSending = false;
  m_bOpenFailed = false;
  IdentifyReader();

  PlayEventSound(device::kSoundConnectOk);
  if (SwitchReaderOn() != 0) {
    // The port stays open with the driver's settings; the next press closes it.
    AppendLog(u"Switch reader on Error\r\n");
    m_btnConnect.EnableWindow(true);
    return true;
  }
  AppendLog(u"Connected...\r\n");
  Emit("connected");

  platform::CommTimeouts timeouts;
  serial.GetCommTimeouts(m_hComm, timeouts);
  timeouts.ReadIntervalTimeout = platform::MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  if (!serial.SetCommTimeouts(m_hComm, timeouts)) AppendLog(u"Timeout: " + SystemErrorText());

  platform::Dcb dcb;
  serial.GetCommState(m_hComm, dcb);
  dcb.BaudRate = static_cast<uint32_t>(m_nBaudRate);
  dcb.ByteSize = m_nDataBits;
  dcb.Parity = 0;
  dcb.StopBits = 0;
  dcb.fParity = true;
  if (!serial.SetCommState(m_hComm, dcb)) AppendLog(u"CommState: " + SystemErrorText() + u"\r\n");

  m_btnConnect.SetWindowText(u"Disconnect");
  m_btnGetVersion.EnableWindow(true);
  m_btnRead.EnableWindow(true);
  m_nTimerId = SetTimer(kReceiveTimerId, kReceivePeriodMs);
  WatchPort();
  TakeScanKeys();
  m_btnConnect.EnableWindow(true);
  return true;
}

bool CMainDialog::IsDeviceGone() const { return m_services.serial.GetLastError() == platform::kErrDeviceGone; }

void CMainDialog::OnReaderLost() {
  if (m_hComm == 0) return;
  AppendLog(u"Reader lost on " + m_strDevice + u"\r\n");
  PlayEventSound(device::kSoundConnectError);
  Disconnect(DisconnectKind::Lost);
  if (m_pWriteTagDlg && m_pWriteTagDlg->IsWindow()) m_pWriteTagDlg->OnReaderLost();
  if (m_pDownloadDlg && m_pDownloadDlg->IsWindow()) m_pDownloadDlg->OnReaderLost();
  WatchForReader();
}

void CMainDialog::WatchForReader() {
  if (m_bWatchingForReader) return;
  m_bWatchingForReader = true;
  RetryPortWhereNeeded();
}

void CMainDialog::RetryPortWhereNeeded() {
  if (!m_bWatchingForReader || m_bRetryingPort) return;
  // udev tells when the reader is back; without it, or where it will not tell, the port is
  // tried again and again.
  m_bRetryingPort = !m_pDeviceWatch || app::RetriesPort(m_reader, m_lastOpenFailure);
  if (m_bRetryingPort) SetTimer(kReconnectTimerId, kReconnectPeriodMs);
}

void CMainDialog::CheckLostWhileSending() {
  if (!m_bLostWhileSending) return;
  m_bLostWhileSending = false;
  OnReaderLost();
}

void CMainDialog::StopWatchingForReader() {
  if (!m_bWatchingForReader) return;
  m_bWatchingForReader = false;
  if (m_bRetryingPort) KillTimer(kReconnectTimerId);
  m_bRetryingPort = false;
}

void CMainDialog::TryReconnect() {
  if (!m_bWatchingForReader || m_hComm != 0) return;
  if (!Connect(OpenFailure::Quiet)) {
    RetryPortWhereNeeded();
    return;
  }
  // The reader came back: the same start as when the program starts, from the version on.
  if (m_pPortDlg && m_pPortDlg->IsWindow()) m_pPortDlg->DestroyWindow();
  Sleep(kVersionDelayMs);
  OnGetVersion();
}

void CMainDialog::TakeScanKeys() {
  auto& keys = m_services.hotKeys;
  // Where the platform has no step to free the keys from the system, they are registered
  // without it.
  keys.ReleaseFromSystem(platform::MOD_KEYUP, platform::VK_F22);
  if (!keys.Register(kHotKeyF22, platform::MOD_KEYUP, platform::VK_F22)) AppendLog(u"Hotkey failed F22\r\n");
  keys.ReleaseFromSystem(platform::MOD_KEYUP, platform::VK_F24);
  if (!keys.Register(kHotKeyF24, platform::MOD_KEYUP, platform::VK_F24)) AppendLog(u"Hotkey failed F24\r\n");
}

bool CMainDialog::WriteAll(const uint8_t* data, size_t size) {
  size_t written = 0;
  if (m_services.serial.Write(m_hComm, data, size, written) && written == size) return true;
  if (IsDeviceGone()) {
    m_bLostWhileSending = true;
    UpdateReceiveTick();
  }
  return false;
}

int CMainDialog::SendCommand(char letter) {
  if (m_hComm == 0) {
    AppendLog(u"No communication \r\n");
    AppendLog(u"First connect \r\n");
    return -1;
  }
  const uint8_t frame[2] = {static_cast<uint8_t>(letter), kCr};
  if (WriteAll(frame, sizeof frame)) return 0;
  AppendLog(u"Commando not send \r\n");
  return -1;
}

void CMainDialog::SendBytes(std::string_view bytes) {
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (!WriteAll(&b, 1)) AppendLog(u"Commando not send \r\n");
  }
}

void CMainDialog::SendKeyListBytes(const fw::WString& keys) {
  for (uint8_t b : protocol::ParseKeyList(keys))
    if (!WriteAll(&b, 1)) AppendLog(u"Commando not send \r\n");
}

readerlink::LineAssembler::ReadByte CMainDialog::PortByteReader(bool& gone, bool* failed) {
  return [this, h = m_hComm, &gone, failed](uint8_t& byte) {
    size_t got = 0;
    if (!m_services.serial.Read(h, &byte, 1, got)) {
      gone = IsDeviceGone();
      if (failed) *failed = true;
      return readerlink::LineAssembler::ReadResult::Failed;
    }
    return got == 1 ? readerlink::LineAssembler::ReadResult::Byte : readerlink::LineAssembler::ReadResult::Empty;
  };
}

void CMainDialog::OnTimer(unsigned id) {
  if (id == kReconnectTimerId) {
    TryReconnect();
    return;
  }
  if (id == kLinePaceTimerId) {
    OnLinePaceTimer();
    return;
  }
  if (id == kPortDialogTimerId) {
    KillTimer(kPortDialogTimerId);
    OnOpenPortDialog();
    return;
  }
  if (id != kReceiveTimerId) return;

  if (m_bHidden && m_bScanKeyDown) {
    if (m_nKeyTicks <= kScanKeyTicks) {
      ++m_nKeyTicks;
    } else {
      m_services.keys.KeybdEvent(kScanKeyVk, 0, 0, 0);
      m_nKeyTicks = 0;
    }
  }
  if (m_nWatchedFd >= 0) {
    OnReceiveTick();
    return;
  }

  bool gone = false;
  auto line = m_lineAssembler.Tick(PortByteReader(gone));
  if (gone) {
    OnReaderLost();
    return;
  }
  if (line) OnReaderLine(*line);
  CheckLostWhileSending();
}

// ---------------------------------------------------------------------------------------
// A port watched for input
//
// Where the port gives a descriptor to watch, its bytes are read as they arrive and a line
// is handed to OnReaderLine as soon as it is complete, unless the line before was handed
// less than kReceivePeriodMs ago: then it waits until that much has passed, and the bytes
// behind it stay in the port meanwhile. Lines thus come at most one per tick period, as
// they do from the polling tick, only without its wait. The receive tick then runs only
// while it has work: the staleness check of a partial line, the held scan key's key
// injection, a loss found by a write. A port that cannot be watched is polled by the tick.

void CMainDialog::WatchPort() {
  const int fd = m_services.serial.ReadinessFd(m_hComm);
  if (fd < 0) return;
  m_nWatchedFd = fd;
  m_bPortWatchPaused = false;
  Host().WatchFd(fd, [this] { ReadPort(); });
  UpdateReceiveTick();
}

void CMainDialog::UnwatchPort() {
  KillTimer(kLinePaceTimerId);
  m_heldLine.reset();
  m_lastLineMs.reset();
  if (m_nWatchedFd < 0) return;
  if (!m_bPortWatchPaused) Host().UnwatchFd(m_nWatchedFd);
  m_nWatchedFd = -1;
  m_bPortWatchPaused = false;
}

void CMainDialog::ReadPort() {
  if (m_hComm == 0 || m_heldLine) return;
  bool gone = false;
  bool failed = false;
  auto line = m_lineAssembler.Feed(PortByteReader(gone, &failed));
  if (gone) {
    OnReaderLost();
    return;
  }
  if (line) {
    PaceLine(std::move(*line));
  } else if (failed && !m_bPortWatchPaused) {
    // A port that reports ready but fails to read (an error other than its going away)
    // would wake the loop without end; it is looked at again a tick period later.
    Host().UnwatchFd(m_nWatchedFd);
    m_bPortWatchPaused = true;
    SetTimer(kLinePaceTimerId, kReceivePeriodMs);
  }
  UpdateReceiveTick();
}

void CMainDialog::PaceLine(std::string line) {
  const uint64_t now = Host().NowMs();
  if (!m_lastLineMs || now >= *m_lastLineMs + kReceivePeriodMs) {
    HandOverLine(line);
    return;
  }
  m_heldLine = std::move(line);
  Host().UnwatchFd(m_nWatchedFd);
  m_bPortWatchPaused = true;
  SetTimer(kLinePaceTimerId, static_cast<unsigned>(*m_lastLineMs + kReceivePeriodMs - now));
}

void CMainDialog::HandOverLine(const std::string& line) {
  m_lastLineMs = Host().NowMs();
  OnReaderLine(line);
  CheckLostWhileSending();
}

void CMainDialog::OnLinePaceTimer() {
  KillTimer(kLinePaceTimerId);
  if (m_nWatchedFd >= 0 && m_bPortWatchPaused) {
    m_bPortWatchPaused = false;
    Host().WatchFd(m_nWatchedFd, [this] { ReadPort(); });
  }
  if (!m_heldLine) return;
  const std::string line = std::move(*m_heldLine);
  m_heldLine.reset();
  HandOverLine(line);
  UpdateReceiveTick();
}

void CMainDialog::OnReceiveTick() {
  // Bytes whose notification has not come yet count for this tick.
  ReadPort();
  if (m_hComm == 0) return;
  m_lineAssembler.Expire();
  CheckLostWhileSending();
  UpdateReceiveTick();
}

void CMainDialog::UpdateReceiveTick() {
  if (m_nWatchedFd < 0 || m_hComm == 0) return;
  const bool needed = m_lineAssembler.HasPartial() || m_bScanKeyDown || m_bLostWhileSending;
  if (needed == (m_nTimerId != 0)) return;
  if (needed) {
    m_nTimerId = SetTimer(kReceiveTimerId, kReceivePeriodMs);
  } else {
    KillTimer(kReceiveTimerId);
    m_nTimerId = 0;
  }
}
