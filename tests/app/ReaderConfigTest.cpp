// The reader's settings: replies that set the check boxes, the write with its echo checks.

#include <gtest/gtest.h>

#include "tests/app/Rig.h"

namespace {

using namespace res;
using testing_rig::Rig;

constexpr int kTypeBoxes[] = {IDC_READ_PSK1,    IDC_READ_PSK2,   IDC_READ_KESWIN, IDC_READ_FLEX,
                              IDC_READ_ISOFDXB, IDC_READ_FECAVA, IDC_READ_AVID,   IDC_READ_ASK};

struct Config : ::testing::Test {
  Rig r;
  void SetUp() override {
    r.Start();
    r.ClearLog();
    r.serial.ClearWritten();
    r.host.sleeps.clear();
  }
  bool Visible(int id) { return r.Control(id).visible; }
  bool Enabled(int id) { return r.Control(id).enabled; }
};

TEST_F(Config, WriteSendsTheExactBytes) {
  for (int id : {IDC_USE_TRIGGER, IDC_LED_ON, IDC_ISO_HEX, IDC_READ_PSK1, IDC_READ_ASK}) r.SetCheck(id, true);
  r.Click(IDC_WRITE);
  EXPECT_EQ(r.serial.Written(), "cA00181xxxx\rr8100\r");
  // One write per byte: 12 for the configuration command, 6 for the tag types.
  EXPECT_EQ(r.serial.WriteCalls().size(), 18u);
  for (const auto& call : r.serial.WriteCalls()) EXPECT_EQ(call.size(), 1u);
  EXPECT_EQ(r.host.sleeps, (std::vector<unsigned>{50}));
  EXPECT_EQ(fw::ToUtf8(r.dlg->m_strCmdC), "cA00181xxxx");
  EXPECT_EQ(fw::ToUtf8(r.dlg->m_strCmdR), "r8100");
}

TEST_F(Config, HdxWithoutTagTypes) {
  r.SetCheck(IDC_HDX, true);
  r.Click(IDC_WRITE);
  EXPECT_EQ(r.serial.Written(), "c000000xxxx\rr0080\r");
}

TEST_F(Config, WriteWhileDisconnectedSavesAndTells) {
  r.Click(IDC_CONNECT);
  r.serial.ClearWritten();
  r.Click(IDC_WRITE);
  ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
  EXPECT_EQ(r.host.MessageBoxes()[0].text, u"Application not connected, first connect.");
  EXPECT_EQ(r.host.MessageBoxes()[0].caption, u"Information");
  EXPECT_EQ(r.serial.Written(), "");
  EXPECT_TRUE(std::filesystem::exists(r.dir.Path() / "Config.ini"));
}

TEST_F(Config, FailedBytesAreLoggedAndSendingGoesOn) {
  r.serial.failNthWrite = 2;
  r.Click(IDC_WRITE);
  EXPECT_EQ(r.Log(), "Commando not send \r\n");
  EXPECT_EQ(r.serial.Written(), "c00000xxxx\rr0000\r");
}

TEST_F(Config, ReplySetsOptionsAndTrigger) {
  r.dlg->m_bTypeConfig = true;
  r.Line("C80000000");
  EXPECT_TRUE(r.Checked(IDC_USE_TRIGGER));
  EXPECT_TRUE(Enabled(IDC_TRIGGER));
  r.Line("C70000000");
  EXPECT_FALSE(r.Checked(IDC_USE_TRIGGER));
  EXPECT_TRUE(r.Checked(IDC_READ_ONCE));
  EXPECT_TRUE(r.Checked(IDC_LED_ON));
  EXPECT_TRUE(r.Checked(IDC_LED_AFTER_READ));
  EXPECT_FALSE(Enabled(IDC_TRIGGER));
  // Reading the configuration is no change to write.
  EXPECT_FALSE(Enabled(IDC_WRITE));
}

TEST_F(Config, SupportedTypesShowAndEnableTheirBoxes) {
  r.dlg->m_bTypeConfig = true;
  r.Line("C00008AF8");
  const bool expected[] = {true, true, true, true, true, false, false, false};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(Visible(kTypeBoxes[i]), expected[i]) << kTypeBoxes[i];
    EXPECT_EQ(Enabled(kTypeBoxes[i]), expected[i]) << kTypeBoxes[i];
  }
  // Tag types 0x8A: PSK1, ISO FDX-b, Avid.
  EXPECT_TRUE(r.Checked(IDC_READ_PSK1));
  EXPECT_TRUE(r.Checked(IDC_READ_ISOFDXB));
  EXPECT_TRUE(r.Checked(IDC_READ_AVID));
  EXPECT_FALSE(r.Checked(IDC_READ_PSK2));
  EXPECT_TRUE(Visible(IDC_ISO_COUNTRY));
  EXPECT_TRUE(Visible(IDC_ISO_HEX));
  r.Line("C00000007");  // no ISO FDX-b: the ISO options go
  EXPECT_FALSE(Visible(IDC_ISO_COUNTRY));
  EXPECT_FALSE(Visible(IDC_ISO_HEX));
  EXPECT_TRUE(r.serial.Written().empty());
}

TEST_F(Config, OldFirmwareAsksForTagTypesSeparately) {
  r.dlg->m_bTypeConfig = false;
  r.Line("C0000FFFF");
  for (int id : kTypeBoxes) {
    EXPECT_FALSE(Visible(id));
    EXPECT_FALSE(r.Checked(id));
  }
  EXPECT_EQ(r.host.sleeps, (std::vector<unsigned>{10}));
  EXPECT_EQ(r.serial.Written(), "R\r");
}

TEST_F(Config, TagTypeReply) {
  r.Line("R4180C000");
  EXPECT_TRUE(Visible(IDC_READ_PSK1));
  EXPECT_TRUE(Visible(IDC_READ_PSK2));
  EXPECT_FALSE(Visible(IDC_READ_KESWIN));
  EXPECT_FALSE(Visible(IDC_HDX));  // bit 0x80 of the last field is clear
  EXPECT_TRUE(r.Checked(IDC_READ_PSK2));
  EXPECT_TRUE(r.Checked(IDC_READ_ASK));
  EXPECT_TRUE(r.Checked(IDC_HDX));
  r.Line(
      "R000000"
      "80");
  EXPECT_TRUE(Visible(IDC_HDX));
  EXPECT_FALSE(r.Checked(IDC_HDX));
}

TEST_F(Config, ShortRepliesApplyOnlyWholeFields) {
  r.dlg->m_bTypeConfig = true;
  r.SetCheck(IDC_ISO_HEX, true);
  r.Line("C8");  // not even the option byte
  EXPECT_FALSE(r.Checked(IDC_USE_TRIGGER));
  EXPECT_TRUE(r.Checked(IDC_ISO_HEX));
  r.Line("C80");  // option byte only
  EXPECT_TRUE(r.Checked(IDC_USE_TRIGGER));
  EXPECT_TRUE(r.Checked(IDC_ISO_HEX));
  for (int id : kTypeBoxes) EXPECT_FALSE(Visible(id));
  r.Line("RFF");  // tag-type byte only
  for (int id : kTypeBoxes) {
    EXPECT_TRUE(r.Checked(id));
    EXPECT_FALSE(Visible(id));
  }
}

TEST_F(Config, IsoHexControlsIsoCountry) {
  r.SetCheck(IDC_ISO_COUNTRY, true);
  r.Toggle(IDC_ISO_HEX);
  EXPECT_FALSE(r.Checked(IDC_ISO_COUNTRY));
  EXPECT_FALSE(Enabled(IDC_ISO_COUNTRY));
  r.Toggle(IDC_ISO_HEX);
  EXPECT_TRUE(Enabled(IDC_ISO_COUNTRY));
  EXPECT_FALSE(r.Checked(IDC_ISO_COUNTRY));
  // Also by a reply.
  r.SetCheck(IDC_ISO_COUNTRY, true);
  r.Line("C0081");
  EXPECT_FALSE(Enabled(IDC_ISO_COUNTRY));
  EXPECT_FALSE(r.Checked(IDC_ISO_COUNTRY));
}

TEST_F(Config, OptionChangesEnableWrite) {
  for (int id : {IDC_USE_TRIGGER, IDC_NO_SPACE, IDC_AUTO_HIDE, IDC_HDX, IDC_READ_ASK}) {
    r.dlg->m_btnWrite.EnableWindow(false);
    r.dlg->m_btnWrite.SetWindowText(u"x");
    r.Toggle(id);
    EXPECT_TRUE(Enabled(IDC_WRITE)) << id;
    EXPECT_EQ(r.Text(IDC_WRITE), "Write");
  }
  r.dlg->m_btnWrite.EnableWindow(false);
  r.dlg->m_editPrefix.SetWindowText(u"41");
  EXPECT_TRUE(Enabled(IDC_WRITE));
}

TEST_F(Config, GoodEchoesEndTheWrite) {
  r.Toggle(IDC_LED_ON);
  r.Click(IDC_WRITE);
  r.Line("c200000xxxxOK");
  EXPECT_EQ(r.Log(), "");
  EXPECT_TRUE(Enabled(IDC_WRITE));
  r.Line("r0000OK");
  EXPECT_EQ(r.Log(), "Configuration written.\r\n");
  EXPECT_FALSE(Enabled(IDC_WRITE));
  r.Toggle(IDC_LED_ON);
  EXPECT_TRUE(Enabled(IDC_WRITE));
}

TEST_F(Config, BadEchoResendsTheWholeWrite) {
  r.Click(IDC_WRITE);
  r.serial.ClearWritten();
  r.Line("cNO");
  EXPECT_EQ(r.Log(), "Send 'c' again \r\n");
  EXPECT_EQ(r.serial.Written(), "c000000xxxx\rr0000\r");
  r.ClearLog();
  r.serial.ClearWritten();
  r.Line("r0001OK");
  EXPECT_EQ(r.Log(), "Send 'r' again \r\n");
  EXPECT_EQ(r.serial.Written(), "r0000\r");
}

TEST_F(Config, ResendsAreBounded) {
  // A reader that always echoes wrongly: three resends, then the write is given up.
  r.Toggle(IDC_LED_ON);
  r.Click(IDC_WRITE);
  for (int i = 0; i < 6; ++i) r.Line("cXOK");
  EXPECT_EQ(r.Log(),
            "Send 'c' again \r\nSend 'c' again \r\nSend 'c' again \r\n"
            "Configuration not written.\r\nConfiguration not written.\r\n"
            "Configuration not written.\r\n");
  // Four configuration commands went: the first and three resends.
  const std::string w = r.serial.Written();
  size_t n = 0;
  for (size_t p = w.find("c200000"); p != std::string::npos; p = w.find("c200000", p + 1)) ++n;
  EXPECT_EQ(n, 4u);
  // A good echo of the tag types does not claim a written configuration.
  r.ClearLog();
  r.Line("r0000OK");
  EXPECT_EQ(r.Log(), "");
  EXPECT_TRUE(Enabled(IDC_WRITE));
  // The user tries again: a fresh write with fresh counts.
  r.Click(IDC_WRITE);
  r.Line("cXOK");
  EXPECT_EQ(r.Log(), "Send 'c' again \r\n");
  r.Line("c200000xxxxOK");
  r.ClearLog();
  r.Line("r0000OK");
  EXPECT_EQ(r.Log(), "Configuration written.\r\n");
}

TEST_F(Config, RefusedConfigurationIsNeverReportedWritten) {
  // A reader that refuses every 'c' but echoes every 'r': the log used to say "written"
  // after each round and "Write" ended disabled, hiding that nothing was written.
  r.Toggle(IDC_LED_ON);
  r.Click(IDC_WRITE);
  for (int i = 0; i < 4; ++i) {
    r.Line("cNO");
    r.Line("r0000OK");
  }
  EXPECT_EQ(r.Log(),
            "Send 'c' again \r\nSend 'c' again \r\nSend 'c' again \r\n"
            "Configuration not written.\r\n");
  EXPECT_TRUE(Enabled(IDC_WRITE));
}

TEST_F(Config, GoodEchoInBetweenResetsTheCount) {
  r.Click(IDC_WRITE);
  for (int round = 0; round < 3; ++round) {
    r.Line("cXOK");
    r.Line("cXOK");
    r.Line("c000000xxxxOK");
  }
  EXPECT_EQ(r.Log().find("not written"), std::string::npos);
}

}  // namespace
