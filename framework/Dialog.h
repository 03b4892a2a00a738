#pragma once
// The dialog framework the three dialogs are built on: a dialog made from a template,
// controls addressed by id, a message map for clicks and text changes, window timers,
// message boxes, show/hide, placement, window region, destroy, modal and modeless runs.
//
// The dialog classes see only CDialog and the control wrappers. A host (Qt widgets or the
// in-memory headless host) makes the windows, delivers their events through the
// Dispatch* entry points and owns time: SetTimer ticks and the blocking Sleep.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "framework/Template.h"
#include "text/Text.h"

namespace fw {

class CDialog;

// Notifications a control sends to its dialog.
enum class Notify {
  Clicked,     // push button, check box or radio button pressed (check boxes toggle first)
  Changed,     // edit control text changed, by the user or by SetText
  EditChange,  // combo box edit field changed by the user (not by SetText)
  SelChange,   // combo box selection changed by the user
};

// Message box buttons and answers.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Check states of buttons.
inline constexpr int BST_UNCHECKED = 0;
inline constexpr int BST_CHECKED = 1;

// Where a text bounded to maxChars characters starts: 0 when it fits, else past the oldest
// characters beyond the bound and, where a line end ('\n') follows them before the end of
// the text, past that line end too, so that what is kept starts a line of its own.
size_t BoundedStart(std::u16string_view text, size_t maxChars);
inline WString BoundedText(const WString& text, size_t maxChars) { return text.substr(BoundedStart(text, maxChars)); }

// The window a host made for a dialog. Control calls with an id the template does not
// hold do nothing and read as empty, 0 or false.
class IWindow {
 public:
  virtual ~IWindow() = default;

  virtual WString GetText(int id) const = 0;
  // For edit controls this sends Notify::Changed to the dialog, as a user edit would.
  virtual void SetText(int id, const WString& text) = 0;
  virtual int GetCheck(int id) const = 0;
  virtual void SetCheck(int id, int state) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void Enable(int id, bool enable) = 0;
  virtual bool IsVisible(int id) const = 0;
  virtual void Show(int id, bool show) = 0;
  // Gives the control the keyboard focus within its window (the window is not activated by
  // it). A disabled control takes the focus once it is enabled again, unless another
  // control is given the focus first.
  virtual void SetFocus(int id) = 0;

  // Edit controls: suspend and resume painting; put the caret at the end and scroll to it.
  virtual void SetRedraw(int id, bool redraw) = 0;
  virtual void ScrollToEnd(int id) = 0;
  // Edit controls: the text becomes BoundedText(GetText(id) + text, maxChars), with the
  // notification SetText gives. Hosts change only the two ends, so that a long text such
  // as a log costs no more to add to than a short one; this fallback sets the whole text.
  virtual void AppendText(int id, const WString& text, size_t maxChars) {
    SetText(id, BoundedText(GetText(id) + text, maxChars));
  }

  // Combo boxes. Indexes are 0-based; -1 means none or failure.
  virtual int AddString(int id, const WString& text) = 0;
  virtual int InsertString(int id, int index, const WString& text) = 0;
  virtual int DeleteString(int id, int index) = 0;
  virtual void ResetContent(int id) = 0;
  virtual int GetCount(int id) const = 0;
  virtual WString GetItemText(int id, int index) const = 0;
  virtual int GetCurSel(int id) const = 0;
  virtual int SetCurSel(int id, int index) = 0;

  // Progress bars.
  virtual void SetRange(int id, int lower, int upper) = 0;
  virtual void SetPos(int id, int pos) = 0;
  virtual int GetPos(int id) const = 0;

  // The window itself. Positions and regions are in screen pixels.
  virtual void ShowWindow(bool show) = 0;
  virtual bool IsWindowVisible() const = 0;
  virtual void SetWindowPos(bool topmost, const Rect& rect) = 0;
  virtual void SetWindowRegion(const Rect* region) = 0;  // null: the whole window
  virtual void CenterWindow() = 0;
  virtual void SetIcon(int resource) = 0;
  virtual void BringToFront() = 0;
  // An entry of the window's own context menu (a right click on the window outside a
  // control with a menu of its own): choosing it sends Notify::Clicked for commandId, as a
  // button with that id would. Hosts without menus do nothing.
  virtual void AddMenuCommand(int commandId, const WString& text) { (void)commandId, (void)text; }

  // Window timers: ticks arrive through CDialog::DispatchTimer(id). Setting an id that
  // runs already restarts it with the new period. Returns the id, or 0 on failure.
  virtual unsigned SetTimer(unsigned id, unsigned periodMs) = 0;
  virtual bool KillTimer(unsigned id) = 0;

  // Modal message box owned by this window; returns IDOK, IDYES or IDNO. Timers keep
  // ticking while it is open, as they do on the handheld.
  virtual int MessageBox(const WString& text, const WString& caption, unsigned type) = 0;

  // Adds an entry to the menu a right click on the control opens, after the control's own
  // entries where it has any. Choosing it sends Notify::Clicked with commandId to the
  // dialog, so commandId must not be the id of one of its controls.
  virtual void AddMenuItem(int id, const WString& text, int commandId) { (void)id, (void)text, (void)commandId; }
  // A modal file chooser owned by this window, for a file to write: the path chosen
  // (confirmed to be replaced where it exists), empty when the user cancels. suggested is
  // the file name offered first.
  virtual WString AskSaveFileName(const WString& caption, const WString& suggested) {
    (void)caption, (void)suggested;
    return {};
  }
};

// The host: makes windows, runs the message loop, owns time.
class IHost {
 public:
  virtual ~IHost() = default;

  // Makes the window of a dialog from its template; the dialog's OnInitDialog is called
  // by CDialog afterwards. Returns null when the window cannot be made.
  virtual std::unique_ptr<IWindow> CreateDialogWindow(CDialog& dialog, const DialogTemplate& tpl, CDialog* owner) = 0;

  // Runs the message loop until the dialog's modal run ends (EndDialog) or its window is
  // destroyed.
  virtual void RunModal(CDialog& dialog) = 0;
  virtual void EndModal(CDialog& dialog) = 0;

  // Blocks the user-interface thread. Nothing is dispatched meanwhile.
  virtual void Sleep(unsigned ms) = 0;
  virtual uint64_t NowMs() const = 0;

  // Calls onReadable from the message loop whenever fd has input (hot key and scan button
  // sources). The callback must read what is there.
  virtual void WatchFd(int fd, std::function<void()> onReadable) = 0;
  virtual void UnwatchFd(int fd) = 0;

  // An icon in the desktop's system tray, where there is one, with a tool tip; a click on
  // it calls onActivated from the message loop. Showing it again replaces the tool tip and
  // the callback. Hosts without a tray do nothing.
  virtual void ShowTrayIcon(int iconResource, const WString& toolTip, std::function<void()> onActivated) {
    (void)iconResource, (void)toolTip, (void)onActivated;
  }
  virtual void HideTrayIcon() {}
};

class CDialog {
 public:
  // The template stays the caller's and must outlive the dialog.
  CDialog(IHost& host, const DialogTemplate& tpl);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Modal run: makes the window, initialises it, shows it and runs the host's loop until
  // EndDialog or destruction. Returns the EndDialog result, or -1 when no window was made.
  int DoModal();
  // Modeless: makes the window with owner as its owner and initialises it; the caller
  // shows it. Returns false when the window cannot be made.
  bool Create(CDialog* owner);
  // Destroys the window (OnDestroy runs first); the object stays.
  bool DestroyWindow();
  void EndDialog(int result);

  bool IsWindow() const { return window_ != nullptr; }
  // True while one of the dialog's handlers or message boxes is on the stack. An owner
  // must not delete a dialog object that is busy, even when its window is gone.
  bool IsBusy() const { return busy_ > 0; }
  bool IsModal() const { return modal_; }
  int TemplateId() const { return tpl_.id; }
  int ModalResult() const { return modalResult_; }
  IHost& Host() const { return host_; }
  IWindow* Window() const { return window_.get(); }

  // Entry points for hosts. They do nothing once the window is gone.
  void DispatchCommand(int id, Notify code);
  void DispatchTimer(unsigned id);
  void DispatchClose();
  void DispatchHotKey(int id, uint32_t lparam);
  void DispatchHelp();
  // True when the message map or a built-in command handles this id and notification.
  bool Handles(int id, Notify code) const;

  // Called once, after OnDestroy, when the window has been destroyed. Owners use it to
  // stop talking to a closed dialog.
  void SetDestroyObserver(std::function<void()> observer) { destroyObserver_ = std::move(observer); }

  // Control and window helpers: no-ops without a window.
  WString GetDlgItemText(int id) const;
  void SetDlgItemText(int id, const WString& text);
  int IsDlgButtonChecked(int id) const;
  void CheckDlgButton(int id, int state);
  unsigned SetTimer(unsigned id, unsigned periodMs);
  bool KillTimer(unsigned id);
  int MessageBox(const WString& text, const WString& caption, unsigned type);
  void ShowWindow(bool show);
  bool IsWindowVisible() const;
  void Sleep(unsigned ms) { host_.Sleep(ms); }

 protected:
  virtual bool OnInitDialog() { return true; }
  virtual void OnTimer(unsigned id) { (void)id; }
  virtual void OnHotKey(int id, uint32_t lparam) { (void)id, (void)lparam; }
  virtual void OnClose() { OnCancel(); }
  virtual void OnDestroy() {}
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  virtual void OnHelpInfo() {}

  // The message map.
  using Handler = std::function<void()>;
  void MapCommand(int id, Notify code, Handler handler);
  void MapClicked(int id, Handler handler) { MapCommand(id, Notify::Clicked, std::move(handler)); }

 private:
  bool MakeWindow(CDialog* owner);
  class BusyScope;

  IHost& host_;
  const DialogTemplate& tpl_;
  std::unique_ptr<IWindow> window_;
  // Windows destroyed while a handler or message box of theirs was running; released when
  // the outermost one returns.
  std::vector<std::unique_ptr<IWindow>> retired_;
  int busy_ = 0;
  std::map<std::pair<int, Notify>, Handler> messageMap_;
  std::function<void()> destroyObserver_;
  bool modal_ = false;
  bool ending_ = false;
  int modalResult_ = -1;
};

}  // namespace fw
