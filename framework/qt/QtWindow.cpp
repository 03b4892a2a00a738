#include "framework/qt/QtWindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegion>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStringView>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace fw {

namespace {

// How often an open message box looks whether its dialog has let go of the window, so that
// the box goes away with the window as an owned window does.
constexpr int kRetirePollMs = 50;

// Space left and right of a wrapped push button caption, for the button's frame.
constexpr int kButtonTextMargin = 3;

bool Has(uint32_t style, Style flag) { return (style & flag) != 0; }

// Multiplies and divides with rounding half away from zero, as the dialog unit conversion
// of the handheld does.
int MulDivRound(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}

// Text for display: "\r\n" line ends become line breaks.
QString DisplayText(std::u16string_view text) {
  QString s = ToQString(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return s;
}

// How many characters DisplayText makes of a text: a "\r\n" becomes one line break.
size_t DisplayLength(std::u16string_view text) {
  size_t pairs = 0;
  for (size_t i = 1; i < text.size(); ++i)
    if (text[i - 1] == u'\r' && text[i] == u'\n') ++pairs;
  return text.size() - pairs;
}

// Breaks a caption at spaces so that each line fits the width, as a multi-line push button
// of the handheld wraps its caption.
QString WrapCaption(const QString& caption, const QFontMetrics& fm, int width) {
  const QStringList words = caption.split(QLatin1Char(' '));
  QString out;
  QString line;
  for (const QString& word : words) {
    if (line.isEmpty()) {
      line = word;
    } else if (fm.horizontalAdvance(line + QLatin1Char(' ') + word) <= width) {
      line += QLatin1Char(' ') + word;
    } else {
      out += line + QLatin1Char('\n');
      line = word;
    }
  }
  return out + line;
}

// A group box caption may be written as a section rule, "__ Blocks ____", as it reads on a
// screen that draws no frames; the frame shows its words alone.
QString GroupTitle(const QString& caption) {
  qsizetype first = 0;
  qsizetype end = caption.size();
  auto rule = [](QChar c) { return c == QLatin1Char('_') || c.isSpace(); };
  while (first < end && rule(caption[first])) ++first;
  while (end > first && rule(caption[end - 1])) --end;
  return caption.mid(first, end - first);
}

// A radio button whose click checks it and leaves every other button alone: the dialogs'
// handlers keep their groups exclusive.
class RadioButton final : public QRadioButton {
 public:
  using QRadioButton::QRadioButton;

 protected:
  void nextCheckState() override { setChecked(true); }
};

QMessageBox::Icon BoxIcon(unsigned type) {
  switch (type & 0xF0u) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

}  // namespace

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

WString FromQString(const QString& text) {
  const QStringView view(text);
  return WString(view.utf16(), static_cast<size_t>(view.size()));
}

QFont DialogFont(const DialogTemplate& tpl) {
  const QString family = ToQString(tpl.fontName);
  QFont font;
  if (family.isEmpty() || family == QLatin1String("System") || family == QLatin1String("MS Shell Dlg") ||
      family == QLatin1String("MS Sans Serif")) {
    font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
  } else {
    font.setFamily(family);
  }
  font.setPointSize(tpl.fontPoints > 0 ? tpl.fontPoints : 8);
  return font;
}

BaseUnits DialogBaseUnits(const QFont& font) {
  const QFontMetrics fm(font);
  const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnits{std::max(1, (letters + 26) / 52), std::max(1, fm.height())};
}

QRect DialogUnitsToPixels(const Rect& rect, BaseUnits units) {
  const int left = MulDivRound(rect.x, units.x, 4);
  const int top = MulDivRound(rect.y, units.y, 8);
  const int right = MulDivRound(rect.x + rect.w, units.x, 4);
  const int bottom = MulDivRound(rect.y + rect.h, units.y, 8);
  return QRect(left, top, right - left, bottom - top);
}

// ---------------------------------------------------------------------------------------

DialogWidget::DialogWidget(QtWindow& window, QWidget* parent) : QDialog(parent), window_(&window) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(false);
}

bool DialogWidget::HandleKey(QKeyEvent* event) {
  if (event->key() == Qt::Key_Q && (event->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
    // Ctrl+Q quits from every window: the close request goes to the window that owns them
    // all, as its close button would send it.
    event->accept();
    DialogWidget* top = this;
    for (QWidget* w = parentWidget(); w; w = w->parentWidget())
      if (auto* d = dynamic_cast<DialogWidget*>(w)) top = d;
    if (!event->isAutoRepeat() && top->window_) top->window_->OnCloseRequest();
    return true;
  }
  if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  const int key = event->key();
  if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape && key != Qt::Key_F1) return false;
  event->accept();
  // A held key repeats; the dialog gets one command per press.
  if (event->isAutoRepeat() || !window_) return true;
  QtWindow* window = window_;
  if (key == Qt::Key_Escape) {
    window->OnKeyCommand(IDCANCEL);
  } else if (key == Qt::Key_F1) {
    window->OnHelpKey();
  } else {
    window->OnKeyCommand(IDOK);
  }
  return true;
}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
  if (!HandleKey(event)) QDialog::keyPressEvent(event);
}

void DialogWidget::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (window_) window_->OnResized();
}

void DialogWidget::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (window_) window_->OnCloseRequest();
}

bool DialogWidget::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && HandleKey(static_cast<QKeyEvent*>(event))) return true;
  return QDialog::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------

QtWindow::QtWindow(CDialog& dialog, const DialogTemplate& tpl, QWidget* parent,
                   std::function<std::filesystem::path(int)> pictures, std::function<void(CDialog&)> onDestroyed)
    : dialog_(dialog),
      pictures_(std::move(pictures)),
      onDestroyed_(std::move(onDestroyed)),
      widget_(new DialogWidget(*this, parent)),
      guard_(std::make_unique<QObject>()) {
  const QFont font = DialogFont(tpl);
  widget_->setFont(font);
  widget_->setWindowTitle(ToQString(tpl.title));
  units_ = DialogBaseUnits(font);

  const QRect frame = DialogUnitsToPixels(tpl.rect, units_);
  templateSize_ = frame.size();
  if (tpl.Resizable()) {
    widget_->setWindowFlag(Qt::WindowMaximizeButtonHint);
    widget_->setMinimumSize(templateSize_);
    widget_->resize(templateSize_);
  } else {
    widget_->setFixedSize(templateSize_);
  }
  // The template's position counts from the owner's client area, or from the screen.
  const QPoint origin = parent ? parent->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0);
  widget_->move(origin + frame.topLeft());

  for (const ControlTemplate& ct : tpl.controls) {
    const QRect px = DialogUnitsToPixels(ct.rect, units_);
    QWidget* w = MakeControl(ct, px);
    if (Has(ct.style, kHidden)) w->hide();
    if (Has(ct.style, kDisabled)) w->setEnabled(false);
    if (ct.id != kStaticId) {
      ControlState& c = controls_[ct.id];
      c.kind = ct.kind;
      c.style = ct.style;
      c.widget = w;
      c.text = ct.caption;
    }
    if (FollowsWindowSize(ct.style)) growing_.push_back({w, w->geometry(), ct.style});
  }
}

void QtWindow::OnResized() {
  if (!widget_) return;
  // The template's size is the smallest the window gets; a window made smaller anyway (a
  // placement of its own) does not shrink its controls below their template size.
  const int dx = std::max(0, widget_->width() - templateSize_.width());
  const int dy = std::max(0, widget_->height() - templateSize_.height());
  for (const Growing& g : growing_) {
    QRect r = g.place;
    if (Has(g.style, kGrowRight)) r.setWidth(r.width() + dx);
    if (Has(g.style, kGrowDown)) r.setHeight(r.height() + dy);
    if (Has(g.style, kMoveDown)) r.moveTop(r.top() + dy);
    if (Has(g.style, kMoveRight)) r.moveLeft(r.left() + dx);
    g.widget->setGeometry(r);
  }
}

QWidget* QtWindow::MakeControl(const ControlTemplate& ct, const QRect& px) {
  const int id = ct.id;
  const QString caption = DisplayText(ct.caption);
  QWidget* made = nullptr;
  switch (ct.kind) {
    case ControlKind::PushButton: {
      auto* b = new QPushButton(widget_);
      // Enter belongs to the dialog, not to the focused button; the default button only
      // looks the part (the dialog's key filter sees Enter first).
      b->setAutoDefault(false);
      b->setDefault(Has(ct.style, kDefaultButton));
      b->setText(Has(ct.style, kMultiLine) ? WrapCaption(caption, b->fontMetrics(), px.width() - 2 * kButtonTextMargin)
                                           : caption);
      QObject::connect(b, &QPushButton::clicked, guard_.get(), [this, id] { Send(id, Notify::Clicked); });
      made = b;
      break;
    }
    case ControlKind::CheckBox: {
      auto* b = new QCheckBox(caption, widget_);
      // clicked comes after the toggle and only from the user.
      QObject::connect(b, &QCheckBox::clicked, guard_.get(), [this, id] { Send(id, Notify::Clicked); });
      made = b;
      break;
    }
    case ControlKind::RadioButton: {
      auto* b = new RadioButton(caption, widget_);
      b->setAutoExclusive(false);
      QObject::connect(b, &QRadioButton::clicked, guard_.get(), [this, id] { Send(id, Notify::Clicked); });
      made = b;
      break;
    }
    case ControlKind::Edit: {
      if (Has(ct.style, kMultiLine)) {
        auto* e = new QPlainTextEdit(widget_);
        e->setReadOnly(Has(ct.style, kReadOnly));
        e->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        e->setVerticalScrollBarPolicy(Has(ct.style, kVScroll) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        e->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        if (!Has(ct.style, kBorder)) e->setFrameShape(QFrame::NoFrame);
        e->setPlainText(caption);
        QObject::connect(e, &QPlainTextEdit::textChanged, guard_.get(), [this, id] {
          if (settingText_) return;
          if (ControlState* c = Find(id)) c->edited = true;
        });
        made = e;
      } else {
        auto* e = new QLineEdit(widget_);
        e->setFrame(Has(ct.style, kBorder));
        e->setReadOnly(Has(ct.style, kReadOnly));
        // No margins of its own: a one-line edit is barely higher and wider than its text.
        e->setTextMargins(0, 0, 0, 0);
        e->setText(caption);
        QObject::connect(e, &QLineEdit::textChanged, guard_.get(), [this, id] {
          if (!settingText_) Send(id, Notify::Changed);
        });
        made = e;
      }
      break;
    }
    case ControlKind::Static: {
      auto* l = new QLabel(widget_);
      l->setTextFormat(Qt::PlainText);
      l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      l->setText(caption);
      // A label never takes the mouse from the controls it overlaps.
      l->setAttribute(Qt::WA_TransparentForMouseEvents);
      made = l;
      break;
    }
    case ControlKind::Bitmap: {
      auto* l = new QLabel(widget_);
      l->setAlignment(Qt::AlignCenter);
      l->setAttribute(Qt::WA_TransparentForMouseEvents);
      const QPixmap picture = Picture(ct.resource);
      if (!picture.isNull()) {
        l->setPixmap(picture.scaled(px.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
      }
      made = l;
      break;
    }
    case ControlKind::ComboBox: {
      auto* c = new QComboBox(widget_);
      c->setEditable(Has(ct.style, kDropDown));
      c->setInsertPolicy(QComboBox::NoInsert);
      if (c->isEditable()) {
        c->setCompleter(nullptr);
        QObject::connect(c->lineEdit(), &QLineEdit::textEdited, guard_.get(),
                         [this, id] { Send(id, Notify::EditChange); });
        widget_->WatchKeysOf(c->lineEdit());
      }
      QObject::connect(c, &QComboBox::activated, guard_.get(), [this, id] { Send(id, Notify::SelChange); });
      made = c;
      break;
    }
    case ControlKind::GroupBox: {
      auto* g = new QGroupBox(GroupTitle(caption), widget_);
      g->setAttribute(Qt::WA_TransparentForMouseEvents);
      g->setFocusPolicy(Qt::NoFocus);
      made = g;
      break;
    }
    case ControlKind::Progress: {
      auto* p = new QProgressBar(widget_);
      p->setTextVisible(false);
      p->setRange(0, 100);
      p->setValue(0);
      made = p;
      break;
    }
  }
  widget_->WatchKeysOf(made);

  QRect geometry = px;
  if (auto* combo = qobject_cast<QComboBox*>(made)) {
    // The template's height holds the opened list; the box itself is one field high.
    const int field = std::min(px.height(), combo->sizeHint().height());
    geometry.setHeight(field);
    const int row = std::max(1, QFontMetrics(widget_->font()).height() + 2);
    combo->setMaxVisibleItems(std::max(1, (px.height() - field) / row));
  }
  made->setGeometry(geometry);
  // A frame lies behind the controls it holds, whatever their order in the template.
  if (ct.kind == ControlKind::GroupBox) made->lower();
  return made;
}

QtWindow::~QtWindow() {
  *alive_ = false;
  for (auto& [id, timer] : timers_) timer->stop();
  // No further notification may reach the dialog object.
  guard_.reset();
  CloseBoxes();
  if (widget_) {
    widget_->Detach();
    // Owned dialogs get a life of their own rather than being deleted under their objects.
    for (QDialog* child : widget_->findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
      auto* owned = dynamic_cast<DialogWidget*>(child);
      if (!owned) continue;
      const bool visible = owned->isVisible();
      const QPoint position = owned->pos();
      owned->setParent(nullptr, owned->windowFlags());
      owned->move(position);
      owned->setVisible(visible);
    }
    widget_->hide();
    // This may run inside a signal of one of the widget's children, so it goes later.
    widget_->deleteLater();
  }
  if (onDestroyed_) onDestroyed_(dialog_);
}

void QtWindow::Retire() {
  for (auto& [id, timer] : timers_) timer->stop();
  CloseBoxes();
  if (widget_) widget_->hide();
}

void QtWindow::CloseBoxes() {
  // Innermost first; each one's nested loop returns once the loops inside it have.
  for (auto it = boxes_.rbegin(); it != boxes_.rend(); ++it) {
    if (*it) (*it)->done(QMessageBox::Cancel);
  }
}

QWidget* QtWindow::Control(int id) const {
  const ControlState* c = Find(id);
  return c ? c->widget : nullptr;
}

QtWindow::ControlState* QtWindow::Find(int id) {
  if (id == kStaticId || !widget_) return nullptr;
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

const QtWindow::ControlState* QtWindow::Find(int id) const {
  if (id == kStaticId || !widget_) return nullptr;
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

QtWindow::ControlState* QtWindow::Find(int id, ControlKind kind) {
  ControlState* c = Find(id);
  return c && c->kind == kind ? c : nullptr;
}

const QtWindow::ControlState* QtWindow::Find(int id, ControlKind kind) const {
  const ControlState* c = Find(id);
  return c && c->kind == kind ? c : nullptr;
}

QPixmap QtWindow::Picture(int resource) const {
  const std::filesystem::path file = pictures_ ? pictures_(resource) : std::filesystem::path();
  if (file.empty()) return QPixmap();
  return QPixmap(QString::fromStdString(file.string()));
}

// ---------------------------------------------------------------------------------------
// Texts

WString QtWindow::GetText(int id) const {
  const ControlState* c = Find(id);
  if (!c) return WString();
  switch (c->kind) {
    case ControlKind::Edit:
      if (Has(c->style, kMultiLine)) {
        if (!c->edited) return c->text;
        QString s = static_cast<QPlainTextEdit*>(c->widget)->toPlainText();
        s.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return FromQString(s);
      }
      return FromQString(static_cast<QLineEdit*>(c->widget)->text());
    case ControlKind::ComboBox:
      return FromQString(static_cast<QComboBox*>(c->widget)->currentText());
    default:
      return c->text;
  }
}

void QtWindow::ShowCaption(ControlState& c) {
  const QString shown = DisplayText(c.text);
  switch (c.kind) {
    case ControlKind::PushButton: {
      auto* b = static_cast<QPushButton*>(c.widget);
      b->setText(Has(c.style, kMultiLine) ? WrapCaption(shown, b->fontMetrics(), b->width() - 2 * kButtonTextMargin)
                                          : shown);
      break;
    }
    case ControlKind::CheckBox:
    case ControlKind::RadioButton:
      static_cast<QAbstractButton*>(c.widget)->setText(shown);
      break;
    case ControlKind::Static:
      static_cast<QLabel*>(c.widget)->setText(shown);
      break;
    case ControlKind::GroupBox:
      static_cast<QGroupBox*>(c.widget)->setTitle(GroupTitle(shown));
      break;
    default:
      break;
  }
}

void QtWindow::SetText(int id, const WString& text) {
  ControlState* c = Find(id);
  if (!c) return;
  switch (c->kind) {
    case ControlKind::Edit:
      if (Has(c->style, kMultiLine)) {
        c->text = text;
        c->edited = false;
        settingText_ = true;
        static_cast<QPlainTextEdit*>(c->widget)->setPlainText(DisplayText(text));
        settingText_ = false;
        return;
      }
      settingText_ = true;
      static_cast<QLineEdit*>(c->widget)->setText(ToQString(text));
      settingText_ = false;
      // Like a typed change, and once, even when the text stays the same. The dialog may
      // destroy this window from its handler, so nothing follows.
      Send(id, Notify::Changed);
      return;
    case ControlKind::ComboBox: {
      auto* combo = static_cast<QComboBox*>(c->widget);
      if (combo->isEditable()) combo->setEditText(ToQString(text));
      return;
    }
    default:
      c->text = text;
      ShowCaption(*c);
      return;
  }
}

void QtWindow::AppendText(int id, const WString& text, size_t maxChars) {
  ControlState* c = Find(id, ControlKind::Edit);
  if (!c || !Has(c->style, kMultiLine)) {
    IWindow::AppendText(id, text, maxChars);
    return;
  }
  if (c->edited) {
    // The user's edits are the text now.
    c->text = GetText(id);
    c->edited = false;
  }
  auto* edit = static_cast<QPlainTextEdit*>(c->widget);
  QTextDocument* document = edit->document();
  const bool undo = document->isUndoRedoEnabled();
  // Off and on again empties the undo history, as setPlainText does.
  document->setUndoRedoEnabled(false);
  settingText_ = true;

  // The document always shows DisplayText(c->text). A "\r" shown at the end already and a
  // "\n" starting the new text make one line break together.
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  if (!c->text.empty() && c->text.back() == u'\r' && !text.empty() && text.front() == u'\n') {
    cursor.deletePreviousChar();
    cursor.insertText(DisplayText(u"\r" + text));
  } else {
    cursor.insertText(DisplayText(text));
  }
  c->text += text;

  const size_t cut = BoundedStart(c->text, maxChars);
  if (cut > 0) {
    size_t shown = DisplayLength(std::u16string_view(c->text).substr(0, cut));
    // A cut between the two characters of a "\r\n" keeps its line break, which the
    // document shows as one character: the "\r" counted before the cut is not removed.
    if (c->text[cut - 1] == u'\r' && cut < c->text.size() && c->text[cut] == u'\n') --shown;
    cursor.setPosition(0);
    cursor.setPosition(static_cast<int>(shown), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    c->text.erase(0, cut);
  }

  settingText_ = false;
  document->setUndoRedoEnabled(undo);
}

// ---------------------------------------------------------------------------------------
// Buttons and states

int QtWindow::GetCheck(int id) const {
  const ControlState* c = Find(id);
  if (!c || (c->kind != ControlKind::CheckBox && c->kind != ControlKind::RadioButton)) return BST_UNCHECKED;
  return static_cast<QAbstractButton*>(c->widget)->isChecked() ? BST_CHECKED : BST_UNCHECKED;
}

void QtWindow::SetCheck(int id, int state) {
  ControlState* c = Find(id);
  if (!c || (c->kind != ControlKind::CheckBox && c->kind != ControlKind::RadioButton)) return;
  static_cast<QAbstractButton*>(c->widget)->setChecked(state == BST_CHECKED);
}

bool QtWindow::IsEnabled(int id) const {
  const ControlState* c = Find(id);
  return c && c->widget->isEnabledTo(widget_);
}

void QtWindow::Enable(int id, bool enable) {
  ControlState* c = Find(id);
  if (!c) return;
  c->widget->setEnabled(enable);
  if (enable && pendingFocus_ == id) SetFocus(id);
}

bool QtWindow::IsVisible(int id) const {
  const ControlState* c = Find(id);
  return c && !c->widget->isHidden();
}

void QtWindow::Show(int id, bool show) {
  if (ControlState* c = Find(id)) c->widget->setVisible(show);
}

void QtWindow::SetFocus(int id) {
  ControlState* c = Find(id);
  if (!c) return;
  if (!c->widget->isEnabledTo(widget_)) {
    pendingFocus_ = id;
    return;
  }
  pendingFocus_ = kStaticId;
  // In a window that is not active this makes the control the one that gets the focus
  // when the window is activated.
  c->widget->setFocus(Qt::OtherFocusReason);
}

void QtWindow::SetRedraw(int id, bool redraw) {
  if (ControlState* c = Find(id)) c->widget->setUpdatesEnabled(redraw);
}

void QtWindow::ScrollToEnd(int id) {
  ControlState* c = Find(id, ControlKind::Edit);
  if (!c) return;
  if (auto* e = qobject_cast<QPlainTextEdit*>(c->widget)) {
    e->moveCursor(QTextCursor::End);
    e->ensureCursorVisible();
    // The caret may already count as visible on a partly shown last line; a log's reader
    // wants the bottom.
    e->verticalScrollBar()->setValue(e->verticalScrollBar()->maximum());
  } else if (auto* line = qobject_cast<QLineEdit*>(c->widget)) {
    line->end(false);
  }
}

// ---------------------------------------------------------------------------------------
// Combo boxes

int QtWindow::AddString(int id, const WString& text) {
  ControlState* c = Find(id, ControlKind::ComboBox);
  if (!c) return -1;
  auto* combo = static_cast<QComboBox*>(c->widget);
  const QString item = ToQString(text);
  int index = combo->count();
  if (Has(c->style, kSorted)) {
    // Before the first entry that sorts after it, ignoring case; equal entries keep the
    // order in which they came.
    for (int i = 0; i < combo->count(); ++i) {
      if (QString::compare(combo->itemText(i), item, Qt::CaseInsensitive) > 0) {
        index = i;
        break;
      }
    }
  }
  return InsertString(id, index, text);
}

int QtWindow::InsertString(int id, int index, const WString& text) {
  ControlState* c = Find(id, ControlKind::ComboBox);
  if (!c) return -1;
  auto* combo = static_cast<QComboBox*>(c->widget);
  if (index == -1) index = combo->count();
  if (index < 0 || index > combo->count()) return -1;
  const int selected = combo->currentIndex();
  const QString editText = combo->currentText();
  combo->insertItem(index, ToQString(text));
  // Qt selects the first entry put into an empty list; the dialogs expect no selection.
  if (selected == -1 && combo->currentIndex() != -1) {
    combo->setCurrentIndex(-1);
    if (combo->isEditable()) combo->setEditText(editText);
  }
  return index;
}

int QtWindow::DeleteString(int id, int index) {
  ControlState* c = Find(id, ControlKind::ComboBox);
  if (!c) return -1;
  auto* combo = static_cast<QComboBox*>(c->widget);
  if (index < 0 || index >= combo->count()) return -1;
  const bool wasSelected = combo->currentIndex() == index;
  const QString editText = combo->currentText();
  combo->removeItem(index);
  if (wasSelected) combo->setCurrentIndex(-1);
  if (combo->isEditable()) combo->setEditText(editText);
  return combo->count();
}

void QtWindow::ResetContent(int id) {
  ControlState* c = Find(id, ControlKind::ComboBox);
  if (!c) return;
  auto* combo = static_cast<QComboBox*>(c->widget);
  const QString editText = combo->currentText();
  combo->clear();
  if (combo->isEditable()) combo->setEditText(editText);
}

int QtWindow::GetCount(int id) const {
  const ControlState* c = Find(id, ControlKind::ComboBox);
  return c ? static_cast<QComboBox*>(c->widget)->count() : 0;
}

WString QtWindow::GetItemText(int id, int index) const {
  const ControlState* c = Find(id, ControlKind::ComboBox);
  if (!c) return WString();
  auto* combo = static_cast<QComboBox*>(c->widget);
  if (index < 0 || index >= combo->count()) return WString();
  return FromQString(combo->itemText(index));
}

int QtWindow::GetCurSel(int id) const {
  const ControlState* c = Find(id, ControlKind::ComboBox);
  return c ? static_cast<QComboBox*>(c->widget)->currentIndex() : -1;
}

int QtWindow::SetCurSel(int id, int index) {
  ControlState* c = Find(id, ControlKind::ComboBox);
  if (!c) return -1;
  auto* combo = static_cast<QComboBox*>(c->widget);
  if (index < -1 || index >= combo->count()) return -1;
  // With -1 the edit field empties too.
  combo->setCurrentIndex(index);
  if (index == -1 && combo->isEditable()) combo->setEditText(QString());
  return index;
}

// ---------------------------------------------------------------------------------------
// Progress bars

void QtWindow::SetRange(int id, int lower, int upper) {
  ControlState* c = Find(id, ControlKind::Progress);
  if (!c) return;
  auto* bar = static_cast<QProgressBar*>(c->widget);
  const int pos = bar->value();
  bar->setRange(lower, upper);
  // Qt resets a bar whose value falls outside the new range.
  bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
}

void QtWindow::SetPos(int id, int pos) {
  ControlState* c = Find(id, ControlKind::Progress);
  if (!c) return;
  auto* bar = static_cast<QProgressBar*>(c->widget);
  bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
}

int QtWindow::GetPos(int id) const {
  const ControlState* c = Find(id, ControlKind::Progress);
  return c ? static_cast<QProgressBar*>(c->widget)->value() : 0;
}

// ---------------------------------------------------------------------------------------
// The window

void QtWindow::ShowWindow(bool show) {
  if (widget_) widget_->setVisible(show);
}

bool QtWindow::IsWindowVisible() const { return widget_ && widget_->isVisible(); }

namespace {

// Height of the handheld's own window caption, in pixels.
constexpr int kHandheldCaptionPx = 28;

}  // namespace

void QtWindow::SetWindowPos(bool topmost, const Rect& rect) {
  if (!widget_) return;
  if (widget_->windowFlags().testFlag(Qt::WindowStaysOnTopHint) != topmost) {
    // Changing window flags hides a window; it comes back as it was.
    const bool visible = widget_->isVisible();
    widget_->setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
    widget_->setVisible(visible);
  }
  // The rectangle is the whole window as the handheld counts it, caption included; here
  // the window manager draws the caption, so the client area is the rest.
  const QSize size(std::max(1, rect.w), std::max(1, rect.h - kHandheldCaptionPx));
  if (widget_->maximumWidth() == widget_->minimumWidth() && widget_->maximumHeight() == widget_->minimumHeight()) {
    widget_->setFixedSize(size);
  } else {
    // A window that grows stays resizable; it may be placed smaller than its template.
    widget_->setMinimumSize(templateSize_.boundedTo(size));
    widget_->resize(size);
  }
  widget_->move(rect.x, rect.y);
}

void QtWindow::SetWindowRegion(const Rect* region) {
  if (!widget_) return;
  if (region) {
    // Window coordinates on the handheld count its caption; the mask counts from the
    // client area.
    widget_->setMask(QRegion(region->x, region->y - kHandheldCaptionPx, region->w, region->h));
  } else {
    widget_->clearMask();
  }
}

void QtWindow::CenterWindow() {
  if (!widget_) return;
  QScreen* screen = widget_->screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = widget_->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  widget_->move(frame.topLeft());
}

void QtWindow::SetIcon(int resource) {
  if (!widget_) return;
  const QPixmap picture = Picture(resource);
  if (!picture.isNull()) widget_->setWindowIcon(QIcon(picture));
}

void QtWindow::AddMenuCommand(int commandId, const WString& text) {
  if (!widget_) return;
  auto* action = new QAction(ToQString(text), widget_);
  QObject::connect(action, &QAction::triggered, guard_.get(), [this, commandId] { Send(commandId, Notify::Clicked); });
  widget_->addAction(action);
  widget_->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void QtWindow::BringToFront() {
  if (!widget_) return;
  widget_->show();
  widget_->raise();
  widget_->activateWindow();
}

// ---------------------------------------------------------------------------------------
// Timers

unsigned QtWindow::SetTimer(unsigned id, unsigned periodMs) {
  if (!widget_ || id == 0) return 0;
  QTimer*& timer = timers_[id];
  if (!timer) {
    timer = new QTimer(widget_);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, guard_.get(), [this, id] {
      if (Retired()) {
        Retire();
        return;
      }
      dialog_.DispatchTimer(id);
    });
  }
  timer->start(static_cast<int>(std::min<unsigned>(periodMs, 0x7FFFFFFF)));
  return id;
}

bool QtWindow::KillTimer(unsigned id) {
  auto it = timers_.find(id);
  if (it == timers_.end() || !it->second->isActive()) return false;
  it->second->stop();
  return true;
}

// ---------------------------------------------------------------------------------------
// Message boxes

int QtWindow::MessageBox(const WString& text, const WString& caption, unsigned type) {
  const bool yesNo = (type & 0x0Fu) == MB_YESNO;
  const int dismissed = yesNo ? IDNO : IDOK;
  if (!widget_) return dismissed;

  QString shown = ToQString(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));

  auto* box = new QMessageBox(widget_);
  box->setWindowTitle(ToQString(caption));
  box->setTextFormat(Qt::PlainText);
  box->setText(shown);
  box->setIcon(BoxIcon(type));
  box->setWindowModality(Qt::WindowModal);
  if (yesNo) {
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::Yes);
    box->setEscapeButton(QMessageBox::No);
  } else {
    box->setStandardButtons(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
  }
  // Boxes may nest: a timer tick can ask while an earlier box waits for its answer.
  boxes_.push_back(box);

  // An owned box goes away with its window, also when the dialog object merely lets go of
  // the window while the box is open.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, guard_.get(), [this] {
    if (Retired()) Retire();
  });
  poll.start(kRetirePollMs);

  // Timers keep ticking in this nested loop, and one of them may destroy this window.
  const std::shared_ptr<bool> alive = alive_;
  QPointer<QMessageBox> guardBox(box);
  const int answer = box->exec();
  if (!*alive) {
    // The box belongs to the destroyed window's widget and goes with it.
    return dismissed;
  }
  poll.stop();
  boxes_.erase(std::remove(boxes_.begin(), boxes_.end(), guardBox), boxes_.end());
  if (guardBox) guardBox->deleteLater();
  switch (answer) {
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    case QMessageBox::Ok:
      return IDOK;
    default:
      return dismissed;
  }
}

// ---------------------------------------------------------------------------------------
// Context menus and file choosers

void QtWindow::AddMenuItem(int id, const WString& text, int commandId) {
  ControlState* c = Find(id);
  if (!c) return;
  if (c->menu.empty()) {
    c->widget->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(c->widget, &QWidget::customContextMenuRequested, guard_.get(), [this, id](const QPoint& at) {
      QWidget* control = Control(id);
      QMenu* menu = MakeContextMenu(id);
      if (!control || !menu) return;
      // The window may go while the menu is open; the menu goes with it.
      QPointer<QMenu> guard(menu);
      menu->exec(control->mapToGlobal(at));
      if (guard) guard->deleteLater();
    });
  }
  c->menu.emplace_back(ToQString(text), commandId);
}

QMenu* QtWindow::MakeContextMenu(int id) {
  ControlState* c = Find(id);
  if (!c || c->menu.empty()) return nullptr;
  QMenu* menu = nullptr;
  if (auto* edit = qobject_cast<QPlainTextEdit*>(c->widget)) {
    menu = edit->createStandardContextMenu();
  } else if (auto* line = qobject_cast<QLineEdit*>(c->widget)) {
    menu = line->createStandardContextMenu();
  }
  if (menu) {
    menu->setParent(widget_, menu->windowFlags());
    menu->addSeparator();
  } else {
    menu = new QMenu(widget_);
  }
  for (const auto& [text, command] : c->menu) {
    QAction* action = menu->addAction(text);
    QObject::connect(action, &QAction::triggered, guard_.get(), [this, command] { Send(command, Notify::Clicked); });
  }
  return menu;
}

WString QtWindow::AskSaveFileName(const WString& caption, const WString& suggested) {
  if (!widget_) return {};
  auto* chooser = new QFileDialog(widget_, ToQString(caption));
  chooser->setAcceptMode(QFileDialog::AcceptSave);
  chooser->setFileMode(QFileDialog::AnyFile);
  chooser->selectFile(ToQString(suggested));
  QPointer<QFileDialog> guard(chooser);
  // Timers keep ticking meanwhile, and one of them may destroy this window.
  const std::shared_ptr<bool> alive = alive_;
  const int result = chooser->exec();
  if (!*alive || !guard) return {};
  const QStringList chosen = guard->selectedFiles();
  guard->deleteLater();
  if (result != QDialog::Accepted || chosen.isEmpty()) return {};
  return FromQString(chosen.front());
}

}  // namespace fw
