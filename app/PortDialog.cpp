#include "app/PortDialog.h"

#include "resources/Resource.h"
#include "resources/Templates.h"

using namespace res;

CPortDialog::CPortDialog(fw::IHost& host, std::vector<app::SerialDevice> devices, std::string device,
                         std::string reason, Actions actions)
    : fw::CDialog(host, res::PortTemplate()),
      m_devices(std::move(devices)),
      m_strDevice(std::move(device)),
      m_strReason(std::move(reason)),
      m_actions(std::move(actions)) {
  MapCommand(IDC_PORT_LIST, fw::Notify::SelChange, [this] { OnPickDevice(); });
  MapClicked(IDC_PORT_QUIT, [this] {
    if (m_actions.quit) m_actions.quit();
  });
}

bool CPortDialog::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  auto* w = Window();
  if (!w) return true;
  w->SetIcon(IDR_MAINFRAME);
  int current = -1;
  for (const app::SerialDevice& d : m_devices) {
    const int index = w->AddString(IDC_PORT_LIST, fw::Widen(app::DescribeSerialDevice(d)));
    if (d.path == m_strDevice) current = index;
  }
  if (m_devices.empty()) {
    // An empty list looks broken; say that nothing was found and where the port goes.
    current = w->AddString(IDC_PORT_LIST, u"None found: plug the reader in, or give its port below.");
  }
  w->SetCurSel(IDC_PORT_LIST, current);
  SetDlgItemText(IDC_PORT_PATH, fw::Widen(m_strDevice));
  SetReason(m_strReason);
  w->CenterWindow();
  w->SetFocus(IDC_PORT_PATH);
  return true;
}

void CPortDialog::SetReason(const std::string& reason) {
  m_strReason = reason;
  SetDlgItemText(IDC_PORT_REASON, fw::Widen(reason));
}

std::string CPortDialog::Path() const {
  std::string path = fw::ToUtf8(GetDlgItemText(IDC_PORT_PATH));
  while (!path.empty() && (path.back() == ' ' || path.back() == '\t')) path.pop_back();
  size_t start = 0;
  while (start < path.size() && (path[start] == ' ' || path[start] == '\t')) ++start;
  return path.substr(start);
}

void CPortDialog::OnPickDevice() {
  auto* w = Window();
  if (!w) return;
  const int index = w->GetCurSel(IDC_PORT_LIST);
  if (index < 0 || static_cast<size_t>(index) >= m_devices.size()) return;
  SetDlgItemText(IDC_PORT_PATH, fw::Widen(m_devices[static_cast<size_t>(index)].path));
}

void CPortDialog::OnOK() {
  const std::string path = Path();
  if (path.empty()) {
    SetReason("Give the reader's port, such as /dev/ttyUSB0.");
    return;
  }
  if (m_actions.connect && m_actions.connect(path)) DestroyWindow();
}
