#pragma once
// The headless host: windows with in-memory controls, a clock that is either virtual
// (tests advance it) or real (the --headless terminal) and scripted message-box answers.
// The terminal that prints and takes commands is HeadlessTerminal.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/Dialog.h"

namespace fw {

class HeadlessHost;

struct ControlState {
  const ControlTemplate* tpl = nullptr;
  WString text;
  int check = BST_UNCHECKED;
  bool enabled = true;
  bool visible = true;
  bool redraw = true;
  std::vector<WString> items;
  int curSel = -1;
  int rangeLow = 0;
  int rangeHigh = 100;
  int pos = 0;
  int scrolledToEnd = 0;  // ScrollToEnd calls, for tests
  // Context menu entries added by the dialog: text and command id, in order.
  std::vector<std::pair<WString, int>> menu;
};

class HeadlessWindow : public IWindow {
 public:
  HeadlessWindow(HeadlessHost& host, CDialog& dialog, const DialogTemplate& tpl, CDialog* owner);
  ~HeadlessWindow() override;

  const DialogTemplate& Template() const { return tpl_; }
  CDialog& Dialog() const { return dialog_; }
  CDialog* Owner() const { return owner_; }
  // Null for an id the template does not hold.
  ControlState* Control(int id);
  const ControlState* Control(int id) const;

  // Window state, for tests.
  bool topmost = false;
  std::optional<Rect> placement;  // last SetWindowPos, pixels
  std::optional<Rect> region;     // null: whole window
  int regionCalls = 0;
  int icon = 0;
  bool centred = false;
  int broughtToFront = 0;

  // IWindow
  WString GetText(int id) const override;
  void SetText(int id, const WString& text) override;
  int GetCheck(int id) const override;
  void SetCheck(int id, int state) override;
  bool IsEnabled(int id) const override;
  void Enable(int id, bool enable) override;
  bool IsVisible(int id) const override;
  void Show(int id, bool show) override;
  void SetFocus(int id) override;
  void SetRedraw(int id, bool redraw) override;
  void ScrollToEnd(int id) override;
  void AppendText(int id, const WString& text, size_t maxChars) override;
  int AddString(int id, const WString& text) override;
  int InsertString(int id, int index, const WString& text) override;
  int DeleteString(int id, int index) override;
  void ResetContent(int id) override;
  int GetCount(int id) const override;
  WString GetItemText(int id, int index) const override;
  int GetCurSel(int id) const override;
  int SetCurSel(int id, int index) override;
  void SetRange(int id, int lower, int upper) override;
  void SetPos(int id, int pos) override;
  int GetPos(int id) const override;
  void ShowWindow(bool show) override;
  bool IsWindowVisible() const override { return visible_; }
  void SetWindowPos(bool topmostFlag, const Rect& rect) override;
  void SetWindowRegion(const Rect* rgn) override;
  void CenterWindow() override { centred = true; }
  void SetIcon(int resource) override { icon = resource; }
  void BringToFront() override;
  unsigned SetTimer(unsigned id, unsigned periodMs) override;
  bool KillTimer(unsigned id) override;
  int MessageBox(const WString& text, const WString& caption, unsigned type) override;
  void AddMenuItem(int id, const WString& text, int commandId) override;
  WString AskSaveFileName(const WString& caption, const WString& suggested) override;
  // Chooses the context menu entry of that text on the control, as a user would; false
  // when the control has no such entry.
  bool ChooseMenuItem(int id, const WString& text);

 private:
  HeadlessHost& host_;
  CDialog& dialog_;
  const DialogTemplate& tpl_;
  CDialog* owner_;
  std::map<int, ControlState> controls_;
  bool visible_ = false;
  // A disabled control given the focus, which takes it once enabled.
  int pendingFocus_ = kStaticId;
};

struct MessageBoxRecord {
  int templateId = 0;
  WString text;
  WString caption;
  unsigned type = 0;
  int answer = 0;
};

// Sees what the host does in a user's place. The terminal prints the message boxes; tests
// keep a record of everything. The host itself keeps none of it: it runs for days.
class IHeadlessWatcher {
 public:
  virtual void OnMessageBox(const MessageBoxRecord&) {}
  virtual void OnSleep(unsigned /*ms*/) {}
  virtual void OnFileChooser(const WString& /*caption*/) {}

 protected:
  ~IHeadlessWatcher() = default;
};

class HeadlessHost : public IHost {
 public:
  enum class ClockKind { Virtual, Real };
  explicit HeadlessHost(ClockKind clock = ClockKind::Virtual);
  ~HeadlessHost() override;

  // IHost
  std::unique_ptr<IWindow> CreateDialogWindow(CDialog& dialog, const DialogTemplate& tpl, CDialog* owner) override;
  void RunModal(CDialog& dialog) override;
  void EndModal(CDialog& dialog) override;
  void Sleep(unsigned ms) override;
  uint64_t NowMs() const override;
  void WatchFd(int fd, std::function<void()> onReadable) override;
  void UnwatchFd(int fd) override;
  // The tray icon is kept as its tool tip (empty: no icon), and a test clicks it.
  void ShowTrayIcon(int, const WString& toolTip, std::function<void()> onActivated) override {
    trayToolTip_ = toolTip;
    trayActivated_ = std::move(onActivated);
  }
  void HideTrayIcon() override {
    trayToolTip_.clear();
    trayActivated_ = nullptr;
  }
  const WString& TrayToolTip() const { return trayToolTip_; }
  void ClickTrayIcon() {
    if (auto activated = trayActivated_) activated();
  }

  // Virtual clock: moves time forward by ms, delivering the timer ticks that come due in
  // order. A handler that sleeps moves the clock too; ticks it misses are coalesced.
  void Advance(uint64_t ms);
  // Runs the message loop (either clock) until done() holds or maxMs pass; true if done.
  bool RunUntil(const std::function<bool()>& done, uint64_t maxMs);
  // Total of all Sleep calls, for tests of the fixed waits.
  uint64_t SleptMs() const { return sleptMs_; }

  // Message boxes: answers are taken from the queue, else Yes for Yes/No and OK for OK.
  // A hook, when set, answers instead (and may advance the clock "while the box is open").
  void QueueAnswer(int answer) { answers_.push_back(answer); }
  void SetMessageBoxHook(std::function<int(const MessageBoxRecord&)> hook) { boxHook_ = std::move(hook); }
  // File choosers: each takes the next queued path; without one the user cancels.
  void QueueFileName(WString path) { fileNames_.push_back(std::move(path)); }
  // A procedure that keeps failing asks "try again?" without end; nobody at a terminal
  // script can stop Yes answered by default. With a limit, at most that many retry
  // questions in a row of one dialog take the default Yes, the next takes No. Answers
  // queued with QueueAnswer ("answer yes") are not limited. 0: no limit.
  void SetDefaultRetryLimit(int limit) { retryLimit_ = limit; }

  // The keyboard focus: the window and control that have it, null and kStaticId when no
  // control has. SetFocus and a user's click, check or text command give it; disabling the
  // control that has it takes it away (Qt would pass it on to the next control).
  HeadlessWindow* FocusWindow() const { return focusWindow_; }
  int FocusControl() const { return focusControl_; }

  // Live windows, oldest first; FindWindow gives the newest of a template (null if none).
  const std::vector<HeadlessWindow*>& Windows() const { return windows_; }
  HeadlessWindow* FindWindow(int templateId) const;

  // A watcher is told of every message box as it is answered, every Sleep and every file
  // chooser, until it is removed.
  void AddWatcher(IHeadlessWatcher* watcher) { watchers_.push_back(watcher); }
  void RemoveWatcher(IHeadlessWatcher* watcher);
  // Calls tell(watcher) for each watcher; a watcher may remove itself meanwhile.
  template <typename Tell>
  void TellWatchers(Tell tell) {
    for (IHeadlessWatcher* watcher : std::vector(watchers_)) tell(*watcher);
  }
  // Ends the running modal loop (the "quit" command, a signal).
  void Quit();
  bool QuitRequested() const { return quit_; }

  // For windows.
  void AddTimer(HeadlessWindow* w, unsigned id, unsigned periodMs);
  bool RemoveTimer(HeadlessWindow* w, unsigned id);
  void RemoveWindow(HeadlessWindow* w);
  void SetFocus(HeadlessWindow* w, int id);
  int AnswerBox(MessageBoxRecord record);
  // The timers that run, for tests: (template id, timer id) -> period.
  std::vector<std::pair<int, unsigned>> Timers() const;
  unsigned TimerPeriod(int templateId, unsigned id) const;

 private:
  struct Timer {
    HeadlessWindow* window;
    unsigned id;
    unsigned period;
    uint64_t due;
    uint64_t serial;
  };
  // Fires the earliest timer due at or before limit; false when none is due.
  bool FireNextTimer(uint64_t limit);
  void PollOnce(int timeoutMs);

  ClockKind clock_;
  uint64_t virtualNow_ = 0;
  uint64_t realStart_ = 0;
  uint64_t sleptMs_ = 0;
  uint64_t timerSerial_ = 0;
  std::vector<Timer> timers_;
  std::vector<HeadlessWindow*> windows_;
  HeadlessWindow* focusWindow_ = nullptr;
  int focusControl_ = kStaticId;
  std::deque<int> answers_;
  std::deque<WString> fileNames_;
  friend class HeadlessWindow;
  WString trayToolTip_;
  std::function<void()> trayActivated_;
  int retryLimit_ = 0;
  std::map<int, int> defaultRetries_;  // per dialog template: retry questions in a row
  std::function<int(const MessageBoxRecord&)> boxHook_;
  std::map<int, std::function<void()>> fds_;
  std::vector<IHeadlessWatcher*> watchers_;
  std::vector<CDialog*> modalStack_;
  std::map<CDialog*, bool> modalEnded_;
  bool quit_ = false;
};

// "\r" and "\n" written as the two characters \r and \n, for one-line output.
std::string EscapeForLine(const WString& text);
// UTF-8 with control characters other than CR and LF (below 0x20, and 0x7F) written as
// \xNN, so text from outside cannot drive a terminal.
std::string EscapeControls(const WString& text);
// "Yes", "No", "Cancel" or "OK".
const char* AnswerName(int answer);

}  // namespace fw
