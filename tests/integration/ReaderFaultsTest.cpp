// A reader that misbehaves, over a real pseudo-terminal: it stops answering in the middle of
// a transponder write or a firmware download, refuses everything, sends garbage or bytes
// without an end, resets in the middle of a read, or disappears and comes back. The program
// must give up in its own time, tell the user, lose nothing and work again once the reader
// does.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "download/DownloadDialog.h"
#include "download/EhxMaker.h"
#include "download/EhxRecord.h"
#include "platform/linux/UniqueFd.h"
#include "tests/integration/LiveRig.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;
using live::LiveRig;

constexpr char16_t kWriteFailed[] = u"Code not successfuly transfered to transponder. \r\nTry again.";
constexpr char16_t kWriteDone[] = u"Code successfuly transmitted.";
constexpr char16_t kNoAnswer[] = u"No message received in time.\r\ntry again?";
constexpr char16_t kNotDownloaded[] = u"Hex file not successfuly downloaded. Close Routine?";
constexpr char16_t kDownloaded[] = u"Hex file successfuly downloaded. Close Routine?";
constexpr char16_t kTooOld[] =
    u"This option is available in Firmwareversion 204 and later! \r\n"
    u"Hex file not successfuly downloaded. Close Routine?";

bool StartsWith(const std::u16string& text, const std::u16string& start) { return text.rfind(start, 0) == 0; }

// Runs the Write Tag procedure for a code until it is back in its first state.
bool WriteCode(LiveRig& r, CWriteTagDialog& wt, const std::u16string& code) {
  wt.m_comboCode.SetWindowText(code);
  wt.DispatchCommand(IDC_WT_WRITE_CODE, fw::Notify::Clicked);
  return r.WaitFor(
      [&] { return !wt.IsWindow() || (wt.m_nState == CWriteTagDialog::State::Start && !wt.ProcedureRunning()); },
      live::kGiveUpBudgetMs);
}

// ---------------------------------------------------------------------------------------
// A transponder write

TEST(ReaderFaults, ReaderStopsAnsweringInTheMiddleOfATransponderWrite) {
  LiveRig r;
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.server.PutTransponder({}));
  live::WriteFile(r.appDir / "TrCode.txt", "AB12\r");
  ASSERT_TRUE(r.StartAppAndWait());
  r.Click(IDC_WRITE_TAG);
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);

  // Five blocks; the reader falls silent once it has taken the first.
  wt->m_comboCode.SetWindowText(u"CODE 12345 XY");
  wt->DispatchCommand(IDC_WT_WRITE_CODE, fw::Notify::Clicked);
  ASSERT_TRUE(r.WaitFor([&] {
    for (const std::string& line : r.server.ReceivedLines())
      if (!line.empty() && line[0] == 'w') return true;
    return false;
  }));
  r.server.SetFault(sim::Fault::NoAnswer, sim::kEveryCommand);
  // The procedure gives up after its wait; the user does not try again.
  ASSERT_TRUE(r.WaitFor([&] { return wt->m_nState == CWriteTagDialog::State::Start && !wt->ProcedureRunning(); },
                        live::kGiveUpBudgetMs))
      << "state " << static_cast<int>(wt->m_nState);
  EXPECT_EQ(r.BoxTexts(), (std::vector<std::u16string>{kWriteFailed}));
  // Nothing claims the code was written; the list offers it again; the file is untouched.
  EXPECT_EQ(live::ReadFile(r.appDir / "TrCode.txt"), "AB12\r");
  EXPECT_EQ(wt->m_comboCode.GetLBText(0), u"CODE 12345 XY");
  EXPECT_TRUE(r.host.FindWindow(IDD_WRITETAG)->Control(IDC_WT_CODE)->enabled);

  // The reader answers again: the same code goes in whole and reads back.
  r.server.SetFault(sim::Fault::None);
  r.answers = {fw::IDYES};  // another transponder: the dialog stays open
  ASSERT_TRUE(WriteCode(r, *wt, u"CODE 12345 XY"));
  ASSERT_EQ(r.boxes.size(), 2u);
  EXPECT_TRUE(StartsWith(r.boxes[1].text, kWriteDone));
  EXPECT_EQ(live::ReadFile(r.appDir / "TrCode.txt"), "AB12\rCODE 12345 XY\r");
  r.hotKeys.Press(platform::VK_F24, true);
  ASSERT_TRUE(r.WaitForLog("Tag found! (CODE 12345 XY) \r\n")) << r.Log();
  r.hotKeys.Press(platform::VK_F24, false);
}

// ---------------------------------------------------------------------------------------
// A firmware download

struct FirmwareFile {
  static constexpr size_t kRecords = 12;
  static constexpr size_t kSplit = 8;
  std::vector<std::string> records;  // as sent: the first 42 bytes of each

  explicit FirmwareFile(const std::filesystem::path& path) {
    std::vector<uint8_t> image(kRecords * download::kContentBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 29 + 5);
    download::EhxMakeOptions options;
    options.keys = download::EhxMakeOptions::Keys::Random;
    options.seed = 11;
    options.splitRecord = kSplit;
    std::vector<uint8_t> file;
    std::string error;
    EXPECT_TRUE(download::MakeEhx(image, options, file, error)) << error;
    for (size_t at = 0; at + download::kRecordSize <= file.size(); at += download::kRecordSize)
      records.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                           file.begin() + static_cast<std::ptrdiff_t>(at + download::kRecordSentSize));
    live::WriteFile(path, std::string(file.begin(), file.end()));
  }
};

TEST(ReaderFaults, ReaderStopsAnsweringInTheMiddleOfAFirmwareDownload) {
  LiveRig r;
  ASSERT_TRUE(r.Serve());
  const FirmwareFile file(r.appDir / "reader.EHX");
  ASSERT_TRUE(r.StartAppAndWait());
  r.Click(IDC_FIRMWARE);
  CDownloadDialog* dl = r.dlg->DownloadDialog();
  ASSERT_NE(dl, nullptr);

  dl->DispatchCommand(IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  ASSERT_TRUE(r.WaitFor([&] { return r.server.ReceivedImage().firstPart.size() >= 3; }, live::kGiveUpBudgetMs));
  r.server.SetFault(sim::Fault::NoAnswer, sim::kEveryCommand);
  // No to "try again?", No to "Close Routine?": the dialog stays open, idle, file closed.
  ASSERT_TRUE(
      r.WaitFor([&] { return r.boxes.size() == 2 && dl->m_nState == download::DL_STATE_IDLE; }, live::kGiveUpBudgetMs))
      << "state " << dl->m_nState;
  EXPECT_EQ(r.BoxTexts(), (std::vector<std::u16string>{kNoAnswer, kNotDownloaded}));
  EXPECT_FALSE(dl->m_file.IsOpen());
  EXPECT_FALSE(r.server.ReceivedImage().complete);
  EXPECT_NE(r.host.FindWindow(IDD_DOWNLOAD), nullptr);

  // The reader is back: the next run loads the whole file, cut where it says.
  r.server.SetFault(sim::Fault::None);
  r.answers = {fw::IDYES};
  dl->DispatchCommand(IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  ASSERT_TRUE(r.WaitFor([&] { return r.host.FindWindow(IDD_DOWNLOAD) == nullptr; }, 30000)) << "state " << dl->m_nState;
  ASSERT_EQ(r.boxes.size(), 3u);
  EXPECT_EQ(r.boxes[2].text, kDownloaded);
  const sim::FirmwareImage image = r.server.ReceivedImage();
  EXPECT_TRUE(image.complete);
  EXPECT_EQ(image.restarts, 1);
  const std::vector<std::string> first(file.records.begin(), file.records.begin() + FirmwareFile::kSplit);
  const std::vector<std::string> second(file.records.begin() + FirmwareFile::kSplit, file.records.end());
  EXPECT_EQ(image.firstPart, first);
  EXPECT_EQ(image.secondPart, second);
}

// ---------------------------------------------------------------------------------------
// "NO" to everything

TEST(ReaderFaults, ReaderThatRefusesEverything) {
  LiveRig r;
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.server.PutTransponder({}));
  const FirmwareFile file(r.appDir / "reader.EHX");
  ASSERT_TRUE(r.StartAppAndWait());
  r.server.SetFault(sim::Fault::AnswerNO, sim::kEveryCommand);
  r.server.SetLoaderStatus(sim::LoaderStatus::OldFirmware);

  // The settings: each command is sent again three times, then given up.
  r.dlg->CheckDlgButton(IDC_READ_ONCE, fw::BST_CHECKED);
  r.Click(IDC_WRITE);
  ASSERT_TRUE(r.WaitFor([&] {
    const std::string log = r.Log();
    const size_t first = log.find("Configuration not written.");
    return first != std::string::npos && log.find("Configuration not written.", first + 1) != std::string::npos;
  })) << r.Log();
  EXPECT_FALSE(r.LogHas("Configuration written.")) << r.Log();
  EXPECT_EQ(r.server.Config().option & sim::kOptionReadOnce, 0);

  // A code: refused, tried again once by the user, refused again, given up.
  r.Click(IDC_WRITE_TAG);
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  r.answers = {fw::IDYES, fw::IDNO};
  ASSERT_TRUE(WriteCode(r, *wt, u"AB12"));
  EXPECT_EQ(r.BoxTexts(), (std::vector<std::u16string>{kWriteFailed, kWriteFailed}));
  EXPECT_FALSE(std::filesystem::exists(r.appDir / "TrCode.txt"));
  EXPECT_FALSE(r.server.TransponderInField()->blocks[0].has_value());
  wt->DispatchCommand(fw::IDCANCEL, fw::Notify::Clicked);

  // Firmware: a loader that refuses the status query is too old; the dialog stays, idle.
  r.boxes.clear();
  r.Click(IDC_FIRMWARE);
  CDownloadDialog* dl = r.dlg->DownloadDialog();
  ASSERT_NE(dl, nullptr);
  dl->DispatchCommand(IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  ASSERT_TRUE(r.WaitFor([&] { return !r.boxes.empty() && dl->m_nState == download::DL_STATE_IDLE; }));
  EXPECT_EQ(r.BoxTexts(), (std::vector<std::u16string>{kTooOld}));
  EXPECT_TRUE(r.server.ReceivedImage().firstPart.empty());

  // A reader that agrees again is used as before.
  r.server.SetFault(sim::Fault::None);
  r.Click(IDC_WRITE);
  ASSERT_TRUE(r.WaitForLog("Configuration written.")) << r.Log();
  EXPECT_EQ(r.server.Config().option & sim::kOptionReadOnce, sim::kOptionReadOnce);
}

// ---------------------------------------------------------------------------------------
// Garbage

TEST(ReaderFaults, GarbageAnswersLeaveTheProgramWorking) {
  LiveRig r;
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.server.PutTag({"08", "999000012345678"}));
  ASSERT_TRUE(r.StartAppAndWait());
  r.server.SetFault(sim::Fault::Garbage, sim::kEveryCommand);
  const size_t before = r.server.ReceivedLines().size();
  for (int i = 0; i < 5; ++i) {
    r.Click(IDC_GETVERSION);
    r.Click(IDC_READ);
    r.hotKeys.Press(platform::VK_F24, true);
    r.hotKeys.Press(platform::VK_F24, false);
    r.RunFor(200);
  }
  ASSERT_TRUE(r.WaitFor([&] { return r.server.ReceivedLines().size() >= before + 15; }));
  r.RunFor(500);
  // The tag's own line never came, so its code was never shown.
  EXPECT_FALSE(r.LogHas("999000012345678")) << r.Log();

  r.server.SetFault(sim::Fault::None);
  r.dlg->OnClear();
  r.hotKeys.Press(platform::VK_F24, true);
  ASSERT_TRUE(r.WaitForLog("Tag found! (999000012345678) \r\n")) << r.Log();
  r.hotKeys.Press(platform::VK_F24, false);
}

// A reader of our own on a pseudo-terminal, for what the emulator never sends: a stream of
// bytes without a carriage return, for seconds.
class BabblingReader {
 public:
  BabblingReader() {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0) return;
    char name[128] = {};
    if (::ptsname_r(master_.Get(), name, sizeof name) != 0) return;
    path_ = name;
    // Held open, so the master sees no hang-up while the program has not opened the slave.
    slave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  }
  ~BabblingReader() { Stop(); }
  const std::string& Path() const { return path_; }

  // Sends random bytes, none of them a carriage return, at about 9600 baud until Stop.
  void Start() {
    thread_ = std::thread([this] {
      std::mt19937 rng(99);
      std::uniform_int_distribution<int> byte(0, 255);
      while (!stop_) {
        std::string chunk(48, '\0');
        for (char& c : chunk) {
          do c = static_cast<char>(byte(rng));
          while (c == '\r');
        }
        Send(chunk);
        sent_ += chunk.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  size_t Sent() const { return sent_; }
  void Send(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::write(master_.Get(), bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }
  // What the program wrote to the reader so far.
  std::string Received() {
    std::string got;
    for (;;) {
      pollfd p{master_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return got;
      char buf[256];
      const ssize_t n = ::read(master_.Get(), buf, sizeof buf);
      if (n <= 0) return got;
      got.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  platform::UniqueFd master_;
  platform::UniqueFd slave_;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> sent_{0};
};

TEST(ReaderFaults, BytesWithoutCarriageReturnForSeconds) {
  LiveRig r;
  BabblingReader reader;
  ASSERT_FALSE(reader.Path().empty());
  ASSERT_TRUE(r.PointDeviceAt(reader.Path()));
  r.StartApp();
  ASSERT_TRUE(r.WaitForLog("Connected...", live::kStartBudgetMs)) << r.Log();
  reader.Received();
  const std::string logBefore = r.Log();

  reader.Start();
  // Three seconds of noise; meanwhile the user asks for the version and is served at once.
  r.RunFor(1500);
  r.Click(IDC_GETVERSION);
  std::string written;
  ASSERT_TRUE(r.WaitFor([&] { return (written += reader.Received()).find("V\r") != std::string::npos; }, 500));
  r.RunFor(1500);
  reader.Stop();
  EXPECT_GE(reader.Sent(), 2000u);
  // No line ended, so nothing reached the log.
  EXPECT_EQ(r.Log(), logBefore);

  // The line end ends the noise; the next line is read as it should be.
  reader.Send("\r08999000012345678Z\r");
  ASSERT_TRUE(r.WaitForLog("Tag found! (999000012345678) \r\n", 5000)) << r.Log();
}

// ---------------------------------------------------------------------------------------
// A reset in the middle of a read

TEST(ReaderFaults, ResetReportInTheMiddleOfAHiddenRead) {
  sim::ServerOptions options;
  // A slow scan, so the reset surely comes between the scan status and the result.
  options.emulator.scanDelay = std::chrono::milliseconds(1500);
  LiveRig r(options);
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.server.PutTag({"08", "999000012345678"}));
  ASSERT_TRUE(r.StartAppAndWait());
  r.Click(IDC_HIDE);
  ASSERT_TRUE(r.dlg->m_bHidden);

  r.hotKeys.Press(platform::VK_F24, true);
  ASSERT_TRUE(r.WaitForLog("scanning now...")) << r.Log();
  r.server.SendResetReport();
  ASSERT_TRUE(r.WaitForLog("Reset Reader:\r\nX reset")) << r.Log();
  // The scan was lost with the reset: nothing is typed, however long the button is held.
  r.RunFor(2000);
  EXPECT_TRUE(r.keys.typed.empty());
  r.hotKeys.Press(platform::VK_F24, false);
  EXPECT_FALSE(r.server.IsPowered());
  EXPECT_FALSE(r.host.FindWindow(IDD_MAIN)->IsWindowVisible());

  // The next press reads, and the code is typed once.
  r.hotKeys.Press(platform::VK_F24, true);
  ASSERT_TRUE(r.WaitFor([&] { return !r.keys.typed.empty(); }, 5000)) << r.Log();
  r.hotKeys.Press(platform::VK_F24, false);
  r.RunFor(300);
  EXPECT_EQ(r.keys.typed, (std::vector<std::u32string>{U"999000012345678"}));
}

// ---------------------------------------------------------------------------------------
// The serial device goes away and comes back

TEST(ReaderFaults, LostReaderIsLetGoAndTakenAgainWhenItComesBack) {
  LiveRig r;
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.StartAppAndWait());
  r.Click(IDC_HIDE);
  ASSERT_TRUE(r.dlg->m_bHidden);
  r.boxes.clear();

  // Unplugged: the port is let go at once, as "Disconnect" would, and the log says so.
  r.server.Stop();
  r.Unplug();
  ASSERT_TRUE(r.WaitForLog("Reader lost on " + r.device.string() + "\r\n")) << r.Log();
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  EXPECT_EQ(fw::ToUtf8(r.dlg->GetDlgItemText(IDC_CONNECT)), "Connect");
  EXPECT_FALSE(r.LogHas("Successfully disconnected!"));
  // Nothing is sent to a reader that is gone, and nothing is asked of the user.
  r.dlg->OnClear();
  r.RunFor(1500);
  EXPECT_EQ(r.Log(), "");
  EXPECT_TRUE(r.boxes.empty());

  // Plugged in again under the same name: taken again by itself, from the version on.
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.server.PutTag({"08", "999000012345678"}));
  ASSERT_TRUE(r.WaitForLog("Firmwareversion: LF2.01", 3000)) << r.Log();
  EXPECT_EQ(fw::ToUtf8(r.dlg->GetDlgItemText(IDC_CONNECT)), "Disconnect");
  r.hotKeys.Press(platform::VK_F24, true);
  ASSERT_TRUE(r.WaitFor([&] { return !r.keys.typed.empty(); }, 5000)) << r.Log();
  r.hotKeys.Press(platform::VK_F24, false);
  r.RunFor(300);
  EXPECT_EQ(r.keys.typed, (std::vector<std::u32string>{U"999000012345678"}));
  EXPECT_EQ(fw::ToUtf8(r.dlg->GetDlgItemText(IDC_CODE)), "Code: 999000012345678");
  EXPECT_TRUE(r.boxes.empty());
}

TEST(ReaderFaults, ConnectWhileTheDeviceIsGoneTellsAndKeepsTheWindow) {
  LiveRig r;
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.StartAppAndWait());
  r.Click(IDC_CONNECT);
  EXPECT_TRUE(r.LogHas("Successfully disconnected!"));
  r.server.Stop();
  r.Unplug();
  // The message as at start, but the program stays for the user to try again.
  r.Click(IDC_CONNECT);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_TRUE(StartsWith(r.boxes[0].text, u"ERROR while opening comport\r\n"));
  EXPECT_TRUE(r.dlg->IsWindow());
  EXPECT_FALSE(r.dlg->OpenFailed());
  // Once the reader is there, it is taken without another press.
  ASSERT_TRUE(r.Serve());
  ASSERT_TRUE(r.WaitForLog("Firmwareversion: LF2.01", 3000)) << r.Log();
  EXPECT_EQ(r.boxes.size(), 1u);
}

}  // namespace
