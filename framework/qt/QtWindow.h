#pragma once
// The Qt widgets window of one dialog: a QDialog with one widget per template control,
// placed with absolute geometry in pixels converted from dialog units. Every user action is
// handed to the dialog object through its Dispatch* entry points; the widgets never decide
// anything themselves, so a QDialog here never closes, accepts or rejects on its own.
//
// Only the Qt host and the GUI tests include this header; it carries Qt headers and must
// therefore never meet X11 headers in one translation unit.

#include <QDialog>
#include <QFont>
#include <QPointer>
#include <QRect>
#include <QString>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/Dialog.h"

class QMenu;
class QMessageBox;
class QTimer;

namespace fw {

// UTF-16 text of the dialogs to and from Qt, code unit for code unit.
QString ToQString(std::u16string_view text);
WString FromQString(const QString& text);

// Pixels per dialog unit come from the dialog's font: the average width of the 52 letters
// A..Z and a..z, and the line height. One horizontal dialog unit is x / 4 pixels, one
// vertical unit y / 8 pixels.
struct BaseUnits {
  int x = 0;
  int y = 0;
};

// The font a template names. "System" (the handheld's dialog font) maps to the desktop's
// default sans-serif family; the point size is kept.
QFont DialogFont(const DialogTemplate& tpl);
BaseUnits DialogBaseUnits(const QFont& font);
// Converts edge by edge with rounding, so controls that touch in dialog units still touch
// in pixels.
QRect DialogUnitsToPixels(const Rect& rect, BaseUnits units);

class QtWindow;

// The top-level widget. Keys and close requests go to the window's dialog object.
class DialogWidget final : public QDialog {
 public:
  DialogWidget(QtWindow& window, QWidget* parent);
  // After this the widget only waits for its deferred deletion.
  void Detach() { window_ = nullptr; }
  // Enter, Escape and F1 reach the dialog from every control, before the control sees them.
  void WatchKeysOf(QWidget* control) { control->installEventFilter(this); }

  // A QDialog closes itself from accept(), reject() and done(); here nothing does.
  void done(int) override {}

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool HandleKey(QKeyEvent* event);

  QtWindow* window_;
};

class QtWindow final : public IWindow {
 public:
  // parent: the owner's widget for modeless secondary dialogs, so they stay above it.
  // onDestroyed runs from the destructor; the host ends modal runs with it.
  QtWindow(CDialog& dialog, const DialogTemplate& tpl, QWidget* parent,
           std::function<std::filesystem::path(int)> pictures, std::function<void(CDialog&)> onDestroyed);
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  WString GetText(int id) const override;
  void SetText(int id, const WString& text) override;
  int GetCheck(int id) const override;
  void SetCheck(int id, int state) override;
  // Enabled and visible read the control's own state, not its window's: a control of a
  // dialog that is not shown yet still reads as visible.
  bool IsEnabled(int id) const override;
  void Enable(int id, bool enable) override;
  bool IsVisible(int id) const override;
  void Show(int id, bool show) override;
  // Qt gives no focus to a disabled widget; the window keeps the request until the control
  // is enabled, so a dialog may give the focus to a control that a run keeps disabled.
  void SetFocus(int id) override;
  void SetRedraw(int id, bool redraw) override;
  void ScrollToEnd(int id) override;
  // A multi-line edit changes its document only at the two ends, which keeps the cost of
  // an append independent of the length of the text; like SetText it clears the undo
  // history and tells the dialog nothing. Other controls set their whole text.
  void AppendText(int id, const WString& text, size_t maxChars) override;
  // Adding to a combo box never selects anything by itself and never changes the text of
  // its edit field; deleting the selected entry leaves no selection and the text as it was;
  // ResetContent empties the list and keeps the edit field's text.
  int AddString(int id, const WString& text) override;
  int InsertString(int id, int index, const WString& text) override;
  int DeleteString(int id, int index) override;
  void ResetContent(int id) override;
  int GetCount(int id) const override;
  WString GetItemText(int id, int index) const override;
  int GetCurSel(int id) const override;
  int SetCurSel(int id, int index) override;
  // Positions beyond the range are clamped to it.
  void SetRange(int id, int lower, int upper) override;
  void SetPos(int id, int pos) override;
  int GetPos(int id) const override;
  void ShowWindow(bool show) override;
  bool IsWindowVisible() const override;
  // rect.x, rect.y place the window's frame; rect.w, rect.h become the fixed size of its
  // client area, the only part a window manager leaves to the program.
  void SetWindowPos(bool topmost, const Rect& rect) override;
  // The region is in the client area's pixels.
  void SetWindowRegion(const Rect* region) override;
  void CenterWindow() override;
  void SetIcon(int resource) override;
  void BringToFront() override;
  void AddMenuCommand(int commandId, const WString& text) override;
  unsigned SetTimer(unsigned id, unsigned periodMs) override;
  bool KillTimer(unsigned id) override;
  int MessageBox(const WString& text, const WString& caption, unsigned type) override;
  // The entries follow the control's own menu (a text field's copy and select-all).
  void AddMenuItem(int id, const WString& text, int commandId) override;
  WString AskSaveFileName(const WString& caption, const WString& suggested) override;

  // For the host and the tests.
  QDialog* Widget() const { return widget_; }
  QWidget* Control(int id) const;
  BaseUnits Units() const { return units_; }
  CDialog& Dialog() const { return dialog_; }

  // From DialogWidget.
  void OnKeyCommand(int id) { dialog_.DispatchCommand(id, Notify::Clicked); }
  void OnHelpKey() { dialog_.DispatchHelp(); }
  void OnCloseRequest() { dialog_.DispatchClose(); }
  // Controls that grow or move with the window follow its new size.
  void OnResized();
  // The menu a right click on the control opens, for the caller to show and delete; null
  // for a control without entries of the dialog.
  QMenu* MakeContextMenu(int id);

 private:
  struct ControlState {
    ControlKind kind = ControlKind::Static;
    uint32_t style = kStyleNone;
    QWidget* widget = nullptr;  // a child of widget_
    // The text as it was last set, for every kind whose widget shows it changed (wrapped
    // button captions, "\r\n" line ends) or not at all (pictures, progress bars).
    WString text;
    // Multi-line edit: the user changed the text since it was last set.
    bool edited = false;
    // Context menu entries of the dialog: text and command id.
    std::vector<std::pair<QString, int>> menu;
  };

  // A control that grows or moves with the window, with its place in the template's size.
  struct Growing {
    QWidget* widget;
    QRect place;
    uint32_t style;
  };

  QWidget* MakeControl(const ControlTemplate& ct, const QRect& px);
  void Send(int id, Notify code) { dialog_.DispatchCommand(id, code); }
  ControlState* Find(int id);
  const ControlState* Find(int id) const;
  ControlState* Find(int id, ControlKind kind);
  const ControlState* Find(int id, ControlKind kind) const;
  void ShowCaption(ControlState& c);
  QPixmap Picture(int resource) const;
  // The dialog object has let go of this window (it waits to be released after a handler);
  // nothing of it should stay on screen or keep running.
  bool Retired() const { return dialog_.Window() != this; }
  void Retire();
  void CloseBoxes();

  CDialog& dialog_;
  std::function<std::filesystem::path(int)> pictures_;
  std::function<void(CDialog&)> onDestroyed_;
  QPointer<DialogWidget> widget_;
  // The receiver of every connection to the widgets: deleting it cuts them all at once.
  std::unique_ptr<QObject> guard_;
  BaseUnits units_;
  QSize templateSize_;
  std::vector<Growing> growing_;
  std::map<int, ControlState> controls_;
  std::map<unsigned, QTimer*> timers_;  // children of widget_
  // A disabled control given the focus, which takes it once enabled.
  int pendingFocus_ = kStaticId;
  // Set while SetText changes a single-line edit, which sends its one notification itself.
  bool settingText_ = false;
  // Open message boxes, outermost first, and a flag that outlives this object for the code
  // that returns from a box's nested event loop.
  std::vector<QPointer<QMessageBox>> boxes_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace fw
