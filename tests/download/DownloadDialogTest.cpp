// The Download Firmware dialog and its state machine on the headless host, with a virtual
// clock, the fake serial port and a scripted reader.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/DownloadDialog.h"
#include "download/EhxMaker.h"
#include "download/EhxRecord.h"
#include "tests/app/Rig.h"

namespace {

using namespace download;
using namespace res;
using testing_rig::TempDir;
using Calls = std::vector<std::string>;

const std::u16string kNotDownloaded = u"Hex file not successfuly downloaded. Close Routine?";
const std::u16string kDownloaded = u"Hex file successfuly downloaded. Close Routine?";
const std::u16string kTooOld = u"This option is available in Firmwareversion 204 and later! \r\n";
const std::u16string kNoAnswer = u"No message received in time.\r\ntry again?";
const std::u16string kCommandRetry = u"Commando not send correct, try again?";

// The reader's answer to the status query, with the status letter third.
std::string StatusAnswer(char letter) { return std::string("I:") + letter + "OK"; }

// What the reader answers to a frame written; nothing for no answer.
using Reader = std::function<std::optional<std::string>(const std::string& frame)>;

// A reader that takes everything: the status queries are answered with the letters in
// turn (the last one repeated), everything else with "OK". A frame cut short lacks its CR
// and is no line the reader answers.
Reader Willing(std::string letters = "E") {
  auto queries = std::make_shared<size_t>(0);
  return [letters, queries](const std::string& frame) -> std::optional<std::string> {
    if (frame.empty() || frame.back() != '\r') return std::nullopt;
    if (frame != "I\r") return "IOK";
    const char letter = letters[std::min(*queries, letters.size() - 1)];
    ++*queries;
    return StatusAnswer(letter);
  };
}

struct Download : ::testing::Test {
  fw::RecordingHost host;
  platform::FakeSerialPorts serial;
  TempDir dir;
  platform::CommHandle handle = 0;
  std::unique_ptr<CDownloadDialog> dlg;
  std::vector<uint8_t> file;  // the bytes of the last file made
  Calls logLines;             // what the dialog had for the main window's log

  void SetUp() override {
    handle = serial.Open(u"COM1:");
    ResetShared();
  }
  void TearDown() override { ResetShared(); }
  static void ResetShared() {
    CDownloadDialog::s_bDownloadTimerStopped = false;
    CDownloadDialog::s_nDownloadWaitTicks = 0;
  }

  CDownloadDialog& Open() {
    dlg = std::make_unique<CDownloadDialog>(host, serial, handle, dir.Path(),
                                            [this](const fw::WString& text) { logLines.push_back(fw::ToUtf8(text)); });
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
    return *dlg;
  }
  fw::HeadlessWindow* W() { return host.FindWindow(IDD_DOWNLOAD); }
  fw::ControlState& Progress() { return *W()->Control(IDC_DL_PROGRESS); }
  std::u16string Status() { return dlg->m_staticState.GetWindowText(); }

  void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir.Path() / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // A firmware file of `records` records with random keys, the split record where asked,
  // and `extra` bytes after the last record.
  void MakeFile(const std::string& name, size_t records, std::optional<size_t> split, const std::string& extra = "") {
    std::vector<uint8_t> image(records * kContentBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0x31 + 3 * i);
    EhxMakeOptions options;
    options.keys = EhxMakeOptions::Keys::Random;
    options.seed = 7;
    options.splitRecord = split;
    std::string error;
    ASSERT_TRUE(MakeEhx(image, options, file, error)) << error;
    file.insert(file.end(), extra.begin(), extra.end());
    WriteBytes(name, file);
  }
  // The frame of record r of the file made.
  std::string Frame(size_t r) {
    return "I" +
           std::string(file.begin() + static_cast<std::ptrdiff_t>(r * kRecordSize),
                       file.begin() + static_cast<std::ptrdiff_t>(r * kRecordSize + kRecordSentSize)) +
           "\r";
  }
  // The writes of a whole run: status query, first part, "I1", second part, "I2".
  Calls Complete(size_t records, size_t split) {
    Calls calls{"I\r"};
    for (size_t r = 0; r < records; ++r) {
      if (r == split) calls.push_back("I1\r");
      calls.push_back(Frame(r));
    }
    calls.push_back("I2\r");
    return calls;
  }

  void Click(int id) { dlg->DispatchCommand(id, fw::Notify::Clicked); }
  void Start(const std::u16string& name) {
    dlg->m_comboFile.SetWindowText(name);
    Click(IDC_DL_DOWNLOAD);
  }
  void Ticks(uint64_t n) { host.Advance(n); }
  // Ticks until the run waits for an answer or has ended.
  void UntilWaiting() {
    for (int i = 0; i < 20 && dlg->IsWindow() && !IsWaitState(dlg->m_nState) && dlg->m_nState != DL_STATE_IDLE; ++i)
      Ticks(1);
  }
  // Ticks with the reader answering every frame between two ticks, until the run is idle
  // again or the window has gone.
  void Run(const Reader& reader, int maxTicks = 30000) {
    size_t seen = serial.WriteCalls().size();
    for (int i = 0; i < maxTicks && dlg->IsWindow(); ++i) {
      Ticks(1);
      while (seen < serial.WriteCalls().size()) {
        const std::string frame = serial.WriteCalls()[seen++];
        if (auto answer = reader(frame)) dlg->OnReaderAnswer(*answer);
      }
      if (dlg->m_nState == DL_STATE_IDLE) return;
    }
  }
  std::u16string LastBox() { return host.MessageBoxes().empty() ? u"" : host.MessageBoxes().back().text; }
  std::u16string LastCaption() { return host.MessageBoxes().empty() ? u"" : host.MessageBoxes().back().caption; }
  bool FileIsFree(const std::string& name) {
    EhxFile probe;
    return probe.Open(dir.Path() / name);
  }
  bool TimerRuns() {
    const auto timers = host.Timers();
    return std::find(timers.begin(), timers.end(), std::pair<int, unsigned>{IDD_DOWNLOAD, 1u}) != timers.end();
  }
};

// ---------------------------------------------------------------------------------------
// The list and the controls

TEST_F(Download, OpensWithTheFirmwareFilesOfTheFolder) {
  for (const char* name : {"b.EHX", "A.EHX", "c.ehx", "z.EHX", "notes.txt"}) WriteBytes(name, {});
  std::filesystem::create_directory(dir.Path() / "sub.EHX");
  Open();
  std::vector<std::u16string> items;
  for (int i = 0; i < dlg->m_comboFile.GetCount(); ++i) items.push_back(dlg->m_comboFile.GetLBText(i));
  EXPECT_EQ(items, (std::vector<std::u16string>{u"A.EHX", u"b.EHX", u"z.EHX"}));
  // The name shown is the first firmware file the folder gave, wherever the list sorts it.
  const std::string first = ListFirmwareFiles(dir.Path()).front();
  EXPECT_EQ(dlg->m_comboFile.GetWindowText(), fw::FromUtf8(first));
  EXPECT_EQ(dlg->m_comboFile.GetLBText(dlg->m_comboFile.GetCurSel()), fw::FromUtf8(first));
  // The status control is there but hidden; nothing runs before Download.
  EXPECT_FALSE(W()->Control(IDC_DL_STATE)->visible);
  EXPECT_EQ(Status(), u"....");
  EXPECT_EQ(dlg->m_staticInfo.GetWindowText(), u"");
  EXPECT_TRUE(host.Timers().empty());
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
}

TEST_F(Download, ListedNamesThatAreNoUtf8OpenByTheirOwnBytes) {
  MakeFile("fw\xE9.EHX", 2, 1);
  Open();
  ASSERT_EQ(dlg->m_comboFile.GetCount(), 1);
  EXPECT_EQ(dlg->m_comboFile.GetWindowText(), u"fw\uFFFD.EHX");
  Click(IDC_DL_DOWNLOAD);
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Complete(2, 1));
}

TEST_F(Download, Help) {
  Open();
  Click(IDC_DL_HELP);
  EXPECT_EQ(LastBox(),
            u"The download files have to be located in the same direcory as the Pelmor application. \r\n"
            u"File must be of the type: *.EHX \r\nSelect the file and press 'Download'. \r\n\n"
            u"This option is available in Firmwareversion 204 and later! \r\n");
  EXPECT_EQ(LastCaption(), u"Help");
  EXPECT_EQ(host.MessageBoxes().back().type & 0xF, fw::MB_OK);
}

// ---------------------------------------------------------------------------------------
// Whole runs

TEST_F(Download, CompleteRunsSendTheSplitRecordFirstInTheSecondPart) {
  // Split at the first record (empty first part), in the middle, and at the last record.
  for (size_t split : {size_t{0}, size_t{2}, size_t{4}}) {
    SCOPED_TRACE(split);
    serial.ClearWritten();
    host.ClearMessageBoxes();
    MakeFile("fw.EHX", 5, split);
    Open();
    Start(u"fw.EHX");
    bool timerDuringBox = true;
    host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
      timerDuringBox = TimerRuns();
      return fw::IDYES;
    });
    Run(Willing());
    EXPECT_EQ(serial.WriteCalls(), Complete(5, split));
    ASSERT_EQ(host.MessageBoxes().size(), 1u);
    EXPECT_EQ(LastBox(), kDownloaded);
    EXPECT_EQ(LastCaption(), u"Info");
    EXPECT_EQ(host.MessageBoxes().back().type & 0xF, fw::MB_YESNO);
    EXPECT_FALSE(timerDuringBox);  // the step timer pauses while the question is open
    EXPECT_TRUE(logLines.empty());
    // Yes: the dialog closes with its file, its timer stays stopped.
    EXPECT_FALSE(dlg->IsWindow());
    EXPECT_TRUE(FileIsFree("fw.EHX"));
    EXPECT_TRUE(host.Timers().empty());
    EXPECT_TRUE(CDownloadDialog::s_bDownloadTimerStopped);
    host.SetMessageBoxHook(nullptr);
    ResetShared();
  }
}

TEST_F(Download, StatusLetters) {
  MakeFile("fw.EHX", 2, 1);
  const struct {
    const char* letters;
    Calls before;  // the writes before the first record
  } cases[] = {
      {"E", {"I\r"}},                  // ready: records at once
      {"CE", {"I\r", "I0\r", "I\r"}},  // loading mode first, then ask again
      {"DE", {"I\r", "I0\r", "I\r"}},
      {"DDE", {"I\r", "I0\r", "I\r", "I0\r", "I\r"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.letters);
    serial.ClearWritten();
    Open();
    Start(u"fw.EHX");
    Run(Willing(c.letters));
    Calls expected = c.before;
    const Calls rest = Complete(2, 1);
    expected.insert(expected.end(), rest.begin() + 1, rest.end());
    EXPECT_EQ(serial.WriteCalls(), expected);
    EXPECT_EQ(LastBox(), kDownloaded);
    ResetShared();
  }
}

TEST_F(Download, RefusedStatusQueryNamesFirmwareVersion204) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  std::u16string statusAtBox;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
    statusAtBox = Status();
    return fw::IDNO;
  });
  Run([](const std::string&) { return std::string("INO"); });
  EXPECT_EQ(serial.WriteCalls(), Calls{"I\r"});
  ASSERT_EQ(host.MessageBoxes().size(), 1u);
  EXPECT_EQ(LastBox(), kTooOld + kNotDownloaded);
  EXPECT_EQ(LastCaption(), u"ERROR");
  EXPECT_EQ(statusAtBox, u"DL_STATE_ERROR");
  // No: the dialog stays, idle, with its file closed and its timer stopped until Download.
  EXPECT_TRUE(dlg->IsWindow());
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
  EXPECT_EQ(Status(), u"DL_STATE_IDLE");
  EXPECT_TRUE(FileIsFree("fw.EHX"));
  EXPECT_FALSE(TimerRuns());
  // A new run starts from the beginning.
  host.SetMessageBoxHook(nullptr);
  serial.ClearWritten();
  Click(IDC_DL_DOWNLOAD);
  EXPECT_TRUE(TimerRuns());
  host.SetMessageBoxHook([](const fw::MessageBoxRecord&) { return fw::IDNO; });
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Complete(2, 1));
  // A run that went through and is left open idles without its timer as well.
  EXPECT_EQ(LastBox(), kDownloaded);
  EXPECT_TRUE(dlg->IsWindow());
  EXPECT_FALSE(TimerRuns());
}

TEST_F(Download, WithoutASplitRecordEveryRecordGoesAndTheRunFails) {
  MakeFile("fw.EHX", 4, std::nullopt);
  Open();
  Start(u"fw.EHX");
  host.QueueAnswer(fw::IDNO);
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), (Calls{"I\r", Frame(0), Frame(1), Frame(2), Frame(3)}));
  EXPECT_EQ(LastBox(), kNotDownloaded);
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
}

TEST_F(Download, KeyDigitsZeroAndContent1000MakeTheSplitRecord) {
  // Written by hand, not by the encoder: the digits 1 0 0 0 at offsets 2 to 5, key 0 0.
  const std::string plainRecord = std::string("AA2000") + std::string(34, '7') + "00\r\n";
  const std::string splitRecord = std::string("AA1000") + std::string(34, '7') + "00\r\n";
  const std::string text = plainRecord + splitRecord + plainRecord;
  file.assign(text.begin(), text.end());
  WriteBytes("hand.EHX", file);
  Open();
  Start(u"hand.EHX");
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Complete(3, 1));
  EXPECT_EQ(serial.WriteCalls()[3], "I" + splitRecord.substr(0, 42) + "\r");
}

TEST_F(Download, TrailingPieceIsNeverSent) {
  MakeFile("fw.EHX", 3, 1, "0123456789");
  Open();
  Start(u"fw.EHX");
  int rangeHigh = -1;
  int posAtOk = -1;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
    rangeHigh = Progress().rangeHigh;
    posAtOk = Progress().pos;
    return fw::IDNO;
  });
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Complete(3, 1));
  EXPECT_EQ(LastBox(), kDownloaded);
  // The bar spans the file and stands where the last record read ended, not at the end.
  EXPECT_EQ(rangeHigh, static_cast<int>(3 * kRecordSize + 10));
  EXPECT_EQ(posAtOk, static_cast<int>(3 * kRecordSize));
}

TEST_F(Download, EmptyFileFailsAndLeavesTheBarAlone) {
  WriteBytes("empty.EHX", {});
  Open();
  Start(u"empty.EHX");
  host.QueueAnswer(fw::IDNO);
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Calls{"I\r"});
  EXPECT_EQ(LastBox(), kNotDownloaded);
  EXPECT_EQ(Progress().rangeLow, 0);
  EXPECT_EQ(Progress().rangeHigh, 100);
}

TEST_F(Download, RecordsWithLineEndsInsideAreNotSent) {
  // A file whose lines end in LF alone: its records are shifted, and the second one read
  // carries the first line's LF in its sent part.
  MakeFile("fw.EHX", 3, 2);
  std::vector<uint8_t> lf;
  for (size_t i = 0; i < file.size(); ++i)
    if (file[i] != '\r') lf.push_back(file[i]);
  file = lf;
  WriteBytes("fw.EHX", file);
  Open();
  Start(u"fw.EHX");
  host.QueueAnswer(fw::IDNO);
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), (Calls{"I\r", Frame(0)}));
  for (const std::string& call : serial.WriteCalls())
    EXPECT_EQ(std::count_if(call.begin(), call.end(), [](char ch) { return ch == '\r' || ch == '\n'; }), 1);
  EXPECT_EQ(LastBox(), kNotDownloaded);
}

TEST_F(Download, SlowAnswersWithinTheWaitAreTakenForEveryFrame) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  auto willing = Willing();
  size_t answered = 0;
  // Five frames: the status query, a record, "I1", a record, "I2".
  for (int frame = 0; frame < 5; ++frame) {
    UntilWaiting();
    ASSERT_TRUE(IsWaitState(dlg->m_nState));
    Ticks(1999);  // each wait starts counting afresh
    ASSERT_EQ(serial.WriteCalls().size(), answered + 1);
    dlg->OnReaderAnswer(*willing(serial.WriteCalls()[answered++]));
  }
  Ticks(2);
  EXPECT_EQ(serial.WriteCalls(), Complete(2, 1));
  EXPECT_EQ(LastBox(), kDownloaded);
}

// ---------------------------------------------------------------------------------------
// Failures on the line

TEST_F(Download, NoConnectionIsToldAndTheWaitRunsOut) {
  handle = 0;
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  Ticks(2);  // open the file, then the status query
  ASSERT_EQ(host.MessageBoxes().size(), 1u);
  EXPECT_EQ(LastBox(), u"No communication. \r\nFirst connect. \r\n");
  EXPECT_EQ(LastCaption(), u"ERROR");
  EXPECT_EQ(dlg->m_nState, DL_STATE_STATUS_WAIT);
  Ticks(2000);
  EXPECT_EQ(dlg->m_nState, DL_STATE_STATUS_WAIT);
  Ticks(1);
  EXPECT_EQ(dlg->m_nState, DL_STATE_NO_ANSWER);
  host.QueueAnswer(fw::IDNO);
  host.QueueAnswer(fw::IDNO);
  Ticks(2);
  EXPECT_EQ(host.MessageBoxes()[1].text, kNoAnswer);
  EXPECT_EQ(host.MessageBoxes()[1].caption, u"Error");
  EXPECT_EQ(LastBox(), kNotDownloaded);
  EXPECT_TRUE(serial.Written().empty());
}

TEST_F(Download, CommandsNotWrittenAskForARetry) {
  const struct {
    const char* what;
    const char* letters;
    size_t split;
    int failingWrite;  // 1: the next write
    std::u16string question;
  } cases[] = {
      {"status", "E", 1, 1, kCommandRetry},
      {"loading mode", "CE", 1, 2, u"Commando \"DL_STATE_BOOT_MODE\" not send correct,try again?"},
      {"I1", "E", 0, 2, kCommandRetry},
      {"I2", "E", 0, 5, kCommandRetry},
  };
  for (const auto& c : cases) {
    for (const bool retry : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (retry ? " retried" : " given up"));
      serial.ClearWritten();
      host.ClearMessageBoxes();
      MakeFile("fw.EHX", 2, c.split);
      Open();
      Start(u"fw.EHX");
      serial.failNthWrite = c.failingWrite;
      host.QueueAnswer(retry ? fw::IDYES : fw::IDNO);  // the retry question
      host.QueueAnswer(fw::IDNO);                      // the final question
      Run(Willing(c.letters));
      ASSERT_GE(host.MessageBoxes().size(), 3u);
      EXPECT_EQ(host.MessageBoxes()[0].text, u"Commando not send. \r\n");
      EXPECT_EQ(host.MessageBoxes()[0].caption, u"ERROR");
      EXPECT_EQ(host.MessageBoxes()[1].text, c.question);
      EXPECT_EQ(host.MessageBoxes()[1].caption, u"Error");
      EXPECT_EQ(host.MessageBoxes()[2].text, retry ? kDownloaded : kNotDownloaded);
      if (retry) {
        // Yes: the status query, then the command that failed and the rest of the image.
        // A failed write leaves no trace, so a failed status query is just asked again.
        Calls expected = Complete(2, c.split);
        if (c.failingWrite > 1) expected.insert(expected.begin() + (c.failingWrite - 1), "I\r");
        EXPECT_EQ(serial.WriteCalls(), expected);
      }
      EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
    }
  }
}

TEST_F(Download, RecordsNotWrittenFailWithoutAQuestion) {
  for (const bool shortWrite : {false, true}) {
    SCOPED_TRACE(shortWrite ? "short" : "failed");
    serial.ClearWritten();
    host.ClearMessageBoxes();
    MakeFile("fw.EHX", 2, 1);
    Open();
    Start(u"fw.EHX");
    if (shortWrite) {
      serial.writeLimit = static_cast<int>(kRecordSize) - 1;
    } else {
      serial.failNthWrite = 2;
    }
    host.QueueAnswer(fw::IDNO);
    Run(Willing());
    ASSERT_EQ(host.MessageBoxes().size(), 1u);
    EXPECT_EQ(LastBox(), kNotDownloaded);
    EXPECT_EQ(std::count(serial.WriteCalls().begin(), serial.WriteCalls().end(), "I1\r"), 0);
    serial.writeLimit = -1;
  }
}

TEST_F(Download, RetryResendsOnlyTheFrameWhoseAnswerWasMissing) {
  // Five records split at the third: status query, F0, F1, "I1", F2, F3, F4, "I2".
  constexpr size_t kRecords = 5;
  constexpr size_t kSplit = 2;
  const struct {
    const char* what;
    size_t lost;          // index among the writes of a whole run of the frame left unanswered
    const char* letters;  // the status letters of the reader, in turn
    Calls retry;          // what the retry sends before that frame again
  } cases[] = {
      {"first record", 1, "E", {"I\r"}},
      {"record of the first part", 2, "E", {"I\r"}},
      {"I1", 3, "E", {"I\r"}},
      {"split record", 4, "E", {"I\r"}},
      {"record of the second part", 5, "E", {"I\r"}},
      {"I2", 7, "E", {"I\r"}},
      {"record of the second part, loading mode asked for", 5, "ECE", {"I\r", "I0\r", "I\r"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResetShared();
    serial.ClearWritten();
    host.ClearMessageBoxes();
    MakeFile("fw.EHX", kRecords, kSplit);
    const Calls complete = Complete(kRecords, kSplit);
    Open();
    Start(u"fw.EHX");
    auto willing = Willing(c.letters);
    size_t frames = 0;
    bool dropped = false;
    int posAtLoss = -1;
    int posAtRetry = -1;
    Run([&](const std::string& frame) -> std::optional<std::string> {
      if (dropped && posAtRetry < 0 && frame == "I\r") posAtRetry = Progress().pos;
      if (frames++ == c.lost) {
        dropped = true;
        posAtLoss = Progress().pos;
        return std::nullopt;
      }
      return willing(frame);
    });
    ASSERT_EQ(host.MessageBoxes().size(), 2u);
    EXPECT_EQ(host.MessageBoxes()[0].text, kNoAnswer);
    EXPECT_EQ(LastBox(), kDownloaded);
    // Every frame once, only the unanswered one twice; "I1" once unless it was that frame.
    Calls expected(complete.begin(), complete.begin() + static_cast<std::ptrdiff_t>(c.lost) + 1);
    expected.insert(expected.end(), c.retry.begin(), c.retry.end());
    expected.insert(expected.end(), complete.begin() + static_cast<std::ptrdiff_t>(c.lost), complete.end());
    EXPECT_EQ(serial.WriteCalls(), expected);
    // The progress bar does not go back for the retry.
    EXPECT_EQ(posAtRetry, posAtLoss);
  }
}

TEST_F(Download, OkOutsideAWaitAsksAgainAndGoesOnBehindTheAcknowledgedRecord) {
  MakeFile("fw.EHX", 3, 1);
  Open();
  Start(u"fw.EHX");
  auto willing = Willing();
  bool extra = false;
  Run([&](const std::string& frame) -> std::optional<std::string> {
    auto answer = willing(frame);
    // A second "OK" after the first record's arrives before the next tick.
    if (frame == Frame(0) && !extra) {
      extra = true;
      dlg->OnReaderAnswer(*answer);
    }
    return answer;
  });
  EXPECT_EQ(serial.WriteCalls(), (Calls{"I\r", Frame(0), "I\r", "I1\r", Frame(1), Frame(2), "I2\r"}));
  EXPECT_EQ(LastBox(), kDownloaded);
}

TEST_F(Download, RecordWithAControlCharacterIsNamedInTheLogBeforeTheErrorBox) {
  const struct {
    const char* what;
    size_t split;
    size_t record;  // the record spoilt, from 0
    size_t at;      // and where
    uint8_t byte;
    size_t sent;  // writes of a whole run made before it
    const char* line;
  } cases[] = {
      {"carriage return in the first part", 3, 1, 20, '\r', 2,
       "Firmware record 2 not sent: control character 0x0D at position 21.\r\n"},
      {"NUL first in the second part", 2, 3, 0, 0, 5,
       "Firmware record 4 not sent: control character 0x00 at position 1.\r\n"},
      {"DEL in the split record, found when it is sent", 2, 2, 30, 0x7F, 4,
       "Firmware record 3 not sent: control character 0x7F at position 31.\r\n"},
      {"tab in the key of the last record", 0, 4, kKeyROffset, '\t', 6,
       "Firmware record 5 not sent: control character 0x09 at position 42.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    serial.ClearWritten();
    logLines.clear();
    MakeFile("fw.EHX", 5, c.split);
    const Calls complete = Complete(5, c.split);
    file[c.record * kRecordSize + c.at] = c.byte;
    WriteBytes("fw.EHX", file);
    Open();
    host.SetMessageBoxHook([&](const fw::MessageBoxRecord& box) {
      logLines.push_back("[box] " + fw::ToUtf8(box.text));
      return fw::IDNO;
    });
    Start(u"fw.EHX");
    Run(Willing());
    EXPECT_EQ(logLines, (Calls{c.line, "[box] " + fw::ToUtf8(kNotDownloaded)}));
    EXPECT_EQ(serial.WriteCalls(), Calls(complete.begin(), complete.begin() + static_cast<std::ptrdiff_t>(c.sent)));
    EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
  }
}

TEST_F(Download, FileWithOneByteLineEndsIsStoppedAtItsSecondRecord) {
  // Line feeds alone: every record read is shifted by one more byte, and the second one
  // holds the first line's end in what would be sent.
  MakeFile("fw.EHX", 4, 3);
  std::vector<uint8_t> shifted;
  std::copy_if(file.begin(), file.end(), std::back_inserter(shifted), [](uint8_t b) { return b != '\r'; });
  WriteBytes("fw.EHX", shifted);
  Open();
  host.QueueAnswer(fw::IDNO);
  Start(u"fw.EHX");
  Run(Willing());
  EXPECT_EQ(logLines, Calls{"Firmware record 2 not sent: control character 0x0A at position 42.\r\n"});
  EXPECT_EQ(serial.WriteCalls(), (Calls{"I\r", Frame(0)}));
  EXPECT_EQ(LastBox(), kNotDownloaded);
}

// ---------------------------------------------------------------------------------------
// A port that fails every write, a reader that goes away

// Answers Yes to every question and OK to every notice, as the terminal does by default.
int Agree(const fw::MessageBoxRecord& box) { return box.type & fw::MB_YESNO ? fw::IDYES : fw::IDOK; }
bool IsRetryQuestion(const std::u16string& text) { return text.ends_with(u"try again?"); }

TEST_F(Download, RetriesNobodyAnswersAskAgainAtMostOnceASecond) {
  // A port gone mid-download failed every write at once, and every Yes asked again at once:
  // thousands of questions a second.
  constexpr uint64_t kRunMs = 10'000;
  const struct {
    const char* what;
    size_t answered;  // frames the reader answers before the port fails
  } cases[] = {
      {"port dead from the start", 0},
      {"port gone while a record waits for its answer", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResetShared();
    MakeFile("fw.EHX", 5, 2);
    Open();
    std::vector<uint64_t> asked;  // when each retry question came
    host.SetMessageBoxHook([&](const fw::MessageBoxRecord& box) {
      if (IsRetryQuestion(box.text)) asked.push_back(host.NowMs());
      return Agree(box);
    });
    serial.failWrite = c.answered == 0;
    Start(u"fw.EHX");
    auto willing = Willing();
    size_t frames = 0;
    Run(
        [&](const std::string& frame) -> std::optional<std::string> {
          if (++frames <= c.answered) return willing(frame);
          serial.failWrite = true;
          return std::nullopt;
        },
        kRunMs);
    host.SetMessageBoxHook(nullptr);
    serial.failWrite = false;
    const auto tooSoon = std::adjacent_find(asked.begin(), asked.end(), [](uint64_t before, uint64_t next) {
      return next - before < CDownloadDialog::kSilentRetryPauseMs;
    });
    EXPECT_EQ(tooSoon, asked.end()) << "question " << (tooSoon - asked.begin()) + 2 << " of " << asked.size()
                                    << " came too soon";
    EXPECT_LE(asked.size(), kRunMs / CDownloadDialog::kSilentRetryPauseMs + 1);
    // Every Yes is still a retry: the questions keep coming, once a second.
    EXPECT_GE(asked.size(), 7u);
    EXPECT_NE(dlg->m_nState, DL_STATE_IDLE);
  }
}

TEST_F(Download, RetriesTheReaderAnswersAreNotSlowed) {
  // The reader asks for the loading mode every time, and "I0" never gets through whole.
  MakeFile("fw.EHX", 2, 1);
  Open();
  serial.writeLimit = 2;
  size_t asked = 0;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord& box) {
    if (IsRetryQuestion(box.text)) ++asked;
    return Agree(box);
  });
  Start(u"fw.EHX");
  Run(Willing("C"), 1000);
  host.SetMessageBoxHook(nullptr);
  // A retry takes two ticks: the status query answered, "I0" failed and asked about.
  EXPECT_GE(asked, 400u);
}

TEST_F(Download, ALostReaderEndsTheRunWithTheFailureQuestion) {
  enum class Moment { WaitingForAnAnswer, RetryQuestionOpen, RetryQuestionHeldBack };
  const struct {
    const char* what;
    Moment moment;
    int ticks;  // before the loss, or until the run is over
  } cases[] = {
      {"waiting for a record's answer", Moment::WaitingForAnAnswer, 100},
      {"the question after the missing answer open", Moment::RetryQuestionOpen, 30000},
      {"the retry failed, its question held back", Moment::RetryQuestionHeldBack, 2500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResetShared();
    serial.ClearWritten();
    host.ClearMessageBoxes();
    MakeFile("fw.EHX", 5, 2);
    Open();
    bool lost = false;
    size_t boxesAtLoss = 0;  // boxes shown or open when the reader went
    size_t writesAtLoss = 0;
    auto lose = [&](size_t open) {
      lost = true;
      boxesAtLoss = host.MessageBoxes().size() + open;
      writesAtLoss = serial.WriteCalls().size();
      dlg->OnReaderLost();
    };
    host.SetMessageBoxHook([&](const fw::MessageBoxRecord& box) {
      // The main window's receive tick runs while the box is open, and finds the reader gone.
      if (c.moment == Moment::RetryQuestionOpen && box.text == kNoAnswer) lose(1);
      return box.text == kNotDownloaded ? fw::IDNO : Agree(box);
    });
    Start(u"fw.EHX");
    auto willing = Willing();
    size_t frames = 0;
    // The reader takes the status query and the first record, then says nothing more.
    Run(
        [&](const std::string& frame) -> std::optional<std::string> {
          if (++frames <= 2) return willing(frame);
          if (c.moment == Moment::RetryQuestionHeldBack) serial.failWrite = true;
          return std::nullopt;
        },
        c.ticks);
    if (c.moment == Moment::RetryQuestionHeldBack) {
      ASSERT_EQ(LastBox(), u"Commando not send. \r\n");
      lose(0);
    } else if (c.moment == Moment::WaitingForAnAnswer) {
      ASSERT_EQ(dlg->m_nState, DL_STATE_SEND_STR1_WAIT);
      lose(0);
    }
    Ticks(10'000);
    host.SetMessageBoxHook(nullptr);
    serial.failWrite = false;
    ASSERT_TRUE(lost);
    // One question, that of a failed run, and nothing sent after the loss.
    ASSERT_EQ(host.MessageBoxes().size(), boxesAtLoss + 1);
    EXPECT_EQ(LastBox(), kNotDownloaded);
    EXPECT_EQ(LastCaption(), u"ERROR");
    EXPECT_EQ(serial.WriteCalls().size(), writesAtLoss);
    // No: the dialog stays, idle, without its file and without the port that went away.
    EXPECT_TRUE(dlg->IsWindow());
    EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
    EXPECT_TRUE(FileIsFree("fw.EHX"));
    EXPECT_EQ(dlg->m_hComm, 0u);
  }
}

TEST_F(Download, AReaderLostWhileIdleTakesOnlyThePort) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  dlg->OnReaderLost();
  Ticks(10);
  EXPECT_TRUE(host.MessageBoxes().empty());
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
  // A run started now is told there is no connection instead of writing to a closed port.
  Start(u"fw.EHX");
  Ticks(2);
  EXPECT_EQ(LastBox(), u"No communication. \r\nFirst connect. \r\n");
  EXPECT_TRUE(serial.WriteCalls().empty());
}

// ---------------------------------------------------------------------------------------
// Files that cannot be opened

TEST_F(Download, FileChoiceFailures) {
  MakeFile("fw.EHX", 1, 0);
  ASSERT_EQ(::mkfifo((dir.Path() / "pipe.EHX").c_str(), 0600), 0);
  EhxFile holder;
  WriteBytes("held.EHX", file);
  ASSERT_TRUE(holder.Open(dir.Path() / "held.EHX"));
  const std::string folder = dir.Path().native();
  const struct {
    std::u16string typed;
    std::u16string box;
  } cases[] = {
      {u"", u"File path is empty, \r\nselect file and press download."},
      {u"missing.EHX",
       u"File could not be opened.\r\n\"" + fw::FromUtf8(folder) + u"/missing.EHX\".File probably already opened."},
      {u"pipe.EHX",
       u"File could not be opened.\r\n\"" + fw::FromUtf8(folder) + u"/pipe.EHX\".File probably already opened."},
      {u"held.EHX",
       u"File could not be opened.\r\n\"" + fw::FromUtf8(folder) + u"/held.EHX\".File probably already opened."},
      {u"sub", u"File could not be opened.\r\n\"" + fw::FromUtf8(folder) + u"/sub\".File probably already opened."},
  };
  std::filesystem::create_directory(dir.Path() / "sub");
  for (const auto& c : cases) {
    SCOPED_TRACE(fw::ToUtf8(c.typed));
    host.ClearMessageBoxes();
    Open();
    host.QueueAnswer(fw::IDNO);
    Start(c.typed);
    Run(Willing());
    ASSERT_EQ(host.MessageBoxes().size(), 2u);
    EXPECT_EQ(host.MessageBoxes()[0].text, c.box);
    EXPECT_EQ(host.MessageBoxes()[0].caption, u"Warning");
    EXPECT_EQ(host.MessageBoxes()[1].text, kNotDownloaded);
    EXPECT_TRUE(serial.Written().empty());
  }
}

TEST_F(Download, TypedNamesOutsideTheListAreOpened) {
  MakeFile("image.bin", 2, 1);
  Open();
  EXPECT_EQ(dlg->m_comboFile.GetCount(), 0);
  Start(u"image.bin");
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Complete(2, 1));
}

// ---------------------------------------------------------------------------------------
// Buttons, answers out of turn, ticks during boxes

TEST_F(Download, DownloadAndCancelWaitForTheRunToEnd) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  UntilWaiting();
  const int state = dlg->m_nState;
  Click(IDC_DL_DOWNLOAD);
  EXPECT_EQ(LastBox(), u"Downloading already in progress");
  EXPECT_EQ(LastCaption(), u"Information");
  Click(fw::IDCANCEL);
  EXPECT_EQ(LastBox(), u"Download in progress,\r\ndownload can only be canceled when state is IDLE.");
  EXPECT_EQ(LastCaption(), u"Information");
  EXPECT_TRUE(dlg->IsWindow());
  EXPECT_EQ(dlg->m_nState, state);
  EXPECT_EQ(serial.WriteCalls(), Calls{"I\r"});
  EXPECT_FALSE(FileIsFree("fw.EHX"));  // held for the run
  // Ended with No: idle, and Cancel closes.
  dlg->OnReaderAnswer("I?");
  host.QueueAnswer(fw::IDNO);
  Ticks(1);
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
  EXPECT_TRUE(FileIsFree("fw.EHX"));
  Click(fw::IDCANCEL);
  EXPECT_FALSE(dlg->IsWindow());
  EXPECT_TRUE(host.Timers().empty());
  // Enter presses the default button, Download.
  Open();
  dlg->DispatchCommand(fw::IDOK, fw::Notify::Clicked);
  EXPECT_TRUE(dlg->IsWindow());
  EXPECT_EQ(dlg->m_nState, DL_STATE_INIT);
  EXPECT_EQ(host.TimerPeriod(IDD_DOWNLOAD, CDownloadDialog::DOWNLOAD_TIMER_ID), 1u);
}

TEST_F(Download, AnswersWhileIdleAreIgnored) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  for (const char* line : {"IOK", "I:EOK", "INO", "I", ""}) dlg->OnReaderAnswer(line);
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
  // Download and Cancel still work: no "in progress" boxes.
  Start(u"fw.EHX");
  Run(Willing());
  EXPECT_EQ(serial.WriteCalls(), Complete(2, 1));
  // After a run ended with No the timer stops; a late answer starts nothing.
  Open();
  Start(u"fw.EHX");
  host.SetMessageBoxHook([](const fw::MessageBoxRecord&) { return fw::IDNO; });
  Run(Willing());
  ASSERT_FALSE(TimerRuns());
  serial.ClearWritten();
  host.ClearMessageBoxes();
  dlg->OnReaderAnswer("IOK");
  dlg->OnReaderAnswer("Ixx");
  Ticks(50);
  EXPECT_TRUE(serial.Written().empty());
  EXPECT_TRUE(host.MessageBoxes().empty());
  EXPECT_EQ(Status(), u"DL_STATE_IDLE");
  Click(fw::IDCANCEL);
  EXPECT_FALSE(dlg->IsWindow());
}

TEST_F(Download, TicksWhileABoxIsOpenDoNotEnterAStep) {
  // A dialog that ended through its close step leaves the shared pause flag set, so the
  // next dialog's first step does not stop the timer while its box is open.
  MakeFile("fw.EHX", 1, 0);
  Open();
  Start(u"fw.EHX");
  Run(Willing());
  ASSERT_FALSE(dlg->IsWindow());
  ASSERT_TRUE(CDownloadDialog::s_bDownloadTimerStopped);

  host.ClearMessageBoxes();
  Open();
  bool timerDuringFirstBox = false;
  std::vector<int> statesDuringBoxes;
  int openBoxes = 0;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord& box) {
    if (host.MessageBoxes().empty()) timerDuringFirstBox = TimerRuns();
    // The box keeps the message loop, and the ticks, going; a box opened meanwhile does not.
    if (++openBoxes == 1) host.Advance(50);
    --openBoxes;
    statesDuringBoxes.push_back(dlg->m_nState);
    return box.type & fw::MB_YESNO ? fw::IDNO : fw::IDOK;
  });
  Start(u"missing.EHX");
  for (int i = 0; i < 5; ++i) Ticks(1);
  EXPECT_TRUE(timerDuringFirstBox);
  ASSERT_EQ(host.MessageBoxes().size(), 2u);  // one open failure, one error question
  EXPECT_NE(host.MessageBoxes()[0].text.find(u"File could not be opened."), std::u16string::npos);
  EXPECT_EQ(host.MessageBoxes()[1].text, kNotDownloaded);
  EXPECT_EQ(statesDuringBoxes, (std::vector<int>{DL_STATE_INIT, DL_STATE_ERROR}));
  EXPECT_FALSE(dlg->InStep());
  EXPECT_EQ(dlg->m_nState, DL_STATE_IDLE);
  EXPECT_FALSE(CDownloadDialog::s_bDownloadTimerStopped);
}

TEST_F(Download, StatusControlNamesEveryStep) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  Calls statuses;
  auto willing = Willing();
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
    statuses.push_back(fw::ToUtf8(Status()));
    return fw::IDNO;
  });
  Run([&](const std::string& frame) {
    statuses.push_back(fw::ToUtf8(Status()));
    Ticks(1);  // one tick of the wait before the answer comes
    statuses.push_back(fw::ToUtf8(Status()));
    return willing(frame);
  });
  EXPECT_EQ(statuses, (Calls{"DL_STATE_STATUS", "DL_STATE_STATUS_WAIT", "DL_STATE_SEND_STR1", "DL_STATE_SEND_STR1_WAIT",
                             "DL_STATE_SEND_I1", "DL_STATE_SEND_I1_WAIT", "DL_STATE_SEND_STR2",
                             "DL_STATE_SEND_STR2_WAIT", "DL_STATE_SEND_I2", "DL_STATE_SEND_I2_WAIT", "DL_STATE_OK"}));
  EXPECT_FALSE(W()->Control(IDC_DL_STATE)->visible);
}

TEST_F(Download, NumbersOfNoStateStepAsDefault) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  UntilWaiting();
  ASSERT_FALSE(FileIsFree("fw.EHX"));
  for (int number : {8, 9, 21}) {
    dlg->SetState(number);
    Ticks(3);
    EXPECT_EQ(Status(), u"default");
    EXPECT_EQ(dlg->m_nState, number);
    EXPECT_TRUE(FileIsFree("fw.EHX"));
    EXPECT_TRUE(TimerRuns());
  }
  dlg->SetState(22);
  EXPECT_EQ(dlg->m_nState, DL_STATE_ERROR);
  dlg->SetState(-3);
  EXPECT_EQ(dlg->m_nState, DL_STATE_ERROR);
}

TEST_F(Download, ClosingTheWindowMidRunReleasesTheFile) {
  MakeFile("fw.EHX", 2, 1);
  Open();
  Start(u"fw.EHX");
  UntilWaiting();
  ASSERT_FALSE(FileIsFree("fw.EHX"));
  dlg->DestroyWindow();
  EXPECT_TRUE(FileIsFree("fw.EHX"));
  EXPECT_TRUE(host.Timers().empty());
}

// ---------------------------------------------------------------------------------------
// In the main window: answers come through the receive loop

// Three records split at the second, as "fw.EHX" in the folder.
std::vector<uint8_t> WriteFirmware(const std::filesystem::path& folder) {
  std::vector<uint8_t> file;
  std::string error;
  EhxMakeOptions options;
  options.splitRecord = 1;
  EXPECT_TRUE(MakeEhx(std::vector<uint8_t>(60, 0x42), options, file, error)) << error;
  std::ofstream(folder / "fw.EHX", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return file;
}

TEST(DownloadInMainWindow, RunOverTheReceiveLoop) {
  testing_rig::Rig r;
  r.Start();
  Download::ResetShared();
  const std::vector<uint8_t> file = WriteFirmware(r.dir.Path());
  r.Click(IDC_FIRMWARE);
  CDownloadDialog* dl = r.dlg->DownloadDialog();
  ASSERT_NE(dl, nullptr);
  EXPECT_EQ(dl->m_comboFile.GetWindowText(), u"fw.EHX");
  r.serial.ClearWritten();
  dl->DispatchCommand(IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  auto willing = Willing("CE");
  size_t seen = 0;
  for (int i = 0; i < 5000 && dl->IsWindow(); ++i) {
    r.host.Advance(1);
    while (seen < r.serial.WriteCalls().size()) r.Feed(*willing(r.serial.WriteCalls()[seen++]) + "\r");
  }
  EXPECT_FALSE(dl->IsWindow());
  ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
  EXPECT_EQ(r.host.MessageBoxes().back().text, kDownloaded);
  const std::string frame0 = "I" + std::string(file.begin(), file.begin() + 42) + "\r";
  const std::string frame1 = "I" + std::string(file.begin() + 44, file.begin() + 86) + "\r";
  const std::string frame2 = "I" + std::string(file.begin() + 88, file.begin() + 130) + "\r";
  EXPECT_EQ(r.serial.WriteCalls(), (Calls{"I\r", "I0\r", "I\r", frame0, "I1\r", frame1, frame2, "I2\r"}));
  Download::ResetShared();
}

TEST(DownloadInMainWindow, ReaderLostMidRunEndsTheRunAsAFailedOne) {
  // The dialog was only given a port of 0: it waited out every answer and asked to try
  // again, over and over, with nobody there.
  testing_rig::Rig r;
  r.Start();
  Download::ResetShared();
  WriteFirmware(r.dir.Path());
  r.Click(IDC_FIRMWARE);
  CDownloadDialog* dl = r.dlg->DownloadDialog();
  ASSERT_NE(dl, nullptr);
  dl->DispatchCommand(IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  // The reader takes the status query; its device goes while the first record waits.
  r.serial.ClearWritten();
  r.host.Advance(5);
  ASSERT_EQ(r.serial.WriteCalls(), Calls{"I\r"});
  r.Feed(StatusAnswer('E') + "\r");
  r.host.Advance(2 * CMainDialog::kReceivePeriodMs);
  ASSERT_EQ(r.serial.WriteCalls().size(), 2u);
  r.serial.failRead = true;
  r.serial.lastErrorOnFailure = platform::kErrDeviceGone;
  r.serial.failOpen = true;  // and stays away
  r.host.Advance(10'000);
  EXPECT_NE(r.Log().find("Reader lost on COM1:\r\n"), std::string::npos);
  ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
  EXPECT_EQ(r.host.MessageBoxes().back().text, kNotDownloaded);
  EXPECT_EQ(r.host.MessageBoxes().back().caption, u"ERROR");
  EXPECT_EQ(r.serial.WriteCalls().size(), 2u);
  // Yes, as the terminal answers: the dialog closes with its file.
  EXPECT_FALSE(dl->IsWindow());
  EhxFile probe;
  EXPECT_TRUE(probe.Open(r.dir.Path() / "fw.EHX"));
  Download::ResetShared();
}

}  // namespace
