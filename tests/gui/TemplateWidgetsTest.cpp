// The three dialogs as the Qt host builds them: every control with its id, kind, caption,
// place in pixels and state at creation, checked against the dialogs as the product
// describes them.

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <string>

#include "tests/gui/GuiTest.h"

namespace {

using fw::ControlKind;
using K = fw::ControlKind;
using guitest::GuiTest;

constexpr int kNoId = fw::kStaticId;

enum At { kShown = 0, kHidden = 1, kDisabled = 2 };

struct Row {
  int id;
  K kind;
  std::u16string caption;
  fw::Rect du;
  int at;
};

struct ExpectedDialog {
  int templateId;
  std::u16string title;
  int widthDu;
  int heightDu;
  std::vector<Row> rows;
};

const std::u16string kRule34(34, u'_');

const ExpectedDialog kMain{102,
                           u"Pelmor",
                           136,
                           166,
                           {
                               {1000, K::PushButton, u"Connect", {1, 1, 47, 12}, kShown},
                               {1011, K::PushButton, u"Get version", {53, 1, 48, 12}, kDisabled},
                               {1038, K::PushButton, u"Hide", {106, 1, 29, 12}, kShown},
                               {1041, K::CheckBox, u"Prefix", {1, 17, 29, 9}, kShown},
                               {1043, K::Edit, u"", {30, 17, 23, 10}, kShown},
                               {1042, K::CheckBox, u"Suffix", {53, 17, 30, 10}, kShown},
                               {1044, K::Edit, u"", {83, 17, 23, 10}, kShown},
                               {1046, K::CheckBox, u"cr", {106, 12, 20, 8}, kShown},
                               {1061, K::CheckBox, u"Tab", {106, 20, 25, 8}, kShown},
                               {1039, K::Static, kRule34, {0, 22, 135, 8}, kShown},
                               {1034, K::PushButton, u"Trg.", {117, 30, 18, 10}, kDisabled},
                               {1026, K::CheckBox, u"Read PSK1", {4, 31, 59, 9}, kHidden},
                               {1027, K::CheckBox, u"Read PSK2", {4, 39, 59, 9}, kHidden},
                               {1028, K::CheckBox, u"Read Keswin", {4, 47, 59, 9}, kHidden},
                               {1029, K::CheckBox, u"Read Flex", {4, 55, 59, 9}, kHidden},
                               {1030, K::CheckBox, u"Read ISO fdx-b", {4, 63, 59, 9}, kHidden},
                               {1031, K::CheckBox, u"Read Fecava", {4, 71, 59, 9}, kHidden},
                               {1032, K::CheckBox, u"Read Avid", {4, 79, 59, 9}, kHidden},
                               {1033, K::CheckBox, u"Read ASK", {4, 87, 59, 9}, kHidden},
                               {1045, K::CheckBox, u"HDX", {4, 95, 59, 9}, kHidden},
                               {1004, K::CheckBox, u"Use trigger", {65, 31, 48, 9}, kShown},
                               {1014, K::CheckBox, u"Read once", {65, 39, 45, 9}, kShown},
                               {1019, K::CheckBox, u"Led on", {65, 47, 42, 9}, kShown},
                               {1020, K::CheckBox, u"Led after read", {65, 55, 61, 9}, kShown},
                               {1021, K::CheckBox, u"ISO Country", {65, 63, 53, 9}, kShown},
                               {1022, K::CheckBox, u"ISO HEX", {65, 71, 42, 9}, kShown},
                               {1059, K::CheckBox, u"No space", {65, 79, 45, 9}, kShown},
                               {1040, K::Bitmap, u"", {37, 35, 67, 62}, kHidden},
                               {1023, K::PushButton, u"Read", {65, 90, 27, 11}, kDisabled},
                               {1024, K::PushButton, u"Write", {93, 90, 27, 11}, kDisabled},
                               {kNoId, K::Static, kRule34, {0, 96, 135, 8}, kShown},
                               {1036, K::Static, u"Type:", {6, 105, 101, 8}, kShown},
                               {1048, K::PushButton, u"Clear Code", {108, 106, 27, 17}, kShown},
                               {1037, K::Static, u"Code:", {6, 115, 101, 8}, kShown},
                               {1005, K::PushButton, u"Clear", {108, 124, 27, 11}, kShown},
                               {1003, K::Edit, u"", {2, 123, 133, 30}, kShown},
                               {1049, K::PushButton, u"Write Tag", {2, 154, 37, 11}, kShown},
                               {1047, K::PushButton, u"Firmware", {41, 154, 37, 11}, kShown},
                               {1077, K::CheckBox, u"Auto Hide", {85, 154, 47, 10}, kShown},
                           }};

const ExpectedDialog kWriteTag{135,
                               u"Write Tag",
                               113,
                               124,
                               {
                                   {1038, K::PushButton, u"?", {94, 1, 16, 14}, kShown},
                                   {kNoId, K::GroupBox, u"__ Blocks __________________", {2, 9, 90, 38}, kShown},
                                   {1070, K::RadioButton, u"3", {4, 17, 18, 13}, kShown},
                                   {1071, K::RadioButton, u"5", {22, 17, 18, 13}, kShown},
                                   {1072, K::RadioButton, u"7", {40, 17, 18, 13}, kShown},
                                   {1068, K::PushButton, u"Write", {4, 31, 49, 13}, kShown},
                                   {kNoId, K::GroupBox, u"__ Code ___________________", {2, 51, 110, 43}, kShown},
                                   {1063, K::ComboBox, u"", {4, 62, 83, 79}, kShown},
                                   {1053, K::PushButton, u"Clear", {87, 63, 23, 11}, kShown},
                                   {1064, K::PushButton, u"Clear List", {87, 76, 23, 16}, kShown},
                                   {1062, K::PushButton, u"Write", {4, 79, 50, 12}, kShown},
                                   {kNoId, K::Static, u"__________________________", {4, 91, 105, 8}, kShown},
                                   {1076, K::Static, u"", {4, 99, 106, 9}, kShown},
                                   {2, K::PushButton, u"Close", {60, 110, 50, 12}, kShown},
                               }};

const ExpectedDialog kDownload{133,
                               u"Download Firmware",
                               115,
                               86,
                               {
                                   {1049, K::PushButton, u"Download", {9, 69, 50, 14}, kShown},
                                   {2, K::PushButton, u"Cancel", {63, 69, 50, 14}, kShown},
                                   {1056, K::ComboBox, u"", {4, 22, 109, 44}, kShown},
                                   {kNoId, K::Static, u"Select the firmware.", {4, 7, 66, 11}, kShown},
                                   {1038, K::PushButton, u"?", {97, 7, 16, 14}, kShown},
                                   {1058, K::Progress, u"", {4, 42, 109, 10}, kShown},
                                   {1065, K::Static, u"....", {26, 52, 87, 10}, kHidden},
                                   {1066, K::Static, u"", {4, 54, 78, 8}, kShown},
                               }};

// The kind a widget stands for, told from its class.
ControlKind KindOf(const QWidget* w) {
  if (qobject_cast<const QPushButton*>(w)) return K::PushButton;
  if (qobject_cast<const QCheckBox*>(w)) return K::CheckBox;
  if (qobject_cast<const QRadioButton*>(w)) return K::RadioButton;
  if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w)) return K::Edit;
  if (qobject_cast<const QComboBox*>(w)) return K::ComboBox;
  if (qobject_cast<const QProgressBar*>(w)) return K::Progress;
  if (qobject_cast<const QGroupBox*>(w)) return K::GroupBox;
  if (auto* label = qobject_cast<const QLabel*>(w)) {
    return label->pixmap().isNull() ? K::Static : K::Bitmap;
  }
  return static_cast<ControlKind>(-1);
}

// Expected pixels, worked out from the font the way a dialog template is laid out: the
// average letter width and the line height give the pixels of 4 horizontal and 8 vertical
// dialog units, and each edge is rounded on its own.
struct Units {
  int x;
  int y;
};

Units UnitsOf(const QFont& font) {
  const QFontMetrics fm(font);
  const double letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ")) +
                         fm.horizontalAdvance(QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
  return Units{static_cast<int>(letters / 52 + 0.5), fm.height()};
}

QRect Pixels(const fw::Rect& du, Units u) {
  auto px = [](int v, int unit, int per) { return static_cast<int>(v * unit / double(per) + 0.5); };
  const int left = px(du.x, u.x, 4);
  const int top = px(du.y, u.y, 8);
  return QRect(left, top, px(du.x + du.w, u.x, 4) - left, px(du.y + du.h, u.y, 8) - top);
}

QString Shown(const QWidget* w) {
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
  if (auto* p = qobject_cast<const QPlainTextEdit*>(w)) return p->toPlainText();
  if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
  if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  return QString();
}

class TemplateWidgets : public GuiTest, public ::testing::WithParamInterface<const ExpectedDialog*> {};

TEST_P(TemplateWidgets, EveryControlHasItsKindCaptionPlaceAndStartState) {
  const ExpectedDialog& expect = *GetParam();
  fw::CDialog dialog(host_, *res::FindDialogTemplate(expect.templateId));
  ASSERT_TRUE(dialog.Create(nullptr));
  auto& window = *static_cast<fw::QtWindow*>(dialog.Window());
  QDialog* top = window.Widget();

  EXPECT_EQ(top->windowTitle(), fw::ToQString(expect.title));
  const Units u = UnitsOf(top->font());
  EXPECT_EQ(window.Units().x, u.x);
  EXPECT_EQ(window.Units().y, u.y);
  EXPECT_EQ(top->size(), Pixels({0, 0, expect.widthDu, expect.heightDu}, u).size());
  // Only the main window may be enlarged, never made smaller than its template.
  EXPECT_EQ(top->minimumSize(), top->size());
  EXPECT_EQ(top->maximumSize() == top->size(), expect.templateId != 102);

  // One widget per control, nothing more.
  EXPECT_EQ(top->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(), static_cast<qsizetype>(expect.rows.size()));

  for (const Row& row : expect.rows) {
    SCOPED_TRACE(testing::Message() << "control " << row.id << " \"" << fw::ToUtf8(row.caption) << "\"");
    const QRect expected = Pixels(row.du, u);
    const QWidget* w = nullptr;
    if (row.id == kNoId) {
      // Not addressable: found by its text and place.
      for (QLabel* label : top->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (label->text() == fw::ToQString(row.caption) && label->geometry() == expected) w = label;
      }
      for (QGroupBox* frame : top->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) {
        if (fw::ToQString(row.caption).contains(QLatin1Char(' ') + frame->title() + QLatin1Char(' ')) &&
            frame->geometry() == expected)
          w = frame;
      }
      ASSERT_NE(w, nullptr) << "no label of this text at " << expected.x() << "," << expected.y();
    } else {
      w = window.Control(row.id);
      ASSERT_NE(w, nullptr);
      EXPECT_EQ(fw::ToUtf8(window.GetText(row.id)), fw::ToUtf8(row.caption));
      EXPECT_EQ(window.IsVisible(row.id), (row.at & kHidden) == 0);
      EXPECT_EQ(window.IsEnabled(row.id), (row.at & kDisabled) == 0);
    }
    EXPECT_EQ(KindOf(w), row.kind);
    EXPECT_EQ(w->isHidden(), (row.at & kHidden) != 0);
    EXPECT_EQ(w->isEnabled(), (row.at & kDisabled) == 0);
    // A wrapped caption is still the caption.
    if (row.kind != K::Bitmap && row.kind != K::GroupBox) {
      EXPECT_EQ(Shown(w).replace(QLatin1Char('\n'), QLatin1Char(' ')), fw::ToQString(row.caption));
    }

    if (row.kind == K::ComboBox) {
      // The template's height includes the opened list; the box is one field high.
      EXPECT_EQ(w->x(), expected.x());
      EXPECT_EQ(w->y(), expected.y());
      EXPECT_EQ(w->width(), expected.width());
      EXPECT_GE(w->height(), u.y);
      EXPECT_LT(w->height(), expected.height());
    } else {
      EXPECT_EQ(w->geometry(), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, TemplateWidgets, ::testing::Values(&kMain, &kWriteTag, &kDownload),
                         [](const auto& p) { return std::to_string(p.param->templateId); });

TEST_F(GuiTest, MainDialogFitsTheHandheldScreenWidth) {
  fw::CDialog dialog(host_, res::MainTemplate());
  ASSERT_TRUE(dialog.Create(nullptr));
  const QDialog* top = static_cast<fw::QtWindow*>(dialog.Window())->Widget();
  EXPECT_GE(top->width(), 200);
  EXPECT_LE(top->width(), 240);
  EXPECT_LE(top->height(), 320);
}

TEST_F(GuiTest, ControlStylesShowInTheWidgets) {
  fw::CDialog main(host_, res::MainTemplate());
  fw::CDialog download(host_, res::DownloadTemplate());
  fw::CDialog writeTag(host_, res::WriteTagTemplate());
  ASSERT_TRUE(main.Create(nullptr));
  ASSERT_TRUE(download.Create(&main));
  ASSERT_TRUE(writeTag.Create(&main));
  auto& m = *static_cast<fw::QtWindow*>(main.Window());
  auto& d = *static_cast<fw::QtWindow*>(download.Window());
  auto& w = *static_cast<fw::QtWindow*>(writeTag.Window());

  auto* log = qobject_cast<QPlainTextEdit*>(m.Control(1003));
  ASSERT_NE(log, nullptr) << "the log is a multi-line edit";
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_NE(log->frameShape(), QFrame::NoFrame);

  for (int id : {1043, 1044}) {
    auto* edit = qobject_cast<QLineEdit*>(m.Control(id));
    ASSERT_NE(edit, nullptr) << id;
    EXPECT_TRUE(edit->hasFrame()) << id;
    EXPECT_FALSE(edit->isReadOnly()) << id;
  }

  // Two-line captions.
  for (auto [window, id] : {std::pair{&m, 1048}, std::pair{&w, 1064}}) {
    auto* button = qobject_cast<QPushButton*>(window->Control(id));
    ASSERT_NE(button, nullptr) << id;
    EXPECT_EQ(button->text().count(QLatin1Char('\n')), 1) << id;
  }
  EXPECT_FALSE(qobject_cast<QPushButton*>(m.Control(1049))->text().contains(QLatin1Char('\n')));

  for (auto [window, id] : {std::pair{&d, 1056}, std::pair{&w, 1063}}) {
    auto* combo = qobject_cast<QComboBox*>(window->Control(id));
    ASSERT_NE(combo, nullptr) << id;
    EXPECT_TRUE(combo->isEditable()) << "drop-down combo box " << id << " has an edit field";
    EXPECT_EQ(combo->count(), 0);
    EXPECT_EQ(combo->currentIndex(), -1);
  }

  auto* bar = qobject_cast<QProgressBar*>(d.Control(1058));
  ASSERT_NE(bar, nullptr);
  EXPECT_FALSE(bar->isTextVisible());

  for (int id : {1070, 1071, 1072}) {
    auto* radio = qobject_cast<QRadioButton*>(w.Control(id));
    ASSERT_NE(radio, nullptr) << id;
    EXPECT_FALSE(radio->autoExclusive()) << id;
  }

  // The scanning picture is loaded and fills its control without being stretched.
  auto* picture = qobject_cast<QLabel*>(m.Control(1040));
  ASSERT_NE(picture, nullptr);
  ASSERT_FALSE(picture->pixmap().isNull()) << "scanning.png not loaded from " PELMOR_PICTURE_DIR;
  const QSize shown = picture->pixmap().size();
  EXPECT_EQ(shown.width(), shown.height());
  EXPECT_EQ(shown.width(), std::min(picture->width(), picture->height()));

  // Secondary dialogs stay above their owner.
  EXPECT_EQ(d.Widget()->parentWidget(), m.Widget());
  EXPECT_EQ(w.Widget()->parentWidget(), m.Widget());
  EXPECT_EQ(m.Widget()->parentWidget(), nullptr);
}

TEST_F(GuiTest, ControlsWithoutIdAreNotAddressable) {
  fw::CDialog dialog(host_, res::WriteTagTemplate());
  ASSERT_TRUE(dialog.Create(nullptr));
  fw::IWindow& w = *dialog.Window();
  auto& qt = static_cast<fw::QtWindow&>(w);
  EXPECT_EQ(qt.Control(fw::kStaticId), nullptr);
  EXPECT_EQ(w.GetText(fw::kStaticId), u"");
  EXPECT_FALSE(w.IsVisible(fw::kStaticId));
  w.SetText(fw::kStaticId, u"changed");
  w.Show(fw::kStaticId, false);
  for (QLabel* label : qt.Widget()->findChildren<QLabel*>()) {
    EXPECT_NE(label->text(), QStringLiteral("changed"));
    EXPECT_FALSE(label->isHidden());
  }
  // An id the template does not hold reads as empty and changes nothing.
  EXPECT_EQ(qt.Control(4242), nullptr);
  EXPECT_EQ(w.GetText(4242), u"");
  EXPECT_EQ(w.GetCount(4242), 0);
  EXPECT_EQ(w.GetCurSel(4242), -1);
  EXPECT_EQ(w.AddString(4242, u"x"), -1);
  // Combo operations on a control of another kind do nothing either.
  EXPECT_EQ(w.AddString(1068, u"x"), -1);
  EXPECT_EQ(w.GetText(1068), u"Write");
}

}  // namespace
