#pragma once
// The Write Tag dialog: writes a code or a block count into a transponder.

#include <filesystem>
#include <string>

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "platform/Serial.h"

class CWriteTagDialog : public fw::CDialog {
 public:
  CWriteTagDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::CommHandle hComm,
                  std::filesystem::path appDir);

  // A reader line beginning with 'w', forwarded by the main window.
  void OnReaderAnswer(const std::string& line);
  // The code of a tag read while the dialog is open.
  void ShowTagCode(const fw::WString& code);

  platform::CommHandle m_hComm;
  int m_nState = 0;

 protected:
  bool OnInitDialog() override;

 private:
  platform::ISerialPorts& m_serial;
  std::filesystem::path m_appDir;
};
