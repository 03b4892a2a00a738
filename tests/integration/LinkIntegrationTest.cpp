// The main window on the headless host in real time, talking to the reader emulator over a
// real pseudo-terminal at 9600 baud.

#include <gtest/gtest.h>

#include <fstream>

#include "app/MainDialog.h"
#include "device/ReaderPower.h"
#include "framework/headless/HeadlessHost.h"
#include "tests/fakes/FakeServices.h"
#include "platform/linux/PosixSerialPorts.h"
#include "resources/Resource.h"
#include "sim/PtyServer.h"
#include "tests/app/Rig.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;

// Generous bounds for real I/O; a run normally takes a fraction of them.
constexpr uint64_t kStartBudgetMs = 5000;
constexpr uint64_t kAnswerBudgetMs = 3000;

struct Live : ::testing::Test {
  sim::PtyServer server;
  fw::HeadlessHost host{fw::HeadlessHost::ClockKind::Real};
  std::unique_ptr<platform::PosixSerialPorts> serial;
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  device::SimPins supply{[this](bool on) { server.SetPowered(on); }, [this] { return server.IsPowered(); }};
  testing_rig::TempDir dir;
  std::unique_ptr<CMainDialog> dlg;

  void SetUp() override {
    ASSERT_EQ(server.Start(), 0) << server.ErrorText();
    serial = std::make_unique<platform::PosixSerialPorts>(server.SlavePath());
  }
  void StartApp() {
    dlg = std::make_unique<CMainDialog>(host, MainDialogServices{*serial, hotKeys, keys, sound, supply, dir.Path()});
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
  }
  std::string Log() { return fw::ToUtf8(dlg->GetDlgItemText(IDC_LOG)); }
  bool WaitForLog(const std::string& text, uint64_t budget = kAnswerBudgetMs) {
    return host.RunUntil([&] { return Log().find(text) != std::string::npos; }, budget);
  }
  bool Visible(int id) { return host.FindWindow(IDD_MAIN)->Control(id)->visible; }
};

TEST_F(Live, StartUpChainReachesTheConfiguration) {
  StartApp();
  ASSERT_TRUE(WaitForLog("Version: Pelmor (WCE) v3.05", kStartBudgetMs)) << Log();
  EXPECT_EQ(Log().rfind("Connected...\r\nFirmwareversion: LF2.01\r\nCommandset: CRSWI\r\n", 0), 0u) << Log();
  // The configuration reply reveals the tag types the reader supports.
  ASSERT_TRUE(host.RunUntil([&] { return Visible(IDC_READ_PSK1); }, kAnswerBudgetMs));
  EXPECT_TRUE(Visible(IDC_READ_ASK));
  EXPECT_TRUE(dlg->IsDlgButtonChecked(IDC_LED_ON));
  EXPECT_TRUE(server.IsPowered());
}

TEST(LiveOldFirmware, StartUpChainAsksForTagTypesSeparately) {
  sim::ServerOptions options;
  options.emulator.firmware = "LF2.00";  // sixth character not '1'
  sim::PtyServer server(options);
  ASSERT_EQ(server.Start(), 0) << server.ErrorText();
  platform::PosixSerialPorts serial(server.SlavePath());
  testing_rig::Rig fakes;
  device::SimPins supply([&server](bool on) { server.SetPowered(on); }, [&server] { return server.IsPowered(); });
  fw::HeadlessHost host(fw::HeadlessHost::ClockKind::Real);
  CMainDialog dlg(host, MainDialogServices{serial, fakes.hotKeys, fakes.keys, fakes.sound, supply, fakes.dir.Path()});
  dlg.Create(nullptr);
  auto hdxShown = [&] { return host.FindWindow(IDD_MAIN)->Control(IDC_HDX)->visible; };
  ASSERT_TRUE(host.RunUntil(hdxShown, kStartBudgetMs));
  EXPECT_FALSE(dlg.m_bTypeConfig);
  EXPECT_EQ(server.ReceivedLines(), (std::vector<std::string>{"V", "C", "R"}));
  EXPECT_TRUE(host.FindWindow(IDD_MAIN)->Control(IDC_READ_PSK1)->visible);
  EXPECT_TRUE(dlg.IsDlgButtonChecked(IDC_HDX));
}

TEST_F(Live, BadEchoesAreResentUntilTheReaderAgrees) {
  StartApp();
  ASSERT_TRUE(host.RunUntil([&] { return Visible(IDC_READ_PSK1); }, kStartBudgetMs));
  server.SetFault(sim::Fault::BadEcho, 2);
  dlg->CheckDlgButton(IDC_READ_ONCE, fw::BST_CHECKED);
  dlg->DispatchCommand(IDC_WRITE, fw::Notify::Clicked);
  ASSERT_TRUE(WaitForLog("Configuration written.\r\n")) << Log();
  EXPECT_NE(Log().find("again \r\n"), std::string::npos) << Log();
  EXPECT_EQ(server.Config().option & 0x40, 0x40);
}

TEST_F(Live, ReaderThatNeverAgreesEndsTheWrite) {
  StartApp();
  ASSERT_TRUE(host.RunUntil([&] { return Visible(IDC_READ_PSK1); }, kStartBudgetMs));
  server.SetFault(sim::Fault::BadEcho, sim::kEveryCommand);
  dlg->CheckDlgButton(IDC_READ_ONCE, fw::BST_CHECKED);
  dlg->DispatchCommand(IDC_READ_ONCE, fw::Notify::Clicked);
  dlg->DispatchCommand(IDC_WRITE, fw::Notify::Clicked);
  // Both commands are given up, each after its three resends.
  const std::string givenUp = "Configuration not written.\r\n";
  ASSERT_TRUE(host.RunUntil(
      [&] {
        const std::string log = Log();
        const size_t first = log.find(givenUp);
        return first != std::string::npos && log.find(givenUp, first + 1) != std::string::npos;
      },
      8000))
      << Log();
  // Give the last answers time to arrive: nothing more is sent, nothing claims success.
  const size_t lines = server.ReceivedLines().size();
  host.RunUntil([] { return false; }, 500);
  EXPECT_EQ(server.ReceivedLines().size(), lines);
  EXPECT_EQ(Log().find("Configuration written."), std::string::npos) << Log();
  EXPECT_TRUE(host.FindWindow(IDD_MAIN)->Control(IDC_WRITE)->enabled);
}

TEST_F(Live, CodeWrittenWithTheDialogIsReadBack) {
  ASSERT_TRUE(server.PutTransponder({}));
  StartApp();
  ASSERT_TRUE(WaitForLog("Version: ", kStartBudgetMs));
  dlg->DispatchCommand(IDC_WRITE_TAG, fw::Notify::Clicked);
  CWriteTagDialog* wt = dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  std::u16string question;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord& box) {
    question = box.text;
    return fw::IDYES;
  });
  wt->m_comboCode.SetWindowText(u"AB12 34");
  wt->DispatchCommand(IDC_WT_WRITE_CODE, fw::Notify::Clicked);
  // Three blocks, each answered by the reader; then the success question.
  ASSERT_TRUE(host.RunUntil([&] { return !question.empty(); }, kAnswerBudgetMs)) << Log();
  EXPECT_EQ(question.rfind(u"Code successfuly transmitted.", 0), 0u);
  ASSERT_TRUE(host.RunUntil([&] { return wt->m_nState == CWriteTagDialog::State::Start; }, kAnswerBudgetMs));
  EXPECT_EQ(wt->m_comboCode.GetLBText(0), u"AB12 34");

  dlg->DispatchCommand(IDC_TRIGGER, fw::Notify::Clicked);
  ASSERT_TRUE(WaitForLog("Tag found! (AB12 34) \r\n")) << Log();
  EXPECT_EQ(fw::ToUtf8(dlg->GetDlgItemText(IDC_TYPE)), "Type: Keswin FLEX 7 blocks");
  // The Write Tag dialog shows the code read in its status line too.
  EXPECT_EQ(wt->m_staticStatus.GetWindowText(), u"AB12 34");
  std::ifstream file(dir.Path() / "TrCode.txt", std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "AB12 34\r");
}

TEST_F(Live, TriggerReadsTheTagInTheField) {
  ASSERT_TRUE(server.PutTag({"08", "999000012345678"}));
  StartApp();
  ASSERT_TRUE(WaitForLog("Version: ", kStartBudgetMs));
  dlg->DispatchCommand(IDC_TRIGGER, fw::Notify::Clicked);
  ASSERT_TRUE(WaitForLog("Tag found! (999000012345678) \r\n")) << Log();
  EXPECT_NE(Log().find("scanning now...\r\n"), std::string::npos);
  EXPECT_EQ(fw::ToUtf8(dlg->GetDlgItemText(IDC_TYPE)), "Type: ISO FDX-b");
  server.RemoveTag();
  dlg->DispatchCommand(IDC_TRIGGER, fw::Notify::Clicked);
  ASSERT_TRUE(WaitForLog("no tag found!\r\n")) << Log();
}

TEST_F(Live, WrittenConfigurationIsEchoedAndStored) {
  StartApp();
  ASSERT_TRUE(host.RunUntil([&] { return Visible(IDC_READ_PSK1); }, kStartBudgetMs));
  dlg->CheckDlgButton(IDC_USE_TRIGGER, fw::BST_CHECKED);
  dlg->CheckDlgButton(IDC_READ_ASK, fw::BST_UNCHECKED);
  dlg->DispatchCommand(IDC_WRITE, fw::Notify::Clicked);
  ASSERT_TRUE(WaitForLog("Configuration written.\r\n")) << Log();
  EXPECT_EQ(Log().find("again"), std::string::npos);
  const sim::ReaderConfig config = server.Config();
  EXPECT_EQ(config.option & 0x80, 0x80);
  EXPECT_EQ(config.tagTypes & 0x01, 0x00);
}

TEST_F(Live, DisconnectSwitchesTheReaderOff) {
  StartApp();
  ASSERT_TRUE(WaitForLog("Version: ", kStartBudgetMs));
  dlg->DispatchCommand(IDC_CONNECT, fw::Notify::Clicked);
  EXPECT_FALSE(server.IsPowered());
  // Connected again, the reader answers again.
  dlg->DispatchCommand(IDC_CONNECT, fw::Notify::Clicked);
  dlg->OnClear();
  dlg->DispatchCommand(IDC_GETVERSION, fw::Notify::Clicked);
  ASSERT_TRUE(WaitForLog("Firmwareversion: LF2.01")) << Log();
}

TEST_F(Live, SecondInstanceCannotOpenThePort) {
  StartApp();
  ASSERT_TRUE(WaitForLog("Connected...", kStartBudgetMs));
  platform::PosixSerialPorts other(server.SlavePath());
  testing_rig::Rig second;  // fake services except the port
  CMainDialog dlg2(second.host, MainDialogServices{other, second.hotKeys, second.keys, second.sound, second.supply,
                                                   second.dir.Path()});
  dlg2.Create(nullptr);
  EXPECT_TRUE(dlg2.OpenFailed());
  ASSERT_EQ(second.host.MessageBoxes().size(), 1u);
  EXPECT_EQ(second.host.MessageBoxes()[0].caption, u"Error");
}

}  // namespace
