// The desktop's ways to the reader's port: the "Reader port" dialog, opened when the port
// cannot be opened and from the context menu, and the reader's return as udev announces it.

#include <system_error>

#include "app/MainDialog.h"
#include "app/PortDialog.h"
#include "app/PortProblem.h"
#include "device/EventSound.h"
#include "resources/Resource.h"

using namespace res;

namespace {

// Where the system shows its processes and their open files.
constexpr const char* kProcFolder = "/proc";

std::string NodeOf(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path node = std::filesystem::canonical(path, ec);
  return ec ? std::string() : node.string();
}

}  // namespace

std::string CMainDialog::PortProblemText() {
  auto& serial = m_services.serial;
  const uint32_t error = serial.GetLastError();
  app::PortProblem problem;
  problem.failure = app::ClassifyOpenError(error);
  problem.device = fw::ToUtf8(m_strDevice);
  if (problem.failure == app::PortFailure::AccessDenied) problem.group = app::DeviceGroup(problem.device);
  if (problem.failure == app::PortFailure::Busy) problem.holders = app::ProcessesHolding(kProcFolder, problem.device);
  problem.systemText = fw::ToUtf8(serial.ErrorText(error));
  return app::DescribePortProblem(problem);
}

void CMainDialog::IdentifyReader() {
  const std::string path = fw::ToUtf8(m_strDevice);
  // Only udev's events are matched against the names; the retry needs the path alone.
  m_reader = app::IdentifyReader(
      path, NodeOf(path),
      m_pDeviceWatch ? (m_listDevices ? m_listDevices() : app::ListSerialDevices()) : std::vector<app::SerialDevice>{});
}

void CMainDialog::OnOpenPortDialog() {
  if (m_pPortDlg && m_pPortDlg->IsWindow()) {
    m_pPortDlg->SetReason(m_hComm == 0 ? m_strPortProblem : std::string());
    m_pPortDlg->Window()->BringToFront();
    return;
  }
  if (m_pPortDlg && m_pPortDlg->IsBusy()) return;
  CPortDialog::Actions actions{[this](const std::string& device) { return ConnectToPort(device); },
                               [this] { OnClose(); }};
  m_pPortDlg = std::make_unique<CPortDialog>(Host(), m_listDevices ? m_listDevices() : app::ListSerialDevices(),
                                             fw::ToUtf8(m_strDevice), m_hComm == 0 ? m_strPortProblem : std::string(),
                                             std::move(actions));
  if (!m_pPortDlg->Create(this)) {
    AppendLog(u"Create dialog ERROR \r\n");
    return;
  }
  m_pPortDlg->ShowWindow(true);
}

bool CMainDialog::ConnectToPort(const std::string& device) {
  if (m_hComm != 0) Disconnect(DisconnectKind::User);
  StopWatchingForReader();
  m_strDevice = fw::Widen(device);
  m_bPortChosen = true;
  if (!Connect(OpenFailure::Quiet)) {
    PlayEventSound(device::kSoundConnectError);
    AppendLog(u"ERROR while opening comport\r\n");
    if (m_pPortDlg) m_pPortDlg->SetReason(m_strPortProblem);
    WatchForReader();
    return false;
  }
  if (m_portMemory) m_portMemory(device);
  // The same start as when the program starts, from the version on.
  Sleep(kVersionDelayMs);
  OnGetVersion();
  return true;
}

void CMainDialog::OnDeviceEvents() {
  if (!m_pDeviceWatch) return;
  for (const platform::DeviceEvent& event : m_pDeviceWatch->TakeEvents()) {
    if (!m_bWatchingForReader || m_hComm != 0) continue;
    const std::optional<std::string> path = app::ReturningReaderPath(m_reader, event);
    if (!path) continue;
    // A link of the user's own that leads to the new node keeps its name.
    if (*path != m_reader.path && NodeOf(m_reader.path) != event.node) {
      m_strDevice = fw::Widen(*path);
      m_bPortChosen = true;
    }
    TryReconnect();
  }
}
