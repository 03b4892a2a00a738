// The dialogs on a desktop: every text fits its control with the desktop's font, the main
// window grows its log and nothing else when enlarged, and the dialogs' context menu
// entries reach them.

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <string>

#include "tests/gui/GuiTest.h"

namespace {

using guitest::GuiTest;
using K = fw::ControlKind;

// Room a push button's frame takes from its caption on each side.
constexpr int kButtonFrame = 3;
// Room a one-line edit takes from its text on each side beyond its frame and margins.
constexpr int kLineEditPadding = 2;

// Texts the dialogs put into their controls while they run, the longest of their kind.
struct Sample {
  int templateId;
  int id;
  const char16_t* text;
};
constexpr Sample kRunTexts[] = {
    {102, 1036, u"Type: Keswin FLEX 7 blocks"},
    {102, 1037, u"Code: 999 000000001234"},
    {102, 1043, u"41:42"},
    {102, 1044, u"41:42"},
    {102, 1000, u"Disconnect"},
    {135, 1076, u"999000000001234"},
};

// Horizontal room the control leaves its text, and the text as it is shown there (group
// boxes show the words of their rule).
int TextRoom(QWidget* w) {
  if (auto* b = qobject_cast<QCheckBox*>(w)) {
    QStyleOptionButton option;
    option.initFrom(b);
    return w->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, b).width();
  }
  if (auto* r = qobject_cast<QRadioButton*>(w)) {
    QStyleOptionButton option;
    option.initFrom(r);
    return w->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, r).width();
  }
  if (qobject_cast<QPushButton*>(w)) return w->width() - 2 * kButtonFrame;
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    // As QLineEdit lays out its text: the style's contents, the margins, its own padding.
    QStyleOptionFrame option;
    option.initFrom(e);
    option.rect = e->contentsRect();
    option.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, e) : 0;
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    option.features = QStyleOptionFrame::None;
    const QRect contents = e->style()->subElementRect(QStyle::SE_LineEditContents, &option, e);
    const QMargins m = e->textMargins();
    return contents.width() - m.left() - m.right() - 2 * kLineEditPadding;
  }
  if (qobject_cast<QGroupBox*>(w)) return w->width() - 4 * kButtonFrame;
  return w->width();
}

QString ShownText(QWidget* w) {
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  return QString();
}

// Every line of the text is as wide as its control allows, and all lines are as high.
void ExpectFits(QWidget* w, const std::string& what) {
  const QString text = ShownText(w);
  if (text.isEmpty()) return;
  const QFontMetrics fm(w->font());
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (const QString& line : lines) {
    EXPECT_LE(fm.horizontalAdvance(line), TextRoom(w))
        << what << ": \"" << line.toStdString() << "\" is cut in " << w->width() << " pixels";
  }
  // A one-line edit's frame may take a pixel or two of the text's height; the text stays
  // readable while the line height fits the control.
  EXPECT_LE(fm.height() * lines.size(), w->height())
      << what << ": " << lines.size() << " line(s) of " << fm.height() << " pixels in " << w->height();
}

struct FitCase {
  int templateId;
  int scale;
  friend void PrintTo(const FitCase& c, std::ostream* os) { *os << c.templateId << " at scale " << c.scale; }
};

class TextFit : public GuiTest, public ::testing::WithParamInterface<FitCase> {};

TEST_P(TextFit, EveryTextFitsItsControl) {
  const int templateId = GetParam().templateId;
  // A desktop at scale 2 gives the dialog font twice the pixels; the dialog units follow
  // the font, the indicators of check boxes do not.
  fw::DialogTemplate tpl = *res::FindDialogTemplate(templateId);
  tpl.fontPoints *= GetParam().scale;
  fw::CDialog dialog(host_, tpl);
  ASSERT_TRUE(dialog.Create(nullptr));
  auto& window = *static_cast<fw::QtWindow*>(dialog.Window());
  SCOPED_TRACE(testing::Message() << "font " << window.Widget()->font().family().toStdString() << " "
                                  << QFontMetrics(window.Widget()->font()).height() << " px");

  // Controls without an id are found by their place; each template control has one widget.
  int checked = 0;
  for (QWidget* w : window.Widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (ShownText(w).isEmpty()) continue;
    ExpectFits(w, std::to_string(templateId) + " \"" + ShownText(w).toStdString() + "\"");
    ++checked;
  }
  int captions = 0;
  for (const fw::ControlTemplate& c : tpl.controls)
    if (*c.caption && c.kind != K::Edit && c.kind != K::ComboBox) ++captions;
  EXPECT_EQ(checked, captions) << "a caption was not found on screen";

  for (const Sample& s : kRunTexts) {
    if (s.templateId != templateId) continue;
    window.SetText(s.id, s.text);
    ExpectFits(window.Control(s.id), std::to_string(s.id) + " \"" + fw::ToUtf8(s.text) + "\"");
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, TextFit,
                         ::testing::Values(FitCase{102, 1}, FitCase{135, 1}, FitCase{133, 1}, FitCase{140, 1},
                                           FitCase{102, 2}, FitCase{135, 2}, FitCase{133, 2}, FitCase{140, 2}),
                         [](const auto& p) {
                           return std::to_string(p.param.templateId) + "_scale" + std::to_string(p.param.scale);
                         });

TEST_F(GuiTest, EnlargingTheMainWindowGrowsTheLogAndKeepsTheRestInPlace) {
  fw::CDialog dialog(host_, res::MainTemplate());
  Open(dialog);
  auto& window = *static_cast<fw::QtWindow*>(dialog.Window());
  QDialog* top = window.Widget();
  const QSize start = top->size();
  EXPECT_EQ(top->minimumSize(), start) << "the template's size is the smallest";
  EXPECT_GT(top->maximumWidth(), start.width());
  EXPECT_GT(top->maximumHeight(), start.height());

  std::map<QWidget*, QRect> before;
  for (QWidget* w : top->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) before[w] = w->geometry();
  QWidget* log = window.Control(1003);
  const QRect logBefore = log->geometry();

  for (const QSize grown :
       {QSize(start.width() + 150, start.height() + 90), QSize(start.width() + 40, start.height()), start}) {
    SCOPED_TRACE(testing::Message() << grown.width() << "x" << grown.height());
    top->resize(grown);
    ASSERT_EQ(top->size(), grown);
    const QSize delta = grown - start;
    EXPECT_EQ(log->geometry(), logBefore.adjusted(0, 0, delta.width(), delta.height()));
    // The row under the log stays under it, "Clear" on its corner; the rest stays put.
    for (const auto& [w, place] : before) {
      if (w == log) continue;
      QPoint moved(0, 0);
      if (w == window.Control(1005)) moved.setX(delta.width());
      for (int id : {1049, 1047, 1077})
        if (w == window.Control(id)) moved.setY(delta.height());
      EXPECT_EQ(w->geometry(), place.translated(moved)) << w->metaObject()->className();
    }
  }

  // "Clear" is drawn above the log it lies on.
  EXPECT_GT(top->children().indexOf(window.Control(1005)), top->children().indexOf(log));

  // Smaller than the template it does not get.
  top->resize(start.width() - 50, start.height() - 50);
  EXPECT_EQ(top->size(), start);
  EXPECT_EQ(log->geometry(), logBefore);

  // Dialogs without a growing control keep their size.
  fw::CDialog writeTag(host_, res::WriteTagTemplate());
  ASSERT_TRUE(writeTag.Create(nullptr));
  const QDialog* fixed = static_cast<fw::QtWindow*>(writeTag.Window())->Widget();
  EXPECT_EQ(fixed->minimumSize(), fixed->maximumSize());
}

TEST_F(GuiTest, ContextMenuEntriesFollowTheControlsOwnAndReachTheDialog) {
  constexpr int kSaveCommand = 32771;
  guitest::RecordingDialog dialog(host_, 102);
  dialog.Record(kSaveCommand, fw::Notify::Clicked);
  ASSERT_TRUE(dialog.Create(nullptr));
  auto& window = dialog.Qt();
  EXPECT_EQ(window.MakeContextMenu(1003), nullptr) << "no entries of the dialog yet";
  window.AddMenuItem(1003, u"Save log...", kSaveCommand);
  window.AddMenuItem(4242, u"nowhere", kSaveCommand + 1);

  std::unique_ptr<QMenu> menu(window.MakeContextMenu(1003));
  ASSERT_NE(menu, nullptr);
  const QList<QAction*> actions = menu->actions();
  ASSERT_GE(actions.size(), 3) << "the text field's own entries come first";
  EXPECT_EQ(actions.back()->text(), QStringLiteral("Save log..."));
  EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
  EXPECT_EQ(Qt::CustomContextMenu, window.Control(1003)->contextMenuPolicy());

  actions.back()->trigger();
  ASSERT_EQ(dialog.commands.size(), 1u);
  EXPECT_EQ(dialog.commands[0].id, kSaveCommand);
}

}  // namespace
