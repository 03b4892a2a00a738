// What the controls of a Qt window tell their dialog, and what the dialog can do with them.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include "framework/Controls.h"
#include "tests/gui/GuiTest.h"

namespace {

using fw::Notify;
using guitest::GuiTest;
using guitest::RecordingDialog;
using Command = RecordingDialog::Command;

QPoint IndicatorOf(const QWidget* w) { return QPoint(6, w->height() / 2); }

TEST_F(GuiTest, CheckBoxClickTogglesBeforeTheDialogHearsOfIt) {
  RecordingDialog d(host_, 102);
  std::vector<int> seen;
  d.Record(1041, Notify::Clicked, [&] { seen.push_back(d.IsDlgButtonChecked(1041)); });
  Open(d);
  QWidget* box = d.Qt().Control(1041);

  QTest::mouseClick(box, Qt::LeftButton, {}, IndicatorOf(box));
  QTest::mouseClick(box, Qt::LeftButton, {}, IndicatorOf(box));

  EXPECT_EQ(seen, (std::vector<int>{fw::BST_CHECKED, fw::BST_UNCHECKED}));
  EXPECT_EQ(d.commands, (std::vector<Command>{{1041, Notify::Clicked}, {1041, Notify::Clicked}}));
}

TEST_F(GuiTest, SetCheckSendsNothing) {
  RecordingDialog d(host_, 102);
  d.RecordAll(1041);
  Open(d);
  d.CheckDlgButton(1041, fw::BST_CHECKED);
  EXPECT_EQ(d.IsDlgButtonChecked(1041), fw::BST_CHECKED);
  EXPECT_TRUE(qobject_cast<QCheckBox*>(d.Qt().Control(1041))->isChecked());
  d.CheckDlgButton(1041, fw::BST_UNCHECKED);
  EXPECT_EQ(d.IsDlgButtonChecked(1041), fw::BST_UNCHECKED);
  EXPECT_TRUE(d.commands.empty());
}

TEST_F(GuiTest, RadioButtonClickChecksItAndLeavesTheOthersToTheDialog) {
  RecordingDialog d(host_, 135);
  d.Record(1071, Notify::Clicked);
  Open(d);
  d.CheckDlgButton(1070, fw::BST_CHECKED);
  QWidget* five = d.Qt().Control(1071);

  QTest::mouseClick(five, Qt::LeftButton, {}, IndicatorOf(five));
  EXPECT_EQ(d.IsDlgButtonChecked(1071), fw::BST_CHECKED);
  EXPECT_EQ(d.IsDlgButtonChecked(1070), fw::BST_CHECKED) << "the group is the handlers' business";

  // A second click on a checked radio button keeps it checked.
  QTest::mouseClick(five, Qt::LeftButton, {}, IndicatorOf(five));
  EXPECT_EQ(d.IsDlgButtonChecked(1071), fw::BST_CHECKED);
  EXPECT_EQ(d.commands, (std::vector<Command>{{1071, Notify::Clicked}, {1071, Notify::Clicked}}));
}

TEST_F(GuiTest, PushButtonClicksReachTheDialogUnlessDisabled) {
  RecordingDialog d(host_, 102);
  for (int id : {1000, 1011, 1048}) d.Record(id, Notify::Clicked);
  Open(d);
  QTest::mouseClick(d.Qt().Control(1000), Qt::LeftButton);
  QTest::mouseClick(d.Qt().Control(1011), Qt::LeftButton);  // disabled at start
  QTest::mouseClick(d.Qt().Control(1048), Qt::LeftButton);
  EXPECT_EQ(d.commands, (std::vector<Command>{{1000, Notify::Clicked}, {1048, Notify::Clicked}}));

  d.commands.clear();
  d.Window()->Enable(1011, true);
  EXPECT_TRUE(d.Window()->IsEnabled(1011));
  QTest::mouseClick(d.Qt().Control(1011), Qt::LeftButton);
  EXPECT_EQ(d.commands, (std::vector<Command>{{1011, Notify::Clicked}}));
}

TEST_F(GuiTest, EditSendsOneChangedPerChangeFromTheUserOrFromSetText) {
  RecordingDialog d(host_, 102);
  std::vector<std::u16string> seen;
  d.Record(1043, Notify::Changed, [&] { seen.push_back(d.GetDlgItemText(1043)); });
  Open(d);

  d.SetDlgItemText(1043, u"41");
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"41"}));
  // The same text again still counts as a change, as on the handheld.
  d.SetDlgItemText(1043, u"41");
  EXPECT_EQ(seen.size(), 2u);

  auto* edit = qobject_cast<QLineEdit*>(d.Qt().Control(1043));
  edit->setFocus();
  QTest::keyClicks(edit, "ab");
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"41", u"41", u"41a", u"41ab"}));
  EXPECT_EQ(d.commands.size(), 4u);
}

TEST_F(GuiTest, MultiLineEditShowsLineBreaksAndKeepsTheTextAsSet) {
  RecordingDialog d(host_, 102);
  d.RecordAll(1003);
  Open(d);
  const std::u16string text = u"Version 2.04\r\nscanning now...\r\nTag found! (\u00e9)\r\n";
  d.SetDlgItemText(1003, text);
  auto* log = qobject_cast<QPlainTextEdit*>(d.Qt().Control(1003));
  EXPECT_EQ(log->toPlainText(), QStringLiteral("Version 2.04\nscanning now...\nTag found! (\u00e9)\n"));
  EXPECT_EQ(log->blockCount(), 4);
  EXPECT_EQ(d.GetDlgItemText(1003), text);

  d.Window()->ScrollToEnd(1003);
  EXPECT_TRUE(log->textCursor().atEnd());
  EXPECT_TRUE(d.commands.empty()) << "a multi-line edit tells nothing";
}

TEST_F(GuiTest, LongLogScrollsToItsEnd) {
  RecordingDialog d(host_, 102);
  Open(d);
  std::u16string text;
  for (int i = 0; i < 40; ++i) text += fw::Widen("line " + std::to_string(i) + "\r\n");
  d.Window()->SetRedraw(1003, false);
  d.SetDlgItemText(1003, text);
  d.Window()->SetRedraw(1003, true);
  d.Window()->ScrollToEnd(1003);
  auto* log = qobject_cast<QPlainTextEdit*>(d.Qt().Control(1003));
  EXPECT_TRUE(log->updatesEnabled());
  EXPECT_GT(log->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
}

// Appending must leave the log exactly as setting its whole bounded text would, whatever
// the pieces and wherever the bound cuts, and tell the dialog nothing.
TEST_F(GuiTest, AppendingToTheLogShowsWhatSettingTheWholeTextWould) {
  RecordingDialog d(host_, 102);
  d.RecordAll(1003);
  Open(d);
  auto* log = qobject_cast<QPlainTextEdit*>(d.Qt().Control(1003));
  const std::u16string pieces[] = {
      u"scanning now...\r\n", u"Tag found! (\u00e9) \r\n", u"x", u"\r", u"\n", u"\r\n\r\n", u"\n\n", u"LF2.01"};
  constexpr size_t kBound = 40;
  std::u16string whole;
  QPlainTextEdit reference;
  for (int i = 0; i < 300; ++i) {
    const std::u16string& piece = pieces[(i * 7 + i / 3) % std::size(pieces)];
    d.Window()->AppendText(1003, piece, kBound);
    whole = fw::BoundedText(whole + piece, kBound);
    ASSERT_EQ(d.GetDlgItemText(1003), whole) << "after append " << i;
    reference.setPlainText(fw::ToQString(whole).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    ASSERT_EQ(log->toPlainText(), reference.toPlainText()) << "after append " << i;
    ASSERT_EQ(log->blockCount(), reference.blockCount()) << "after append " << i;
  }
  // A line end split between two appends is one line break.
  d.SetDlgItemText(1003, u"");
  d.Window()->AppendText(1003, u"a\r", 100);
  d.Window()->AppendText(1003, u"\nb", 100);
  EXPECT_EQ(log->toPlainText(), QStringLiteral("a\nb"));
  EXPECT_EQ(log->blockCount(), 2);
  // A bound that cuts between the two characters of a line end keeps the break.
  d.Window()->AppendText(1003, u"c\r\n", 1);
  EXPECT_EQ(d.GetDlgItemText(1003), u"\n");
  EXPECT_EQ(log->toPlainText(), QStringLiteral("\n"));
  EXPECT_EQ(log->blockCount(), 2);

  EXPECT_FALSE(log->document()->isUndoAvailable()) << "appends leave no undo history behind";
  EXPECT_TRUE(d.commands.empty()) << "a multi-line edit tells nothing";
}

// The cost of an append must not grow with the log: the lines already shown stay as they
// are instead of being made again from the whole text.
TEST_F(GuiTest, AppendingLeavesTheLinesAlreadyShownAlone) {
  RecordingDialog d(host_, 102);
  Open(d);
  auto* log = qobject_cast<QPlainTextEdit*>(d.Qt().Control(1003));
  d.SetDlgItemText(1003, u"one\r\ntwo\r\n");
  log->document()->findBlockByNumber(1).setUserState(7);

  d.Window()->AppendText(1003, u"three\r\n", 1000);
  EXPECT_EQ(log->document()->findBlockByNumber(1).text(), QStringLiteral("two"));
  EXPECT_EQ(log->document()->findBlockByNumber(1).userState(), 7) << "the lines were made again";

  // The bound takes the first line away; the second is still the same block.
  d.Window()->AppendText(1003, u"four\r\n", 19);
  EXPECT_EQ(d.GetDlgItemText(1003), u"two\r\nthree\r\nfour\r\n");
  EXPECT_EQ(log->document()->findBlockByNumber(0).text(), QStringLiteral("two"));
  EXPECT_EQ(log->document()->findBlockByNumber(0).userState(), 7) << "the lines were made again";
}

TEST_F(GuiTest, ComboEditFieldTellsOnlyUserEdits) {
  RecordingDialog d(host_, 135);
  d.RecordAll(1063);
  Open(d);
  d.SetDlgItemText(1063, u"AB12");
  EXPECT_EQ(d.GetDlgItemText(1063), u"AB12");
  EXPECT_TRUE(d.commands.empty());

  auto* combo = qobject_cast<QComboBox*>(d.Qt().Control(1063));
  combo->setFocus();
  combo->lineEdit()->end(false);
  QTest::keyClicks(combo->lineEdit(), "C");
  EXPECT_EQ(d.GetDlgItemText(1063), u"AB12C");
  EXPECT_EQ(d.commands, (std::vector<Command>{{1063, Notify::EditChange}}));
}

// The focus lands in the control given it; a disabled one takes it once it is enabled,
// unless another control was given the focus meanwhile.
TEST_F(GuiTest, SetFocusWaitsForADisabledControl) {
  RecordingDialog d(host_, 135);
  Open(d);
  QWidget* window = d.Qt().Widget();
  QWidget* code = d.Qt().Control(1063);
  QWidget* write = d.Qt().Control(1068);
  auto focused = [&](QWidget* control) {
    QWidget* f = window->focusWidget();
    return f && (f == control || control->isAncestorOf(f));
  };
  fw::CComboBox combo;
  combo.Bind(d, 1063);

  d.Window()->SetFocus(1068);
  combo.EnableWindow(false);
  combo.SetFocus();
  EXPECT_TRUE(focused(write));
  combo.EnableWindow(true);
  EXPECT_TRUE(focused(code));

  d.Window()->SetFocus(1068);
  combo.EnableWindow(false);
  combo.SetFocus();
  d.Window()->SetFocus(1068);
  combo.EnableWindow(true);
  EXPECT_TRUE(focused(write));
}

TEST_F(GuiTest, ComboSelectionByTheUserIsTold) {
  RecordingDialog d(host_, 135);
  d.RecordAll(1063);
  Open(d);
  fw::IWindow& w = *d.Window();
  w.AddString(1063, u"AB12");
  w.AddString(1063, u"CD34");
  EXPECT_EQ(w.SetCurSel(1063, 0), 0);
  EXPECT_TRUE(d.commands.empty()) << "SetCurSel is not the user's choice";

  auto* combo = qobject_cast<QComboBox*>(d.Qt().Control(1063));
  combo->setFocus();
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(w.GetCurSel(1063), 1);
  EXPECT_EQ(d.GetDlgItemText(1063), u"CD34");
  EXPECT_EQ(d.commands, (std::vector<Command>{{1063, Notify::SelChange}}));
}

TEST_F(GuiTest, ComboListKeepsTheEditFieldAndSelectionAsTheDialogLeftThem) {
  fw::CDialog d(host_, res::WriteTagTemplate());
  ASSERT_TRUE(d.Create(nullptr));
  fw::IWindow& w = *d.Window();
  w.SetText(1063, u"typed");

  // Adding never selects: the field keeps what the user typed.
  EXPECT_EQ(w.InsertString(1063, 0, u"AB12"), 0);
  EXPECT_EQ(w.InsertString(1063, 0, u"CD34"), 0);
  EXPECT_EQ(w.InsertString(1063, -1, u"EF56"), 2);
  EXPECT_EQ(w.InsertString(1063, 4, u"no"), -1);
  EXPECT_EQ(w.GetCurSel(1063), -1);
  EXPECT_EQ(w.GetText(1063), u"typed");
  ASSERT_EQ(w.GetCount(1063), 3);
  EXPECT_EQ(w.GetItemText(1063, 0), u"CD34");
  EXPECT_EQ(w.GetItemText(1063, 1), u"AB12");
  EXPECT_EQ(w.GetItemText(1063, 2), u"EF56");
  EXPECT_EQ(w.GetItemText(1063, 3), u"");

  EXPECT_EQ(w.SetCurSel(1063, 1), 1);
  EXPECT_EQ(w.GetText(1063), u"AB12");
  EXPECT_EQ(w.SetCurSel(1063, 3), -1);
  EXPECT_EQ(w.GetCurSel(1063), 1);

  // Removing an entry above the selection moves the selection with its entry.
  EXPECT_EQ(w.DeleteString(1063, 0), 2);
  EXPECT_EQ(w.GetCurSel(1063), 0);
  EXPECT_EQ(w.GetText(1063), u"AB12");
  // Removing the selected entry leaves no selection and the field as it was.
  EXPECT_EQ(w.DeleteString(1063, 0), 1);
  EXPECT_EQ(w.GetCurSel(1063), -1);
  EXPECT_EQ(w.GetText(1063), u"AB12");
  EXPECT_EQ(w.DeleteString(1063, 5), -1);

  w.SetText(1063, u"kept");
  w.ResetContent(1063);
  EXPECT_EQ(w.GetCount(1063), 0);
  EXPECT_EQ(w.GetText(1063), u"kept");

  w.AddString(1063, u"GH78");
  EXPECT_EQ(w.SetCurSel(1063, 0), 0);
  EXPECT_EQ(w.SetCurSel(1063, -1), -1);
  EXPECT_EQ(w.GetText(1063), u"") << "no selection empties the field";
}

TEST_F(GuiTest, SortedComboAddsInAlphabeticalOrderIgnoringCase) {
  fw::CDialog d(host_, res::DownloadTemplate());
  ASSERT_TRUE(d.Create(nullptr));
  fw::IWindow& w = *d.Window();
  struct Step {
    const char16_t* text;
    int index;
  };
  const Step steps[] = {{u"m.EHX", 0}, {u"B.EHX", 0}, {u"x.EHX", 2}, {u"a.EHX", 0}, {u"M.EHX", 3}};
  for (const Step& s : steps) EXPECT_EQ(w.AddString(1056, s.text), s.index) << fw::ToUtf8(s.text);
  const char16_t* order[] = {u"a.EHX", u"B.EHX", u"m.EHX", u"M.EHX", u"x.EHX"};
  ASSERT_EQ(w.GetCount(1056), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(w.GetItemText(1056, i), order[i]) << i;
  EXPECT_EQ(w.GetCurSel(1056), -1);
  // Inserting at an index is not sorted.
  EXPECT_EQ(w.InsertString(1056, 0, u"z.EHX"), 0);
  EXPECT_EQ(w.GetItemText(1056, 0), u"z.EHX");
  EXPECT_EQ(w.SetCurSel(1056, 2), 2);
  EXPECT_EQ(w.GetText(1056), u"B.EHX");
}

TEST_F(GuiTest, ProgressBarKeepsItsPositionInsideTheRange) {
  fw::CDialog d(host_, res::DownloadTemplate());
  ASSERT_TRUE(d.Create(nullptr));
  fw::IWindow& w = *d.Window();
  auto* bar = qobject_cast<QProgressBar*>(static_cast<fw::QtWindow&>(w).Control(1058));
  EXPECT_EQ(w.GetPos(1058), 0);
  EXPECT_EQ(bar->maximum(), 100);

  struct Step {
    int lower, upper, pos, expected;
  };
  const Step steps[] = {
      {0, 500, 250, 250}, {0, 500, 900, 500}, {0, 500, -3, 0}, {0, 36, 36, 36}, {10, 20, 5, 10},
  };
  for (const Step& s : steps) {
    w.SetRange(1058, s.lower, s.upper);
    w.SetPos(1058, s.pos);
    EXPECT_EQ(w.GetPos(1058), s.expected) << s.lower << ".." << s.upper << " at " << s.pos;
    EXPECT_EQ(bar->value(), s.expected);
  }
  // A new range that leaves the position outside pulls it in.
  w.SetRange(1058, 0, 100);
  w.SetPos(1058, 80);
  w.SetRange(1058, 0, 50);
  EXPECT_EQ(w.GetPos(1058), 50);
}

TEST_F(GuiTest, TextsKeepEveryUtf16CodeUnit) {
  fw::CDialog d(host_, res::MainTemplate());
  ASSERT_TRUE(d.Create(nullptr));
  fw::IWindow& w = *d.Window();
  const std::u16string text = u"\u00c5 \u03a9 \U0001D11E \u20ac";
  for (int id : {1000, 1041, 1036, 1043, 1003}) {
    w.SetText(id, text);
    EXPECT_EQ(w.GetText(id), text) << id;
  }
  EXPECT_EQ(qobject_cast<QLabel*>(static_cast<fw::QtWindow&>(w).Control(1036))->text(), fw::ToQString(text));
}

TEST_F(GuiTest, NewCaptionsOfWrappingButtonsWrapAgain) {
  fw::CDialog d(host_, res::MainTemplate());
  ASSERT_TRUE(d.Create(nullptr));
  fw::IWindow& w = *d.Window();
  auto* button = qobject_cast<QPushButton*>(static_cast<fw::QtWindow&>(w).Control(1048));
  w.SetText(1048, u"Clear Type");
  EXPECT_EQ(button->text(), QStringLiteral("Clear\nType"));
  EXPECT_EQ(w.GetText(1048), u"Clear Type");
  w.SetText(1000, u"Disconnect");
  EXPECT_EQ(qobject_cast<QPushButton*>(static_cast<fw::QtWindow&>(w).Control(1000))->text(),
            QStringLiteral("Disconnect"));
}

// Enter, Escape, F1 and the close button go to the dialog from wherever the focus is, and
// the window stays open: closing is the dialog's decision.
struct KeyCase {
  const char* name;
  int focusId;  // 0: the dialog itself
  Qt::Key key;
  int command;  // IDOK or IDCANCEL, or 0 for none
  int helps;
};

class DialogKeys : public GuiTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(DialogKeys, ReachTheDialogAndLeaveTheWindowOpen) {
  const KeyCase& c = GetParam();
  // The Download Firmware dialog has no control 1, a control 2 and a default button.
  RecordingDialog d(host_, 133);
  for (int id : {fw::IDOK, fw::IDCANCEL, 1049, 1056}) d.RecordAll(id);
  Open(d);
  QWidget* target = c.focusId ? d.Qt().Control(c.focusId) : d.Qt().Widget();
  if (auto* combo = qobject_cast<QComboBox*>(target)) target = combo->lineEdit();
  target->setFocus();
  QTest::keyClick(target, c.key);

  std::vector<Command> expected;
  if (c.command) expected.push_back({c.command, Notify::Clicked});
  EXPECT_EQ(d.commands, expected);
  EXPECT_EQ(d.helps, c.helps);
  EXPECT_TRUE(d.Qt().Widget()->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Keys, DialogKeys,
                         ::testing::Values(KeyCase{"EnterOnDialog", 0, Qt::Key_Return, fw::IDOK, 0},
                                           KeyCase{"KeypadEnterOnDialog", 0, Qt::Key_Enter, fw::IDOK, 0},
                                           KeyCase{"EnterOnDefaultButton", 1049, Qt::Key_Return, fw::IDOK, 0},
                                           KeyCase{"EnterOnCancelButton", 2, Qt::Key_Return, fw::IDOK, 0},
                                           KeyCase{"EnterInComboField", 1056, Qt::Key_Return, fw::IDOK, 0},
                                           KeyCase{"EscapeOnDialog", 0, Qt::Key_Escape, fw::IDCANCEL, 0},
                                           KeyCase{"EscapeInComboField", 1056, Qt::Key_Escape, fw::IDCANCEL, 0},
                                           KeyCase{"F1OnButton", 1049, Qt::Key_F1, 0, 1}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(GuiTest, KeysReachTheBuiltInHandlersWithoutAMappedControl) {
  RecordingDialog d(host_, 102);
  Open(d);
  QTest::keyClick(d.Qt().Widget(), Qt::Key_Return);
  QTest::keyClick(d.Qt().Control(1000), Qt::Key_Escape);
  EXPECT_EQ(d.oks, 1);
  EXPECT_EQ(d.cancels, 1);
}

TEST_F(GuiTest, CtrlQFromAnyWindowAsksTheTopWindowToClose) {
  RecordingDialog main(host_, 102);
  RecordingDialog writeTag(host_, 135);
  Open(main);
  Open(writeTag, &main);
  QTest::keyClick(writeTag.Qt().Widget(), Qt::Key_Q, Qt::ControlModifier);
  QTest::keyClick(main.Qt().Control(1043), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(main.closes, 2);
  EXPECT_EQ(writeTag.closes, 0);
  // Q alone is typed as usual.
  QTest::keyClick(main.Qt().Control(1043), Qt::Key_Q);
  EXPECT_EQ(main.closes, 2);
}

TEST_F(GuiTest, EnterInAnEditGoesToTheDialogNotToTheEdit) {
  RecordingDialog d(host_, 102);
  d.RecordAll(1043);
  Open(d);
  QWidget* edit = d.Qt().Control(1043);
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(d.oks, 1);
  EXPECT_TRUE(d.commands.empty());
}

TEST_F(GuiTest, CloseButtonAsksTheDialog) {
  RecordingDialog d(host_, 135);
  Open(d);
  EXPECT_FALSE(d.Qt().Widget()->close()) << "the window closed itself";
  EXPECT_EQ(d.closes, 1);
  EXPECT_EQ(d.cancels, 0);
  EXPECT_TRUE(d.IsWindowVisible());
  // Accepting or rejecting the QDialog does not close it either.
  d.Qt().Widget()->accept();
  d.Qt().Widget()->reject();
  EXPECT_TRUE(d.IsWindowVisible());
}

TEST_F(GuiTest, DefaultCancelHandlingClosesAModelessDialogThroughTheDialogObject) {
  fw::CDialog d(host_, res::WriteTagTemplate());
  Open(d);
  QPointer<QDialog> widget = static_cast<fw::QtWindow*>(d.Window())->Widget();
  QTest::keyClick(widget, Qt::Key_Escape);
  EXPECT_FALSE(d.IsWindow());
  ASSERT_FALSE(widget.isNull());
  EXPECT_FALSE(widget->isVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(widget.isNull());
}

}  // namespace
