// The main window's handling of the reader's lines: version reports, scan states, tag
// lines, reset reports and forwarding.

#include <gtest/gtest.h>

#include <fstream>

#include "tests/app/Rig.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;
using testing_rig::Rig;

struct Connected : ::testing::Test {
  Rig r;
  void SetUp() override {
    r.Start();
    r.ClearLog();
    r.serial.ClearWritten();
    r.sound.played.clear();
    r.sound.beeps.clear();
    r.host.sleeps.clear();
  }
  void WriteSoundFiles() {
    std::filesystem::create_directories(r.dir.Path() / "Sound");
    for (const char* f : {"StartScanning.wav", "NoTagFound.wav", "SameTagFound.wav", "TagFound.wav"})
      std::ofstream(r.dir.Path() / "Sound" / f) << "RIFF";
  }
  std::string Played(size_t i) {
    return i < r.sound.played.size() ? std::filesystem::path(r.sound.played[i]).filename().string() : "";
  }
};

TEST_F(Connected, VersionReportIsLoggedThenConfigurationAsked) {
  r.Line("VLF2.01 CRSWI");
  EXPECT_EQ(r.Log(), "Firmwareversion: LF2.01\r\nCommandset: CRSWI\r\nVersion: Pelmor (WCE) v3.05");
  EXPECT_TRUE(r.dlg->m_bTypeConfig);
  EXPECT_EQ(r.host.sleeps, (std::vector<unsigned>{300}));
  EXPECT_EQ(r.serial.Written(), "C\r");
  // The next text starts on a line of its own, once.
  r.Line("Xa");
  r.Line("Xb");
  EXPECT_EQ(r.Log(),
            "Firmwareversion: LF2.01\r\nCommandset: CRSWI\r\nVersion: Pelmor (WCE) v3.05"
            "\r\nReset Reader:\r\nXaReset Reader:\r\nXb");
}

TEST_F(Connected, VersionReportWithoutCommandSetAndOldFirmware) {
  r.dlg->m_bTypeConfig = true;
  r.Line("V123456789012");
  EXPECT_EQ(r.Log(), "Firmwareversion: 1234567890\r\nCommandset: \r\nVersion: Pelmor (WCE) v3.05");
  EXPECT_FALSE(r.dlg->m_bTypeConfig);
  r.ClearLog();
  r.Line("VABCDE X");  // five characters: no type configuration
  EXPECT_FALSE(r.dlg->m_bTypeConfig);
}

TEST_F(Connected, VersionReportReloadsTheSettings) {
  std::ofstream(r.dir.Path() / "Config.ini") << "NO_SPACE=1\r\n";
  r.Line("VLF2.01 C");
  EXPECT_TRUE(r.Checked(IDC_NO_SPACE));
}

TEST_F(Connected, ScanStartedShowsDotsAndDisablesTrigger) {
  WriteSoundFiles();
  r.dlg->m_btnTrigger.EnableWindow(true);
  r.dlg->ShowTag(u"PSK1", u"123");
  r.Line("S1");
  EXPECT_EQ(r.Log(), "scanning now...\r\n");
  EXPECT_EQ(r.Text(IDC_TYPE), "Type: ....");
  EXPECT_EQ(r.Text(IDC_CODE), "Code: ....");
  EXPECT_FALSE(r.Control(IDC_TRIGGER).enabled);
  EXPECT_EQ(Played(0), "StartScanning.wav");
}

TEST_F(Connected, NoTagAndSameTag) {
  WriteSoundFiles();
  r.dlg->ShowTag(u"PSK1", u"123");
  r.Line("S0");
  r.Line("SS");
  EXPECT_EQ(r.Log(), "no tag found!\r\nsame tag found!\r\n");
  EXPECT_TRUE(r.Control(IDC_TRIGGER).enabled);
  // The last tag stays on display.
  EXPECT_EQ(r.Text(IDC_CODE), "Code: 123");
  EXPECT_EQ(Played(0), "NoTagFound.wav");
  EXPECT_EQ(Played(1), "SameTagFound.wav");
}

TEST_F(Connected, IgnoredScanStatesChangeNothing) {
  r.dlg->m_btnTrigger.EnableWindow(true);
  r.Line("SNO");
  r.Line("S2");
  EXPECT_EQ(r.Log(), "");
  EXPECT_TRUE(r.Control(IDC_TRIGGER).enabled);
  EXPECT_TRUE(r.sound.played.empty());
  EXPECT_TRUE(r.sound.beeps.empty());
}

TEST_F(Connected, KnownTagIsShownLoggedAndSounded) {
  WriteSoundFiles();
  r.Line("80ABCDEFGHIJZ");
  EXPECT_EQ(r.Text(IDC_TYPE), "Type: PSK1");
  EXPECT_EQ(r.Text(IDC_CODE), "Code: ABCDEFGHIJ");
  EXPECT_EQ(r.Log(), "Tag found! (ABCDEFGHIJ) \r\n");
  EXPECT_EQ(Played(0), "TagFound.wav");
  EXPECT_EQ(r.host.sleeps, (std::vector<unsigned>{10}));
}

TEST_F(Connected, TagLineCases) {
  const struct {
    const char* line;
    bool noSpace;
    const char* type;
    const char* code;
    const char* log;
  } cases[] = {
      {"15ABC", false, "Type: Keswin FLEX 5 blocks", "Code: AB", "Tag found! (AB) \r\n"},
      {"08Z", false, "Type: ISO FDX-b", "Code: ", "Tag found! () \r\n"},
      {"080 12 345Z", true, "Type: ISO FDX-b", "Code: 012345", "Tag found! (012345) \r\n"},
      {"080 12 345Z", false, "Type: ISO FDX-b", "Code: 0 12 345", "Tag found! (0 12 345) \r\n"},
  };
  for (const auto& c : cases) {
    r.ClearLog();
    r.SetCheck(IDC_NO_SPACE, c.noSpace);
    r.Line(c.line);
    EXPECT_EQ(r.Text(IDC_TYPE), c.type) << c.line;
    EXPECT_EQ(r.Text(IDC_CODE), c.code) << c.line;
    EXPECT_EQ(r.Log(), c.log) << c.line;
  }
}

TEST_F(Connected, UnknownTypeOnlyTouchesTheTriggerButton) {
  r.dlg->ShowTag(u"NoTag", u"NoTag");
  for (bool useTrigger : {true, false}) {
    r.SetCheck(IDC_USE_TRIGGER, useTrigger);
    r.Line("a0123456Z");
    EXPECT_EQ(r.Control(IDC_TRIGGER).enabled, useTrigger);
  }
  EXPECT_EQ(r.Log(), "");
  EXPECT_EQ(r.Text(IDC_TYPE), "Type: ....");
  EXPECT_TRUE(r.sound.played.empty());
  EXPECT_TRUE(r.sound.beeps.empty());
  EXPECT_TRUE(r.host.sleeps.empty());
}

TEST_F(Connected, ResetReport) {
  r.Line("X reset 42");
  EXPECT_EQ(r.Log(), "Reset Reader:\r\nX reset 42");
}

TEST_F(Connected, HiddenTagIsTypedAndEndsTheCycle) {
  r.dlg->m_bHidden = true;
  r.dlg->ShowWindow(true);
  r.SetCheck(IDC_NO_SPACE, true);
  r.Line("081 23Z");
  EXPECT_FALSE(r.dlg->IsWindowVisible());
  EXPECT_EQ(r.keys.stream, U"123");
  EXPECT_EQ(r.supply.calls.back(), false);
  EXPECT_EQ(r.Log(), "");  // no "Tag found!" in hidden mode
  EXPECT_EQ(r.Text(IDC_CODE), "Code: 123");
}

TEST_F(Connected, HiddenScanCycleShowsAndHidesTheWindow) {
  r.dlg->m_bHidden = true;
  r.dlg->ShowWindow(false);
  r.Line("S1");
  EXPECT_TRUE(r.dlg->IsWindowVisible());
  r.Line("a0unknownZ");  // unknown type leaves it shown
  EXPECT_TRUE(r.dlg->IsWindowVisible());
  r.Line("S0");
  EXPECT_FALSE(r.dlg->IsWindowVisible());
  EXPECT_EQ(r.supply.calls.back(), false);
  r.Line("S1");
  r.supply.failOff = true;
  r.Line("SS");
  EXPECT_FALSE(r.dlg->IsWindowVisible());
  EXPECT_NE(r.Log().find("same tag found!\r\nThe function failed\r\nSwitch reader off Error \r\n"), std::string::npos);
}

TEST_F(Connected, WriteAnswersAndCodesGoOnlyToAnOpenWriteTagDialog) {
  // Nothing open: dropped without a trace.
  r.Line("w2OK");
  r.Line("I0OK");
  EXPECT_EQ(r.Log(), "");
  r.Click(IDC_WRITE_TAG);
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  wt->DestroyWindow();
  // A closed dialog hears nothing more, and the main window does not stumble over it.
  r.Line("w2OK");
  r.Line("08123Z");
  EXPECT_EQ(r.Log(), "Tag found! (123) \r\n");
}

TEST_F(Connected, LogIsBounded) {
  const std::string line = "X" + std::string(30, 'y');
  for (int i = 0; i < 5000; ++i) r.dlg->OnReaderLine(line);
  const std::string log = r.Log();
  EXPECT_LE(fw::FromUtf8(log).size(), CMainDialog::kMaxLogChars);
  EXPECT_EQ(log.substr(log.size() - line.size()), line);
  // What is kept starts at a line of its own: right after a line end.
  EXPECT_EQ(log.rfind(line, 0), 0u);
}

TEST_F(Connected, ClearAndClearCode) {
  r.Line("08123Z");
  r.Click(IDC_CLEAR);
  EXPECT_EQ(r.Log(), "");
  r.Click(IDC_CLEAR_CODE);
  EXPECT_EQ(r.Text(IDC_TYPE), "Type: ....");
  EXPECT_EQ(r.Text(IDC_CODE), "Code: ....");
}

}  // namespace
