#include "app/ReaderApp.h"

CReaderApp::CReaderApp(fw::IHost& host, MainDialogServices services) : m_host(host), m_services(std::move(services)) {}

bool CReaderApp::InitInstance() {
  CMainDialog dlg(m_host, m_services);
  if (onMainDialog) onMainDialog(dlg);
  dlg.DoModal();
  m_nExitCode = dlg.OpenFailed() ? 1 : 0;
  return false;
}
