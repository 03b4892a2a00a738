#pragma once
// The "Reader port" dialog: the serial devices present (as `pelmor --list-ports` shows
// them), a field for any path, the reason the last port could not be opened, and
// "Connect" / "Quit". The main window opens it when its port cannot be opened, and from its
// context menu to switch readers.

#include <functional>
#include <string>
#include <vector>

#include "app/SerialDevices.h"
#include "framework/Dialog.h"

class CPortDialog : public fw::CDialog {
 public:
  struct Actions {
    // Tries the path; true when the reader is connected on it, and the dialog then closes.
    std::function<bool(const std::string& device)> connect;
    // "Quit": the program ends.
    std::function<void()> quit;
  };

  // device: the path the field starts with; reason: why it could not be opened, or empty.
  CPortDialog(fw::IHost& host, std::vector<app::SerialDevice> devices, std::string device, std::string reason,
              Actions actions);

  void SetReason(const std::string& reason);
  std::string Path() const;

 protected:
  bool OnInitDialog() override;
  // Enter and "Connect".
  void OnOK() override;
  // Escape and the close button: the dialog closes, the program stays.
  void OnCancel() override { DestroyWindow(); }

 private:
  void OnPickDevice();

  std::vector<app::SerialDevice> m_devices;
  std::string m_strDevice;
  std::string m_strReason;
  Actions m_actions;
};
