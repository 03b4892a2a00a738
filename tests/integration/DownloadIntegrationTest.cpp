// A firmware download from the main window's Download Firmware dialog into the reader
// emulator, over a real pseudo-terminal at 9600 baud on the headless host in real time.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "device/ReaderPower.h"
#include "download/DownloadDialog.h"
#include "download/EhxMaker.h"
#include "download/EhxRecord.h"
#include "framework/headless/HeadlessHost.h"
#include "tests/fakes/FakeServices.h"
#include "platform/linux/PosixSerialPorts.h"
#include "resources/Resource.h"
#include "resources/Templates.h"
#include "sim/PtyServer.h"
#include "tests/app/Rig.h"

namespace {

using namespace res;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kStartBudgetMs = 5000;
// Each record waits for the main window's 50 ms receive tick to bring its answer, so 200
// records take some 10 to 20 s; a retry adds the dialog's two-second wait. Generous for a
// loaded machine running sanitizers.
constexpr uint64_t kDownloadBudgetMs = 60000;

constexpr size_t kRecords = 200;
constexpr size_t kSplitRecord = 150;
constexpr size_t kMissingAnswer = 50;
constexpr char kFileName[] = "reader.EHX";

constexpr char16_t kSuccess[] = u"Hex file successfuly downloaded. Close Routine?";
constexpr char16_t kNoAnswer[] = u"No message received in time.\r\ntry again?";

struct DownloadLive : ::testing::Test {
  // Paced like a real line: answers leave no faster than 9600 baud allows.
  sim::PtyServer server{sim::ServerOptions{}};
  fw::HeadlessHost host{fw::HeadlessHost::ClockKind::Real};
  std::unique_ptr<platform::PosixSerialPorts> serial;
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  device::SimPins supply{[this](bool on) { server.SetPowered(on); }, [this] { return server.IsPowered(); }};
  testing_rig::TempDir dir;
  std::unique_ptr<CMainDialog> dlg;
  // The record texts of the file written, as the dialog sends them (without 'I' and CR).
  std::vector<std::string> records;
  std::vector<fw::MessageBoxRecord> boxes;
  std::optional<Clock::time_point> successAt;

  void SetUp() override {
    ASSERT_EQ(server.Start(), 0) << server.ErrorText();
    serial = std::make_unique<platform::PosixSerialPorts>(server.SlavePath());
    WriteFirmwareFile();
    host.SetMessageBoxHook([this](const fw::MessageBoxRecord& box) {
      if (box.text == kSuccess && !successAt) successAt = Clock::now();
      boxes.push_back(box);
      return fw::IDYES;
    });
  }

  // Random keys, so that the split record is found only by decoding.
  void WriteFirmwareFile() {
    std::vector<uint8_t> image(kRecords * download::kContentBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + i / 256);
    download::EhxMakeOptions options;
    options.keys = download::EhxMakeOptions::Keys::Random;
    options.seed = 7;
    options.splitRecord = kSplitRecord;
    std::vector<uint8_t> file;
    std::string error;
    ASSERT_TRUE(download::MakeEhx(image, options, file, error)) << error;
    ASSERT_EQ(file.size(), kRecords * download::kRecordSize);
    for (size_t at = 0; at < file.size(); at += download::kRecordSize) {
      records.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                           file.begin() + static_cast<std::ptrdiff_t>(at + download::kRecordSentSize));
    }
    std::ofstream out(dir.Path() / kFileName, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    ASSERT_TRUE(out.good());
  }

  // The main window connected and through its start-up chain, then the Download Firmware
  // dialog opened from it with the file preselected.
  CDownloadDialog* OpenDialog() {
    dlg = std::make_unique<CMainDialog>(host, MainDialogServices{*serial, hotKeys, keys, sound, supply, dir.Path()});
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
    const bool started =
        host.RunUntil([&] { return host.FindWindow(IDD_MAIN)->Control(IDC_READ_PSK1)->visible; }, kStartBudgetMs);
    EXPECT_TRUE(started) << fw::ToUtf8(dlg->GetDlgItemText(IDC_LOG));
    if (!started) return nullptr;
    dlg->DispatchCommand(IDC_FIRMWARE, fw::Notify::Clicked);
    CDownloadDialog* dl = dlg->DownloadDialog();
    EXPECT_NE(dl, nullptr);
    if (dl) {
      EXPECT_EQ(dl->m_comboFile.GetWindowText(), fw::FromUtf8(kFileName));
    }
    return dl;
  }

  // Presses Download and runs until the dialog has closed itself; the time from the press
  // to the success question, or nothing when it never came.
  std::optional<std::chrono::milliseconds> Download(CDownloadDialog& dl) {
    const Clock::time_point pressed = Clock::now();
    dl.DispatchCommand(IDC_DL_DOWNLOAD, fw::Notify::Clicked);
    const bool closed = host.RunUntil([&] { return host.FindWindow(IDD_DOWNLOAD) == nullptr; }, kDownloadBudgetMs);
    EXPECT_TRUE(closed) << "state " << dl.m_nState << ", " << boxes.size() << " boxes";
    if (!closed || !successAt) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(*successAt - pressed);
  }

  std::vector<std::string> Records(size_t from, size_t to) const {
    return {records.begin() + static_cast<std::ptrdiff_t>(from), records.begin() + static_cast<std::ptrdiff_t>(to)};
  }

  // The emulator holds exactly the file, cut at its split record: every record taken once,
  // in the order of the file, and one end of the first part. restarts counts the times the
  // image was sent again from its start.
  void ExpectWholeImage(int restarts) {
    const sim::FirmwareImage image = server.ReceivedImage();
    EXPECT_TRUE(image.complete);
    EXPECT_EQ(image.restarts, restarts) << "times the image was sent again from its first record";
    EXPECT_EQ(image.firstPart.size(), kSplitRecord);
    EXPECT_EQ(image.secondPart.size(), kRecords - kSplitRecord);
    EXPECT_TRUE(image.firstPart == Records(0, kSplitRecord)) << "first part differs from the file";
    EXPECT_TRUE(image.secondPart == Records(kSplitRecord, kRecords)) << "second part differs from the file";
    EXPECT_TRUE(sim::SplitsAtMarkedRecord(image));
  }

  static void Report(const char* what, std::chrono::milliseconds took) {
    std::printf("%s: a file of %zu records in %lld ms\n", what, kRecords, static_cast<long long>(took.count()));
    ::testing::Test::RecordProperty("download_ms", std::to_string(took.count()));
  }
};

TEST_F(DownloadLive, WholeFileArrivesInTwoPartsSplitWhereTheFileSays) {
  CDownloadDialog* dl = OpenDialog();
  ASSERT_NE(dl, nullptr);
  const auto took = Download(*dl);
  ASSERT_TRUE(took.has_value());
  Report("download", *took);

  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, u"Info");
  ExpectWholeImage(0);
  // The module ran the new firmware afterwards: out of the loading mode it was switched to.
  EXPECT_EQ(server.CurrentLoaderStatus(), sim::LoaderStatus::C);
  // Bounded below by the receive tick that brings each answer.
  EXPECT_GE(took->count(), static_cast<long long>(kRecords) * 40);
}

TEST_F(DownloadLive, MissingAnswerIsRetriedWithTheRecordThatHadNone) {
  ASSERT_TRUE(server.SetRecordFault(sim::Fault::NoAnswer, kMissingAnswer));
  CDownloadDialog* dl = OpenDialog();
  ASSERT_NE(dl, nullptr);
  const auto took = Download(*dl);
  ASSERT_TRUE(took.has_value());
  Report("download with one retry", *took);

  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, kNoAnswer);
  EXPECT_EQ(boxes[0].caption, u"Error");
  EXPECT_EQ(boxes[1].text, kSuccess);
  // The loader lost the record and kept the ones before it. After the retry's status query
  // it got that record again and the rest after it, none it already had, and "I1" once (a
  // second would have been refused and ended the run).
  ExpectWholeImage(0);
  EXPECT_EQ(server.RecordFault(), sim::Fault::None);
}

}  // namespace
