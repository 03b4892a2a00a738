// The dialog framework on the headless host: timers on the virtual clock, the command
// interpreter, message boxes, and the lifetime rules of windows.

#include "framework/headless/HeadlessHost.h"
#include "framework/headless/HeadlessTerminal.h"
#include "tests/fakes/RecordingHost.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "framework/Controls.h"
#include "resources/Templates.h"

namespace {

using namespace fw;

// A dialog on the Write Tag template (it has push buttons, radio buttons, a combo box and
// a static) that records what reaches it.
class Probe : public CDialog {
 public:
  explicit Probe(IHost& host, int tpl = 135) : CDialog(host, *res::FindDialogTemplate(tpl)) {
    MapClicked(1068, [this] { events.push_back("click 1068"); });
    MapClicked(1070, [this] { events.push_back("click 1070"); });
    MapCommand(1063, Notify::EditChange, [this] { events.push_back("edit 1063"); });
  }
  std::vector<std::string> events;
  std::vector<uint64_t> ticks;
  unsigned sleepInTick = 0;
  bool destroyInTick = false;

 protected:
  void OnTimer(unsigned id) override {
    ticks.push_back(Host().NowMs() * 10 + id);
    if (sleepInTick) Sleep(sleepInTick);
    if (destroyInTick) DestroyWindow();
  }
};

struct Headless : ::testing::Test {
  RecordingHost host;
  std::ostringstream out;
  HeadlessTerminal terminal{host, out};
};

TEST_F(Headless, TimersTickAtTheirPeriod) {
  Probe p(host);
  ASSERT_TRUE(p.Create(nullptr));
  p.SetTimer(1, 50);
  p.SetTimer(2, 20);
  host.Advance(100);
  // Time * 10 + id, in order of time.
  EXPECT_EQ(p.ticks, (std::vector<uint64_t>{202, 402, 501, 602, 802, 1001, 1002}));
}

TEST_F(Headless, TicksMissedWhileAHandlerBlocksAreMerged) {
  Probe p(host);
  p.Create(nullptr);
  p.SetTimer(1, 50);
  p.sleepInTick = 300;
  host.Advance(50);  // fires at 50, the handler blocks until 350
  p.sleepInTick = 0;
  host.Advance(60);  // one merged tick at 350, then 400
  EXPECT_EQ(p.ticks, (std::vector<uint64_t>{501, 3501, 4001}));
}

TEST_F(Headless, KillAndRestartTimers) {
  Probe p(host);
  p.Create(nullptr);
  p.SetTimer(1, 50);
  host.Advance(30);
  p.SetTimer(1, 50);  // restarts: next tick at 80
  host.Advance(60);
  EXPECT_EQ(p.ticks, (std::vector<uint64_t>{801}));
  EXPECT_TRUE(p.KillTimer(1));
  EXPECT_FALSE(p.KillTimer(1));
  host.Advance(500);
  EXPECT_EQ(p.ticks.size(), 1u);
}

TEST_F(Headless, WindowDestroyedInItsOwnTickIsSafe) {
  Probe p(host);
  p.Create(nullptr);
  p.SetTimer(1, 10);
  p.SetTimer(2, 10);
  p.destroyInTick = true;
  host.Advance(100);
  EXPECT_FALSE(p.IsWindow());
  EXPECT_EQ(p.ticks.size(), 1u);
  EXPECT_TRUE(host.Timers().empty());
  EXPECT_EQ(host.FindWindow(135), nullptr);
}

TEST_F(Headless, CommandsActAsAUser) {
  Probe p(host);
  p.Create(nullptr);
  p.ShowWindow(true);
  terminal.RunCommand("click 135:1068");
  terminal.RunCommand("click 135:1070");
  terminal.RunCommand("text 135:1063 12 345");
  EXPECT_EQ(p.events, (std::vector<std::string>{"click 1068", "click 1070", "edit 1063"}));
  EXPECT_EQ(p.GetDlgItemText(1063), u"12 345");
  EXPECT_EQ(out.str(), "");
}

TEST_F(Headless, CommandErrorsChangeNothing) {
  Probe p(host);
  p.Create(nullptr);
  p.ShowWindow(true);
  HeadlessWindow* w = host.FindWindow(135);
  w->Enable(1068, false);
  w->Show(1070, false);
  const char* bad[] = {
      "click 135:1068",   // disabled
      "click 135:1070",   // hidden
      "click 135:9999",   // no such control
      "click 133:2",      // no such dialog
      "click 135",        // no control id
      "click 135:1076",   // a static is no button
      "text 135:1068 x",  // a button takes no text
      "check 135:1070 2",
      "key F24 down",  // no key handler
      "frobnicate",       "answer maybe",
  };
  for (const char* command : bad) {
    out.str("");
    terminal.RunCommand(command);
    const std::string printed = out.str();
    EXPECT_EQ(printed.rfind("error: ", 0), 0u) << command;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << command;
  }
  EXPECT_TRUE(p.events.empty());
  EXPECT_EQ(host.FocusWindow(), nullptr);  // a refused click moves no focus
  // A hidden dialog takes no commands either.
  p.ShowWindow(false);
  w->Enable(1068, true);
  out.str("");
  terminal.RunCommand("click 135:1068");
  EXPECT_EQ(out.str().rfind("error: ", 0), 0u);
  EXPECT_TRUE(p.events.empty());
}

TEST_F(Headless, FocusGoesWhereItIsGivenOrClicked) {
  Probe p(host);
  p.Create(nullptr);
  p.ShowWindow(true);
  HeadlessWindow* w = host.FindWindow(135);
  CComboBox code;
  code.Bind(p, 1063);
  CButton three;
  three.Bind(p, 1070);
  EXPECT_EQ(host.FocusWindow(), nullptr);
  EXPECT_EQ(host.FocusControl(), kStaticId);

  code.SetFocus();
  EXPECT_EQ(host.FocusWindow(), w);
  EXPECT_EQ(host.FocusControl(), 1063);
  terminal.RunCommand("click 135:1068");
  EXPECT_EQ(host.FocusControl(), 1068);

  // A disabled control takes the focus once it is enabled again...
  code.EnableWindow(false);
  code.SetFocus();
  EXPECT_EQ(host.FocusControl(), 1068);
  code.EnableWindow(true);
  EXPECT_EQ(host.FocusControl(), 1063);
  // ... unless another control was given the focus meanwhile.
  code.EnableWindow(false);
  code.SetFocus();
  three.SetFocus();
  code.EnableWindow(true);
  EXPECT_EQ(host.FocusControl(), 1070);

  // Disabling the control that has the focus takes it away, and enabling it again does not
  // give it back; the end of the window takes it too.
  three.EnableWindow(false);
  three.EnableWindow(true);
  EXPECT_EQ(host.FocusWindow(), nullptr);
  EXPECT_EQ(host.FocusControl(), kStaticId);
  code.SetFocus();
  p.DestroyWindow();
  EXPECT_EQ(host.FocusWindow(), nullptr);
  EXPECT_EQ(host.FocusControl(), kStaticId);
}

class Checker : public CDialog {
 public:
  explicit Checker(IHost& host) : CDialog(host, res::MainTemplate()) {
    MapClicked(1059, [this] { clicks.push_back(IsDlgButtonChecked(1059)); });
    MapCommand(1043, Notify::Changed, [this] { changes.push_back(GetDlgItemText(1043)); });
  }
  std::vector<int> clicks;
  std::vector<WString> changes;

 protected:
  bool OnInitDialog() override { return true; }
};

TEST_F(Headless, CheckBoxesAndEdits) {
  Checker c(host);
  c.Create(nullptr);
  c.ShowWindow(true);
  terminal.RunCommand("click 102:1059");
  terminal.RunCommand("check 102:1059 1");  // already ticked: no click
  terminal.RunCommand("check 102:1059 0");
  EXPECT_EQ(c.clicks, (std::vector<int>{1, 0}));
  terminal.RunCommand("text 102:1043 41:42");
  // The program setting the text is a change too.
  c.SetDlgItemText(1043, u"0D");
  EXPECT_EQ(c.changes, (std::vector<WString>{u"41:42", u"0D"}));
  out.str("");
  terminal.RunCommand("text 102:1003 x");  // the read-only log
  EXPECT_EQ(out.str().rfind("error: ", 0), 0u);
}

TEST(BoundedText, KeepsTheNewestPartFromTheStartOfALine) {
  // Fits: nothing goes.
  EXPECT_EQ(BoundedStart(u"ab\r\ncd", 6), 0u);
  EXPECT_EQ(BoundedStart(u"", 0), 0u);
  // Two characters too many: they go with the rest of their line.
  EXPECT_EQ(BoundedText(u"ab\r\ncd\r\nef", 8), u"cd\r\nef");
  // The surplus ends right at a line start: the line end after it is the next one.
  EXPECT_EQ(BoundedText(u"ab\r\ncd\r\nef", 6), u"ef");
  // No line end after the surplus: the text is cut inside its line.
  EXPECT_EQ(BoundedText(u"ab\r\ncdefgh", 3), u"fgh");
  EXPECT_EQ(BoundedText(u"abcdefgh", 3), u"fgh");
  // Only the last line end follows the surplus: the cut falls inside the "\r\n".
  EXPECT_EQ(BoundedText(u"abc\r\n", 1), u"\n");
  // A line end that is the very last character would leave nothing: cut inside the line.
  EXPECT_EQ(BoundedText(u"abcdef\r\n", 4), u"ef\r\n");
  // Nothing at all may be kept.
  EXPECT_EQ(BoundedText(u"abc", 0), u"");
}

TEST_F(Headless, AppendingToAnEditBoundsItLikeSettingTheWholeText) {
  Checker c(host);
  c.Create(nullptr);
  IWindow& w = *c.Window();
  // Pieces with and without line ends, so that the bound cuts at every kind of place.
  const WString pieces[] = {u"scanning now...\r\n",
                            u"Tag found! (999000012345678) \r\n",
                            u"x",
                            u"\r",
                            u"\n",
                            u"Firmwareversion: ",
                            u"LF2.01",
                            u"\r\n\r\n"};
  constexpr size_t kBound = 40;
  WString whole;
  for (int i = 0; i < 200; ++i) {
    const WString& piece = pieces[(i * 7 + i / 3) % std::size(pieces)];
    w.AppendText(1043, piece, kBound);
    whole = BoundedText(whole + piece, kBound);
    ASSERT_EQ(c.GetDlgItemText(1043), whole) << "after append " << i;
    ASSERT_LE(whole.size(), kBound);
  }
  // Every append is a change of the edit, as SetText is.
  EXPECT_EQ(c.changes.size(), 200u);
  EXPECT_EQ(c.changes.back(), whole);
}

TEST_F(Headless, AppendingToAControlThatIsNoEditSetsItsText) {
  Checker c(host);
  c.Create(nullptr);
  c.Window()->AppendText(1000, u" now", 100);  // the Connect button
  EXPECT_EQ(c.GetDlgItemText(1000), u"Connect now");
  c.Window()->AppendText(1000, u"!", 4);
  EXPECT_EQ(c.GetDlgItemText(1000), u"now!");
  c.Window()->AppendText(4242, u"x", 4);  // no such control
  EXPECT_EQ(c.GetDlgItemText(4242), u"");
}

TEST_F(Headless, MessageBoxesAreAnsweredAndPrinted) {
  Probe p(host);
  p.Create(nullptr);
  EXPECT_EQ(p.MessageBox(u"Sure?\r\nReally", u"Warning", MB_YESNO), IDYES);
  terminal.RunCommand("answer no");
  // An OK box does not use up the queued answer.
  EXPECT_EQ(p.MessageBox(u"Done", u"Info", MB_OK), IDOK);
  EXPECT_EQ(p.MessageBox(u"Again?", u"Warning", MB_YESNO), IDNO);
  EXPECT_EQ(out.str(), "[Warning] Sure?\\r\\nReally -> Yes\n[Info] Done -> OK\n[Warning] Again? -> No\n");
  ASSERT_EQ(host.MessageBoxes().size(), 3u);
  EXPECT_EQ(host.MessageBoxes()[2].templateId, 135);
}

// Regression: a procedure failing at once asked "try again?" thousands of times a second,
// each answered Yes by default, for as long as the terminal ran.
TEST_F(Headless, DefaultYesHoldsForALimitedRunOfRetryQuestions) {
  Probe p(host);
  p.Create(nullptr);
  host.SetDefaultRetryLimit(3);
  auto ask = [&](const char16_t* text) { return p.MessageBox(text, u"ERROR", MB_YESNO); };
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(ask(u"Commando not send correct, try again?"), IDYES);
    EXPECT_EQ(ask(u"No answer, try again?"), IDYES);
    EXPECT_EQ(ask(u"Code not successfuly transfered to transponder. \r\nTry again."), IDYES);
    EXPECT_EQ(ask(u"Commando not send correct, try again?"), IDNO) << round;
  }
  // Another box of the dialog ends the run; an explicit answer is not limited.
  for (int i = 0; i < 3; ++i) ask(u"try again?");
  EXPECT_EQ(ask(u"Download ok, close?"), IDYES);
  EXPECT_EQ(ask(u"try again?"), IDYES);
  for (int i = 0; i < 5; ++i) {
    terminal.RunCommand("answer yes");
    EXPECT_EQ(ask(u"try again?"), IDYES) << i;
  }
}

// Regression: the host kept every sleep and every message box it ever had, so a scanner
// left running for days grew by a few bytes with each read. Now only watchers see them, and
// only while they watch; the terminal is one.
TEST_F(Headless, WatchersSeeBoxesSleepsAndChoosersWhileTheyWatch) {
  struct Counter : IHeadlessWatcher {
    std::vector<std::u16string> boxes, choosers;
    std::vector<unsigned> sleeps;
    void OnMessageBox(const MessageBoxRecord& box) override { boxes.push_back(box.text); }
    void OnSleep(unsigned ms) override { sleeps.push_back(ms); }
    void OnFileChooser(const WString& caption) override { choosers.push_back(caption); }
  } counter;
  Probe p(host);
  p.Create(nullptr);
  host.Sleep(1);
  host.AddWatcher(&counter);
  host.Sleep(2);
  p.MessageBox(u"seen", u"Info", MB_OK);
  p.Window()->AskSaveFileName(u"Save log", u"log.txt");
  host.RemoveWatcher(&counter);
  host.Sleep(3);
  p.MessageBox(u"unseen", u"Info", MB_OK);
  p.Window()->AskSaveFileName(u"Later", u"log.txt");
  EXPECT_EQ(counter.sleeps, std::vector<unsigned>{2});
  EXPECT_EQ(counter.boxes, std::vector<std::u16string>{u"seen"});
  EXPECT_EQ(counter.choosers, std::vector<std::u16string>{u"Save log"});
  EXPECT_EQ(host.SleptMs(), 6u);
  // The terminal watched throughout.
  EXPECT_NE(out.str().find("[Info] seen -> OK"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("[Info] unseen -> OK"), std::string::npos) << out.str();
}

TEST_F(Headless, TimersTickWhileABoxIsOpen) {
  Probe p(host);
  p.Create(nullptr);
  p.SetTimer(1, 10);
  host.SetMessageBoxHook([&](const MessageBoxRecord&) {
    host.Advance(35);
    return IDNO;
  });
  EXPECT_EQ(p.MessageBox(u"?", u"Q", MB_YESNO), IDNO);
  EXPECT_EQ(p.ticks.size(), 3u);
}

TEST_F(Headless, DestroyedWhileItsBoxIsOpen) {
  Probe p(host);
  p.Create(nullptr);
  host.SetMessageBoxHook([&](const MessageBoxRecord&) {
    p.DestroyWindow();
    EXPECT_TRUE(p.IsBusy());
    return IDOK;
  });
  p.MessageBox(u"x", u"y", MB_OK);
  EXPECT_FALSE(p.IsWindow());
  EXPECT_FALSE(p.IsBusy());
}

class Modal : public CDialog {
 public:
  explicit Modal(IHost& host, bool destroyInInit) : CDialog(host, res::DownloadTemplate()), destroy_(destroyInInit) {}

 protected:
  bool OnInitDialog() override {
    if (destroy_) DestroyWindow();
    return true;
  }

 private:
  bool destroy_;
};

TEST_F(Headless, ModalRunEndsByQuitOrDestruction) {
  HeadlessHost real(HeadlessHost::ClockKind::Real);
  Modal gone(real, true);
  EXPECT_EQ(gone.DoModal(), -1);

  Modal m(real, false);
  std::ostringstream printed;
  HeadlessTerminal(real, printed).RunCommand("quit");
  m.DoModal();
  EXPECT_FALSE(m.IsWindow());
}

}  // namespace

namespace {

TEST(HeadlessEscapes, ControlCharactersNeverReachTheTerminal) {
  using fw::WString;
  const struct {
    WString text;
    const char* log;
    const char* line;
  } cases[] = {
      {u"Tag found! (12) \r\n", "Tag found! (12) \r\n", "Tag found! (12) \\r\\n"},
      {WString(u"X\x1B[2J") + u"\x07", "X\\x1B[2J\\x07", "X\\x1B[2J\\x07"},
      {WString(1, u'\0') + u"\x7F\t", "\\x00\\x7F\\x09", "\\x00\\x7F\\x09"},
      {u"\u00E9\U0001F600", "\xC3\xA9\xF0\x9F\x98\x80", "\xC3\xA9\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fw::EscapeControls(c.text), c.log);
    EXPECT_EQ(fw::EscapeForLine(c.text), c.line);
  }
}

TEST_F(Headless, BoxLineStartsOnALineOfItsOwnAndHelpListsTheControls) {
  // A box after a log text without a line break used to be glued onto it.
  Checker c(host);
  c.Create(nullptr);
  c.ShowWindow(true);
  terminal.PrintLog(u"scanning now...");
  c.MessageBox(u"Done", u"Info", MB_OK);
  terminal.PrintLog(u"Connected...\r\n");
  c.MessageBox(u"Again", u"Info", MB_OK);
  EXPECT_EQ(out.str(), "scanning now...\n[Info] Done -> OK\nConnected...\r\n[Info] Again -> OK\n");
  out.str({});
  terminal.RunCommand("help");
  EXPECT_NE(out.str().find("102 \"Pelmor\"\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("  102:1011 button \"Get version\"\n"), std::string::npos);
  EXPECT_NE(out.str().find("  102:1043 edit \"\"\n"), std::string::npos);
  EXPECT_EQ(out.str().find("error"), std::string::npos);
}

TEST(HeadlessEscapes, LogEchoIsEscaped) {
  fw::HeadlessHost host;
  std::ostringstream out;
  fw::HeadlessTerminal terminal(host, out);
  terminal.PrintLog(u"Reset Reader:\r\nX\x1B]0;owned\x07");
  EXPECT_EQ(out.str(), "Reset Reader:\r\nX\\x1B]0;owned\\x07");
}

}  // namespace
