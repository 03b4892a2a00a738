#include "download/DownloadDialog.h"

#include "resources/Templates.h"

CDownloadDialog::CDownloadDialog(fw::IHost& host, platform::ISerialPorts& serial,
                                 platform::CommHandle hComm, std::filesystem::path appDir)
    : fw::CDialog(host, res::IDD_DOWNLOAD), m_hComm(hComm), m_serial(serial), m_appDir(std::move(appDir)) {}

bool CDownloadDialog::OnInitDialog() { return true; }

void CDownloadDialog::OnReaderAnswer(const std::string& line) { (void)line; }
