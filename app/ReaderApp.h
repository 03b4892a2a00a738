#pragma once
// The application object: creates the main window, runs it modally, and ends when that run
// ends.

#include <functional>

#include "app/MainDialog.h"

class CReaderApp {
 public:
  CReaderApp(fw::IHost& host, MainDialogServices services);

  // Called with the main window right after it was made and before it runs; main uses it
  // to route signals to the window.
  std::function<void(CMainDialog&)> onMainDialog;

  // Runs the main window modally. Returns false: the application ends when the run ends.
  bool InitInstance();
  // The process's exit status: 1 when the reader's port could not be opened.
  int ExitCode() const { return m_nExitCode; }

 private:
  fw::IHost& m_host;
  MainDialogServices m_services;
  int m_nExitCode = 0;
};
