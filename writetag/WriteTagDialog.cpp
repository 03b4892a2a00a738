#include "writetag/WriteTagDialog.h"

#include "resources/Templates.h"

CWriteTagDialog::CWriteTagDialog(fw::IHost& host, platform::ISerialPorts& serial,
                                 platform::CommHandle hComm, std::filesystem::path appDir)
    : fw::CDialog(host, res::IDD_WRITETAG), m_hComm(hComm), m_serial(serial), m_appDir(std::move(appDir)) {}

bool CWriteTagDialog::OnInitDialog() { return true; }

void CWriteTagDialog::OnReaderAnswer(const std::string& line) { (void)line; }

void CWriteTagDialog::ShowTagCode(const fw::WString& code) { (void)code; }
