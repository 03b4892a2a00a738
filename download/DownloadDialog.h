#pragma once
// The Download Firmware dialog: loads a firmware file into the reader.

#include <filesystem>
#include <string>

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "platform/Serial.h"

class CDownloadDialog : public fw::CDialog {
 public:
  CDownloadDialog(fw::IHost& host, platform::ISerialPorts& serial, platform::CommHandle hComm,
                  std::filesystem::path appDir);

  // A reader line beginning with 'I', forwarded by the main window.
  void OnReaderAnswer(const std::string& line);

  platform::CommHandle m_hComm;

 protected:
  bool OnInitDialog() override;

 private:
  platform::ISerialPorts& m_serial;
  std::filesystem::path m_appDir;
};
