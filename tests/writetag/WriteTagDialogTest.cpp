// The Write Tag dialog and its write procedure on the headless host.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "framework/headless/HeadlessTerminal.h"
#include "tests/app/Rig.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;
using testing_rig::TempDir;
namespace fs = std::filesystem;

constexpr const char16_t* kCodeSuccess =
    u"Code successfuly transmitted. \r\nTo check if code is successfuly written in tag read "
    u"out the code of the tag. \r\nDo you want to write another transponder. \r\n";
constexpr const char16_t* kBlocksSuccess =
    u"Number of blocks successfuly transmitted. \r\nDo you want to write a code to the transponder. \r\n";

struct WriteTag : ::testing::Test {
  fw::RecordingHost host;
  // Commands as the terminal takes them; what it prints is not looked at here.
  std::ostringstream printed;
  fw::HeadlessTerminal terminal{host, printed};
  platform::FakeSerialPorts serial;
  platform::RecordingSound sound;
  TempDir dir;
  platform::CommHandle handle = 0;
  std::unique_ptr<CWriteTagDialog> dlg;
  std::vector<std::u16string> log;  // lines for the main window's log

  void SetUp() override { handle = serial.Open(u"COM1:"); }
  CWriteTagDialog& Open() {
    dlg = std::make_unique<CWriteTagDialog>(host, serial, sound, handle, dir.Path(),
                                            [this](const fw::WString& line) { log.push_back(line); });
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
    return *dlg;
  }
  fw::HeadlessWindow* W() { return host.FindWindow(IDD_WRITETAG); }
  std::vector<std::u16string> List() {
    std::vector<std::u16string> items;
    for (int i = 0; i < dlg->m_comboCode.GetCount(); ++i) items.push_back(dlg->m_comboCode.GetLBText(i));
    return items;
  }
  void SetCode(const std::u16string& code) { dlg->m_comboCode.SetWindowText(code); }
  void Click(int id) { dlg->DispatchCommand(id, fw::Notify::Clicked); }
  void Ticks(int n) { host.Advance(static_cast<uint64_t>(n)); }
  std::string File() {
    std::ifstream in(dir.Path() / "TrCode.txt", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WriteFile(const std::string& text) { std::ofstream(dir.Path() / "TrCode.txt", std::ios::binary) << text; }
  std::u16string LastBox() { return host.MessageBoxes().empty() ? u"" : host.MessageBoxes().back().text; }
  // Runs the procedure until it waits for an answer (state 5) or has left the run.
  void UntilWaiting() {
    for (int i = 0; i < 50 && dlg->IsWindow() && dlg->m_nState != CWriteTagDialog::State::Wait; ++i) Ticks(1);
  }
};

TEST_F(WriteTag, CodeListIsReadReversedWithoutShortWords) {
  WriteFile("AB12\rX\rCD34\r");
  Open();
  EXPECT_EQ(List(), (std::vector<std::u16string>{u"CD34", u"AB12"}));
  EXPECT_EQ(dlg->m_radioBlocks3.GetCheck(), fw::BST_CHECKED);
  EXPECT_EQ(dlg->m_radioBlocks5.GetCheck(), fw::BST_UNCHECKED);
}

TEST_F(WriteTag, CodeListReadsAtMostAHundredWordsAndCutsLongOnes) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += "W" + std::to_string(i) + "\r";
  WriteFile(text);
  Open();
  ASSERT_EQ(List().size(), 100u);
  EXPECT_EQ(List().front(), u"W99");
  WriteFile(std::string(10000, 'L') + "\rok\r");
  Open();
  EXPECT_EQ(List(), (std::vector<std::u16string>{u"ok", std::u16string(15, u'L')}));
}

TEST_F(WriteTag, AppendAndClearList) {
  WriteFile("AB12\r");
  Open();
  dlg->AppendCodeToFile(u"12 34");
  dlg->AppendCodeToFile(u"");
  dlg->AppendCodeToFile(
      u"\u0141"
      u"234567890123456789");
  EXPECT_EQ(File(), "AB12\r12 34\r\rA23456789012345\r");
  // Regression: a code with a blank came back as two entries, one per word.
  Open();
  EXPECT_EQ(List(), (std::vector<std::u16string>{u"A23456789012345", u"12 34", u"AB12"}));
  SetCode(u"KEEP");
  Click(IDC_WT_CLEAR_LIST);
  EXPECT_EQ(File(), "");
  EXPECT_TRUE(List().empty());
  EXPECT_EQ(dlg->m_comboCode.GetWindowText(), u"KEEP");
  Click(IDC_WT_CLEAR);
  EXPECT_EQ(dlg->m_comboCode.GetWindowText(), u"");
}

// Regression: a file whose last word had no line end took the next code as the rest of that
// word ("CD34" + "AB12" read back as "CD34AB12"); a file ending in a line end, or empty,
// gets nothing added before the code, one ending in a blank a line end (else the code
// would become the rest of that line).
TEST_F(WriteTag, CodeAppendedAfterAWordWithoutLineEndStaysApart) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"AB12\rCD34", "AB12\rCD34\rEF56\r"},
      {"AB12\n", "AB12\nEF56\r"},
      {"AB12 ", "AB12 \rEF56\r"},
      {"", "EF56\r"},
  };
  for (const auto& c : cases) {
    WriteFile(c.before);
    Open();
    dlg->AppendCodeToFile(u"EF56");
    EXPECT_EQ(File(), c.after) << c.before;
    Open();
    ASSERT_GT(List().size(), 0u) << c.before;
    EXPECT_EQ(List().front(), u"EF56") << c.before;
  }
}

// Regression: a FIFO named TrCode.txt froze the dialog as it opened, and saves that failed
// went unsaid. Each failure of the file is one line for the main window's log; the write
// itself is not affected and the list goes on as it would.
TEST_F(WriteTag, CodeListFileFailuresAreLogged) {
  const fs::path file = dir.Path() / "TrCode.txt";
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  Open();
  EXPECT_EQ(log, (std::vector<std::u16string>{u"TrCode.txt not read: not a regular file\r\n"}));
  EXPECT_TRUE(List().empty());

  fs::remove(file);
  fs::create_directory(file);
  log.clear();
  Open();
  SetCode(u"AB");
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  dlg->OnReaderAnswer("wOK");
  Ticks(5);
  EXPECT_EQ(LastBox(), kCodeSuccess);  // the code did reach the transponder
  EXPECT_EQ(log, (std::vector<std::u16string>{u"TrCode.txt not read: not a regular file\r\n",
                                              u"TrCode.txt not updated: not a regular file\r\n"}));
  EXPECT_EQ(List(), (std::vector<std::u16string>{u"AB"}));
  Click(IDC_WT_CLEAR_LIST);
  EXPECT_EQ(log.back(), u"TrCode.txt not cleared: not a regular file\r\n");
  EXPECT_EQ(log.size(), 3u);
  EXPECT_TRUE(List().empty());
  EXPECT_TRUE(fs::is_directory(file));
}

TEST_F(WriteTag, CodeChecksRefuseWithTheirMessages) {
  Open();
  const struct {
    const char16_t* code;
    const char16_t* text;
    const char16_t* caption;
  } cases[] = {
      {u"", u"Not enough characters filled in. Code should exists of min. 1 characters.", u"Info"},
      {u"1234567890123456", u"Too much characters filled in. Code should exists of max. 15 characters.", u"Info"},
      {u"12-34", u"Input not valid, only numbers between 0 and 9 and characters between aA and zZ.", u"Warning"},
      {u"\u00E9", u"Input not valid, only numbers between 0 and 9 and characters between aA and zZ.", u"Warning"},
  };
  for (const auto& c : cases) {
    SetCode(c.code);
    Click(IDC_WT_WRITE_CODE);
    ASSERT_FALSE(host.MessageBoxes().empty());
    EXPECT_EQ(host.MessageBoxes().back().text, c.text);
    EXPECT_EQ(host.MessageBoxes().back().caption, c.caption);
    EXPECT_FALSE(dlg->ProcedureRunning());
  }
  EXPECT_TRUE(serial.Written().empty());
}

TEST_F(WriteTag, PastedTextLosesItsLastCharacterOnce) {
  Open();
  terminal.RunCommand("text 135:1063 " + std::string(20, '7'));
  ASSERT_EQ(host.MessageBoxes().size(), 1u);
  EXPECT_EQ(LastBox(), u"Code may not exist of more than 15 characters.");
  EXPECT_EQ(host.MessageBoxes().back().caption, u"Information");
  EXPECT_EQ(dlg->m_comboCode.GetWindowText(), std::u16string(19, u'7'));
  Click(IDC_WT_WRITE_CODE);
  EXPECT_EQ(LastBox(), u"Too much characters filled in. Code should exists of max. 15 characters.");
}

TEST_F(WriteTag, HelpEnterAndClose) {
  Open();
  Click(IDC_WT_HELP);
  EXPECT_EQ(LastBox(),
            u"Blocks:\r\nSelect number of blocks and push 'Write' button.\r\nCode:\r\nEdit the "
            u"transponder code and push the 'Write' button.\r\nWhen code is accepted OK box "
            u"appears. \r\nCode should exist of max. 15 characters.");
  EXPECT_EQ(host.MessageBoxes().back().caption, u"Help");
  dlg->DispatchCommand(fw::IDOK, fw::Notify::Clicked);  // Enter
  EXPECT_TRUE(dlg->IsWindow());
  Click(fw::IDCANCEL);  // idle: closes at once
  EXPECT_FALSE(dlg->IsWindow());
}

TEST_F(WriteTag, CodeRunSendsEachBlockAndWaitsForItsAnswer) {
  Open();
  SetCode(u"12345");
  std::string fileAtQuestion;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
    fileAtQuestion = File();
    return fw::IDYES;
  });
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  EXPECT_EQ(serial.WriteCalls(), (std::vector<std::string>{"w20E91443A2\r"}));
  EXPECT_FALSE(W()->Control(IDC_WT_CODE)->enabled);
  dlg->OnReaderAnswer("w20E91443A2OK");
  UntilWaiting();
  EXPECT_EQ(serial.WriteCalls(), (std::vector<std::string>{"w20E91443A2\r", "w20EBA0EDBB\r"}));
  EXPECT_TRUE(host.MessageBoxes().empty());
  dlg->OnReaderAnswer("wOK");
  Ticks(5);
  ASSERT_EQ(host.MessageBoxes().size(), 1u);
  EXPECT_EQ(LastBox(), kCodeSuccess);
  EXPECT_EQ(fileAtQuestion, "12345\r");  // appended before the question
  // Yes: ready for the next one.
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
  EXPECT_FALSE(dlg->ProcedureRunning());
  EXPECT_TRUE(W()->Control(IDC_WT_CODE)->enabled);
  EXPECT_EQ(host.FocusControl(), IDC_WT_CODE);
  EXPECT_EQ(dlg->m_comboCode.GetWindowText(), u"");
  EXPECT_EQ(List().front(), u"12345");
}

TEST_F(WriteTag, NoAfterSuccessClosesOnlyInCodeMode) {
  for (bool blocks : {false, true}) {
    Open();
    SetCode(u"AB");
    host.QueueAnswer(fw::IDNO);
    Click(blocks ? IDC_WT_WRITE_BLOCKS : IDC_WT_WRITE_CODE);
    UntilWaiting();
    dlg->OnReaderAnswer("wOK");
    Ticks(5);
    EXPECT_EQ(dlg->IsWindow(), blocks);
    if (blocks) {
      EXPECT_EQ(LastBox(), kBlocksSuccess);
    }
  }
}

TEST_F(WriteTag, BlocksSettingCommand) {
  Open();
  Click(IDC_WT_BLOCKS5);
  EXPECT_EQ(dlg->m_radioBlocks3.GetCheck(), fw::BST_UNCHECKED);
  Click(IDC_WT_WRITE_BLOCKS);
  UntilWaiting();
  EXPECT_EQ(serial.WriteCalls(), (std::vector<std::string>{"w2000210510\r"}));
  EXPECT_TRUE(dlg->m_bBlocksMode);
}

TEST_F(WriteTag, BlocksSettingWithoutARadioFails) {
  Open();
  dlg->m_radioBlocks3.SetCheck(fw::BST_UNCHECKED);
  host.QueueAnswer(fw::IDNO);
  Click(IDC_WT_WRITE_BLOCKS);
  Ticks(5);
  EXPECT_TRUE(serial.Written().empty());
  EXPECT_EQ(LastBox(), u"Code not successfuly transfered to transponder. \r\nTry again.");
  EXPECT_EQ(host.MessageBoxes().back().caption, u"Error");
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
}

TEST_F(WriteTag, RetryOfAnEmptyCodeSendsNothing) {
  // A failed blocks setting, then Yes: the run starts again with an empty code box.
  Open();
  dlg->m_radioBlocks3.SetCheck(fw::BST_UNCHECKED);
  int boxes = 0;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) { return ++boxes == 1 ? fw::IDYES : fw::IDNO; });
  Click(IDC_WT_WRITE_BLOCKS);
  Ticks(10);
  EXPECT_EQ(boxes, 1);
  // The retry failed without a word from the reader: it asks again a second after it began,
  // not at once, so that Yes answered over and over cannot make a storm of boxes.
  host.Advance(CWriteTagDialog::kSilentRetryPauseMs - 20);
  EXPECT_EQ(boxes, 1);
  host.Advance(20);
  EXPECT_EQ(boxes, 2);
  EXPECT_TRUE(serial.Written().empty());
}

// The main window lets the reader go: a run under way ends with the failure question (No
// ends it), and the dialog's port is gone, so a new run fails instead of writing.
TEST_F(WriteTag, ALostReaderEndsTheRunWithItsFailure) {
  Open();
  SetCode(u"AB");
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  host.QueueAnswer(fw::IDNO);
  dlg->OnReaderLost();
  Ticks(3);
  EXPECT_EQ(LastBox(), u"Code not successfuly transfered to transponder. \r\nTry again.");
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
  EXPECT_FALSE(dlg->ProcedureRunning());
  EXPECT_TRUE(W()->Control(IDC_WT_CODE)->enabled);

  serial.ClearWritten();
  host.ClearMessageBoxes();
  host.QueueAnswer(fw::IDNO);
  SetCode(u"AB");
  Click(IDC_WT_WRITE_CODE);
  Ticks(5);
  EXPECT_TRUE(serial.Written().empty());
  EXPECT_EQ(LastBox(), u"Code not successfuly transfered to transponder. \r\nTry again.");

  // Idle, nothing happens.
  Open();
  host.ClearMessageBoxes();
  dlg->OnReaderLost();
  Ticks(5);
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
  EXPECT_TRUE(host.MessageBoxes().empty());
}

TEST(WriteStates, Transitions) {
  using writetag::WriteState;
  const struct {
    WriteState state;
    const char* line;
    WriteState after;
  } answers[] = {
      {WriteState::Wait, "w2000210510OK", WriteState::AnswerOk},
      {WriteState::Wait, "wNO", WriteState::Failed},
      {WriteState::Start, "wOK", WriteState::Start},
      {WriteState::SendBlock, "wNO", WriteState::SendBlock},
      {WriteState::Start, "w", WriteState::Failed},
      {WriteState::Wait, "wok", WriteState::Failed},
  };
  for (const auto& a : answers) EXPECT_EQ(writetag::AfterAnswer(a.state, a.line), a.after) << a.line;
  for (WriteState s : {WriteState::Check, WriteState::Encode, WriteState::SendBlock, WriteState::SendBlocksSetting,
                       WriteState::Wait, WriteState::AnswerOk, WriteState::Done})
    EXPECT_EQ(writetag::AfterReaderLost(s), WriteState::Failed);
  for (WriteState s : {WriteState::Start, WriteState::Failed, WriteState::Finish, WriteState::ReadyForNext})
    EXPECT_EQ(writetag::AfterReaderLost(s), s);
  EXPECT_EQ(writetag::RetryOf(true), WriteState::SendBlocksSetting);
  EXPECT_EQ(writetag::RetryOf(false), WriteState::Check);
}

// Regression: Yes after a refused block count went on as a code run: it sent the code's
// frames and then reported the block count as written; with an empty code box it failed
// again at once. A retry repeats the block count, whatever the code box holds.
TEST_F(WriteTag, BlocksRetryRepeatsTheBlockCount) {
  for (const char16_t* code : {u"12345", u""}) {
    Open();
    serial.ClearWritten();
    SetCode(code);
    Click(IDC_WT_BLOCKS5);
    Click(IDC_WT_WRITE_BLOCKS);
    UntilWaiting();
    dlg->OnReaderAnswer("w2000210510NO");
    Ticks(1);  // the failure question, Yes
    UntilWaiting();
    const std::vector<std::string> twice{"w2000210510\r", "w2000210510\r"};
    EXPECT_EQ(serial.WriteCalls(), twice);
    EXPECT_TRUE(W()->Control(IDC_WT_CODE)->enabled);
    host.QueueAnswer(fw::IDNO);
    dlg->OnReaderAnswer("w2000210510OK");
    Ticks(5);
    EXPECT_EQ(LastBox(), kBlocksSuccess);
    EXPECT_EQ(serial.WriteCalls(), twice);
    EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
  }
}

// Yes to the failure question puts the focus into the code box: at once after a blocks run,
// and after a code run (which keeps the box disabled) as soon as the box is enabled again.
TEST_F(WriteTag, YesToTheFailureQuestionFocusesTheCodeBox) {
  for (int write : {IDC_WT_WRITE_BLOCKS, IDC_WT_WRITE_CODE}) {
    Open();
    SetCode(u"AB");
    terminal.RunCommand("click 135:" + std::to_string(write));
    ASSERT_EQ(host.FocusControl(), write);
    UntilWaiting();
    dlg->OnReaderAnswer("wNO");
    Ticks(1);  // Yes: the same run again
    UntilWaiting();
    EXPECT_EQ(host.FocusControl(), write == IDC_WT_WRITE_BLOCKS ? IDC_WT_CODE : write);
    host.QueueAnswer(fw::IDNO);  // the retry fails too, and No ends the run
    dlg->OnReaderAnswer("wNO");
    Ticks(5);
    EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
    EXPECT_TRUE(W()->Control(IDC_WT_CODE)->enabled);
    EXPECT_EQ(host.FocusWindow(), W());
    EXPECT_EQ(host.FocusControl(), IDC_WT_CODE) << write;
  }
}

TEST_F(WriteTag, AnswersOutsideTheWaitAndForeignLines) {
  Open();
  dlg->OnReaderAnswer("wOK");
  dlg->OnReaderAnswer("wNO");
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);
  dlg->OnReaderAnswer("w");  // neither: failed, even when idle
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Failed);
  // The blocks Write is refused then; a code Write starts with the failure message.
  Click(IDC_WT_WRITE_BLOCKS);
  EXPECT_EQ(LastBox(), u"System in wrong state, try it on later.");
  SetCode(u"AB");
  host.QueueAnswer(fw::IDNO);
  Click(IDC_WT_WRITE_CODE);
  Ticks(3);
  EXPECT_EQ(LastBox(), u"Code not successfuly transfered to transponder. \r\nTry again.");
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Start);

  Open();
  SetCode(u"AB");
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  dlg->OnReaderAnswer("wNO");
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Failed);
}

TEST_F(WriteTag, NoAnswerFailsAfterTwoThousandTicks) {
  Open();
  SetCode(u"AB");
  host.QueueAnswer(fw::IDNO);
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  Ticks(2000);
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Wait);
  Ticks(1);
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Failed);
  EXPECT_TRUE(host.MessageBoxes().empty());
  Ticks(1);
  EXPECT_EQ(LastBox(), u"Code not successfuly transfered to transponder. \r\nTry again.");
}

TEST_F(WriteTag, RunsAreNotRestartedOrSwitched) {
  Open();
  SetCode(u"AB");
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  Click(IDC_WT_WRITE_CODE);
  EXPECT_EQ(LastBox(), u"System in wrong state, try it on later.");
  Click(IDC_WT_WRITE_BLOCKS);
  EXPECT_FALSE(dlg->m_bBlocksMode);
  EXPECT_EQ(dlg->m_nState, CWriteTagDialog::State::Wait);
}

TEST_F(WriteTag, TicksDuringABoxDoNotStep) {
  Open();
  SetCode(u"AB");
  CWriteTagDialog::State stateDuringBox = CWriteTagDialog::State::Start;
  host.SetMessageBoxHook([&](const fw::MessageBoxRecord&) {
    host.Advance(50);  // the box keeps dispatching ticks
    stateDuringBox = dlg->m_nState;
    return fw::IDYES;
  });
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  dlg->OnReaderAnswer("wOK");
  Ticks(5);
  EXPECT_EQ(stateDuringBox, CWriteTagDialog::State::Done);
}

TEST_F(WriteTag, CloseDuringARunAsks) {
  Open();
  SetCode(u"AB");
  Click(IDC_WT_WRITE_CODE);
  UntilWaiting();
  host.QueueAnswer(fw::IDNO);
  Click(fw::IDCANCEL);
  EXPECT_TRUE(dlg->IsWindow());
  EXPECT_EQ(LastBox(), u"Edit code process busy, are you sure you want to cancel the procedure,\r\n");
  Click(fw::IDCANCEL);  // Yes by default
  EXPECT_FALSE(dlg->IsWindow());
  EXPECT_TRUE(host.Timers().empty());
}

TEST_F(WriteTag, WithoutAConnectionTheWriteFails) {
  handle = 0;
  Open();
  SetCode(u"AB");
  host.QueueAnswer(fw::IDNO);
  Click(IDC_WT_WRITE_CODE);
  Ticks(5);
  EXPECT_EQ(LastBox(), u"Code not successfuly transfered to transponder. \r\nTry again.");
}

TEST_F(WriteTag, StatusLineShowsTheLastTagForThreeSeconds) {
  Open();
  dlg->ShowTagCode(u"123");
  host.Advance(2000);
  dlg->ShowTagCode(u"456");
  host.Advance(2999);
  EXPECT_EQ(dlg->m_staticStatus.GetWindowText(), u"456");
  host.Advance(1);
  EXPECT_EQ(dlg->m_staticStatus.GetWindowText(), u"");
}

TEST(WriteTagInMainWindow, TagsAreShownAndClosedDialogsForgotten) {
  testing_rig::Rig r;
  r.Start();
  r.Click(IDC_WRITE_TAG);
  CWriteTagDialog* wt = r.dlg->WriteTagDialog();
  ASSERT_NE(wt, nullptr);
  r.Line("08123Z");
  EXPECT_EQ(wt->m_staticStatus.GetWindowText(), u"123");
  wt->m_comboCode.SetWindowText(u"AB");
  wt->DispatchCommand(IDC_WT_WRITE_CODE, fw::Notify::Clicked);
  r.host.Advance(5);
  r.serial.ClearWritten();
  r.host.QueueAnswer(fw::IDNO);
  r.Line("wOK");  // forwarded: the run goes on to the question
  r.host.Advance(5);
  EXPECT_FALSE(wt->IsWindow());  // code mode: No closes
  r.Line("wOK");                 // nobody to forward to now
  r.Click(IDC_WRITE_TAG);        // a fresh dialog replaces the closed one safely
  EXPECT_NE(r.dlg->WriteTagDialog(), nullptr);
  EXPECT_TRUE(r.dlg->WriteTagDialog()->IsWindow());
}

TEST(WriteTagInMainWindow, CodeListFailureIsOneLineOfTheLog) {
  testing_rig::Rig r;
  fs::create_directory(r.dir.Path() / "TrCode.txt");
  r.Start();
  r.Click(IDC_WRITE_TAG);
  ASSERT_NE(r.dlg->WriteTagDialog(), nullptr);
  const std::string line = "TrCode.txt not read: not a regular file\r\n";
  const std::string log = r.Log();
  ASSERT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line));
}

}  // namespace
