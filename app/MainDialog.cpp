#include "app/MainDialog.h"

#include "device/EventSound.h"
#include "device/ReaderPower.h"
#include "app/PortDialog.h"
#include "download/DownloadDialog.h"
#include "resources/Resource.h"
#include "resources/Templates.h"
#include "writetag/WriteTagDialog.h"

using namespace res;

CMainDialog::CMainDialog(fw::IHost& host, MainDialogServices services)
    : fw::CDialog(host, res::MainTemplate()), m_services(std::move(services)) {
  m_hIcon = IDR_MAINFRAME;

  const struct {
    fw::CWnd* control;
    int id;
  } bindings[] = {
      {&m_btnConnect, IDC_CONNECT},
      {&m_btnGetVersion, IDC_GETVERSION},
      {&m_btnHide, IDC_HIDE},
      {&m_chkPrefix, IDC_PREFIX},
      {&m_chkSuffix, IDC_SUFFIX},
      {&m_chkCr, IDC_CR},
      {&m_chkTab, IDC_TAB},
      {&m_editPrefix, IDC_EDIT_PREFIX},
      {&m_editSuffix, IDC_EDIT_SUFFIX},
      {&m_staticRule, IDC_RULE},
      {&m_btnTrigger, IDC_TRIGGER},
      {&m_chkReadPSK1, IDC_READ_PSK1},
      {&m_chkReadPSK2, IDC_READ_PSK2},
      {&m_chkReadKeswin, IDC_READ_KESWIN},
      {&m_chkReadFlex, IDC_READ_FLEX},
      {&m_chkReadIsoFdxB, IDC_READ_ISOFDXB},
      {&m_chkReadFecava, IDC_READ_FECAVA},
      {&m_chkReadAvid, IDC_READ_AVID},
      {&m_chkReadAsk, IDC_READ_ASK},
      {&m_chkHdx, IDC_HDX},
      {&m_chkUseTrigger, IDC_USE_TRIGGER},
      {&m_chkReadOnce, IDC_READ_ONCE},
      {&m_chkLedOn, IDC_LED_ON},
      {&m_chkLedAfterRead, IDC_LED_AFTER_READ},
      {&m_chkIsoCountry, IDC_ISO_COUNTRY},
      {&m_chkIsoHex, IDC_ISO_HEX},
      {&m_chkNoSpace, IDC_NO_SPACE},
      {&m_picScan, IDC_PIC_SCAN},
      {&m_btnRead, IDC_READ},
      {&m_btnWrite, IDC_WRITE},
      {&m_staticType, IDC_TYPE},
      {&m_staticCode, IDC_CODE},
      {&m_editLog, IDC_LOG},
      {&m_chkAutoHide, IDC_AUTO_HIDE},
  };
  for (const auto& b : bindings) b.control->Bind(*this, b.id);

  MapClicked(IDC_CONNECT, [this] { OnConnect(); });
  MapClicked(IDC_GETVERSION, [this] { OnGetVersion(); });
  MapClicked(IDC_READ, [this] { OnRead(); });
  MapClicked(IDC_TRIGGER, [this] { OnTrigger(); });
  MapClicked(IDC_WRITE, [this] { OnWriteButton(); });
  MapClicked(IDC_CLEAR, [this] { OnClear(); });
  MapClicked(IDC_CLEAR_CODE, [this] { OnClearCode(); });
  MapClicked(IDC_HIDE, [this] { OnHide(); });
  MapClicked(IDC_FIRMWARE, [this] { OnOpenFirmware(); });
  MapClicked(IDC_WRITE_TAG, [this] { OnOpenWriteTag(); });
  MapClicked(kSaveLogCommand, [this] { OnSaveLog(); });
  MapClicked(IDM_PORT, [this] { OnOpenPortDialog(); });
  for (int id : {IDC_USE_TRIGGER, IDC_READ_ONCE, IDC_LED_ON,      IDC_LED_AFTER_READ, IDC_ISO_COUNTRY,  IDC_ISO_HEX,
                 IDC_READ_PSK1,   IDC_READ_PSK2, IDC_READ_KESWIN, IDC_READ_FLEX,      IDC_READ_ISOFDXB, IDC_READ_FECAVA,
                 IDC_READ_AVID,   IDC_READ_ASK,  IDC_HDX,         IDC_PREFIX,         IDC_SUFFIX,       IDC_CR,
                 IDC_NO_SPACE,    IDC_TAB,       IDC_AUTO_HIDE})
    MapClicked(id, [this] { OnOptionChanged(); });
  MapCommand(IDC_EDIT_PREFIX, fw::Notify::Changed, [this] { OnOptionChanged(); });
  MapCommand(IDC_EDIT_SUFFIX, fw::Notify::Changed, [this] { OnOptionChanged(); });

  m_services.hotKeys.SetSink([this](int id, uint32_t lparam) { DispatchHotKey(id, lparam); });

  PlayEventSound(device::kSoundStartUp);
}

CMainDialog::~CMainDialog() {
  m_services.hotKeys.SetSink(nullptr);
  // Secondary dialogs go first: their windows belong to this one.
  m_pWriteTagDlg.reset();
  m_pDownloadDlg.reset();
  m_pPortDlg.reset();
  // The port is closed when the object goes; the reader is not switched off here.
  if (m_hComm != 0) {
    UnwatchPort();
    m_services.serial.Close(m_hComm);
    m_hComm = 0;
  }
}

bool CMainDialog::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  if (auto* w = Window()) {
    w->SetIcon(m_hIcon);
    w->CenterWindow();
    w->AddMenuItem(IDC_LOG, u"Save log...", kSaveLogCommand);
    w->AddMenuCommand(IDM_PORT, u"Port...");
  }
  if (m_pDeviceWatch) Host().WatchFd(m_pDeviceWatch->Fd(), [this] { OnDeviceEvents(); });
  m_hComm = 0;
  Sleep(kStartDelayMs);
  m_bStarting = true;
  OnConnect();
  m_bStarting = false;
  Sleep(kVersionDelayMs);
  OnGetVersion();
  return true;
}

void CMainDialog::OnClose() {
  m_services.hotKeys.Unregister(kHotKeyF24);
  m_services.hotKeys.Unregister(kHotKeyF22);
  EndDialog(fw::IDCANCEL);
}

void CMainDialog::OnDestroy() {
  Host().HideTrayIcon();
  // Closing the secondary dialogs first keeps them from writing to a closed port.
  if (m_pWriteTagDlg) m_pWriteTagDlg->DestroyWindow();
  if (m_pDownloadDlg) m_pDownloadDlg->DestroyWindow();
  if (m_pPortDlg) m_pPortDlg->DestroyWindow();
  if (m_pDeviceWatch) Host().UnwatchFd(m_pDeviceWatch->Fd());
  if (m_hComm != 0) OnConnect();
}

void CMainDialog::PlayEventSound(int event) { device::PlayEventSound(m_services.sound, m_services.appDir, event); }

int CMainDialog::SwitchReaderOn() {
  return device::SwitchReaderOn(
      m_services.pins, [this](const std::u16string& text) { AppendLog(text); }, [this](unsigned ms) { Sleep(ms); });
}

int CMainDialog::SwitchReaderOff() {
  return device::SwitchReaderOff(m_services.pins, [this](const std::u16string& text) { AppendLog(text); });
}

void CMainDialog::ReleaseClosedDialogs() {
  // A dialog object is released once its window is gone and none of its handlers runs.
  if (m_pWriteTagDlg && !m_pWriteTagDlg->IsWindow() && !m_pWriteTagDlg->IsBusy()) m_pWriteTagDlg.reset();
  if (m_pDownloadDlg && !m_pDownloadDlg->IsWindow() && !m_pDownloadDlg->IsBusy()) m_pDownloadDlg.reset();
}

void CMainDialog::OnOpenWriteTag() {
  ReleaseClosedDialogs();
  if (m_pWriteTagDlg && m_pWriteTagDlg->IsWindow()) {
    m_pWriteTagDlg->SetPort(m_hComm);
    m_pWriteTagDlg->Window()->BringToFront();
    return;
  }
  if (m_pWriteTagDlg) return;  // a closed dialog still busy in a handler of its own
  m_pWriteTagDlg =
      std::make_unique<CWriteTagDialog>(Host(), m_services.serial, m_services.sound, m_hComm, m_services.appDir,
                                        [this](const fw::WString& text) { AppendLog(text); });
  m_pWriteTagDlg->SetEvents(m_events);
  if (!m_pWriteTagDlg->Create(this)) AppendLog(u"Create dialog ERROR \r\n");
  m_pWriteTagDlg->ShowWindow(true);
}

void CMainDialog::OnOpenFirmware() {
  ReleaseClosedDialogs();
  if (m_pDownloadDlg && m_pDownloadDlg->IsWindow()) {
    m_pDownloadDlg->SetPort(m_hComm);
    m_pDownloadDlg->Window()->BringToFront();
    return;
  }
  if (m_pDownloadDlg) return;
  m_pDownloadDlg = std::make_unique<CDownloadDialog>(Host(), m_services.serial, m_hComm, m_services.appDir,
                                                     [this](const fw::WString& text) { AppendLog(text); });
  m_pDownloadDlg->SetEvents(m_events);
  if (!m_pDownloadDlg->Create(this)) AppendLog(u"Create dialog ERROR \r\n");
  m_pDownloadDlg->ShowWindow(true);
}
