#include "framework/headless/HeadlessHost.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <limits>
#include <sstream>
#include <string_view>
#include <thread>

namespace fw {
namespace {

// The loop wakes at least this often to look at its clock.
constexpr int kMaxPollWaitMs = 1000;

uint64_t SteadyMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int CompareNoCase(const WString& a, const WString& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// A question that offers the failed step again: "... try again?" or "... Try again.".
bool IsRetryQuestion(const WString& text) {
  std::string t = ToUtf8(text);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\r' || t.back() == '\n')) t.pop_back();
  if (!t.empty() && (t.back() == '?' || t.back() == '.')) t.pop_back();
  constexpr std::string_view kTail = "try again";
  if (t.size() < kTail.size()) return false;
  std::string tail = t.substr(t.size() - kTail.size());
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == kTail;
}

}  // namespace

const char* AnswerName(int answer) {
  switch (answer) {
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    case IDCANCEL:
      return "Cancel";
    default:
      return "OK";
  }
}

namespace {

// Writes text as UTF-8, with the characters for which special() holds spelled by spell().
template <typename Special, typename Spell>
std::string Escape(const WString& text, Special special, Spell spell) {
  std::string out;
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!special(text[i])) continue;
    out += ToUtf8(std::u16string_view(text).substr(run, i - run));
    out += spell(text[i]);
    run = i + 1;
  }
  out += ToUtf8(std::u16string_view(text).substr(run));
  return out;
}

bool IsControl(char16_t c) { return (c < 0x20 && c != u'\r' && c != u'\n') || c == 0x7F; }

std::string Hex(char16_t c) {
  static const char* hex = "0123456789ABCDEF";
  return std::string("\\x") + hex[(c >> 4) & 0xF] + hex[c & 0xF];
}

}  // namespace

std::string EscapeForLine(const WString& text) {
  return Escape(
      text, [](char16_t c) { return c == u'\r' || c == u'\n' || IsControl(c); },
      [](char16_t c) -> std::string {
        if (c == u'\r') return "\\r";
        if (c == u'\n') return "\\n";
        return Hex(c);
      });
}

std::string EscapeControls(const WString& text) { return Escape(text, IsControl, Hex); }

// ---------------------------------------------------------------------------------------
// HeadlessWindow

HeadlessWindow::HeadlessWindow(HeadlessHost& host, CDialog& dialog, const DialogTemplate& tpl, CDialog* owner)
    : host_(host), dialog_(dialog), tpl_(tpl), owner_(owner) {
  for (const auto& c : tpl.controls) {
    if (c.id == kStaticId) continue;
    ControlState s;
    s.tpl = &c;
    s.text = c.caption;
    s.enabled = (c.style & kDisabled) == 0;
    s.visible = (c.style & kHidden) == 0;
    controls_[c.id] = std::move(s);
  }
}

HeadlessWindow::~HeadlessWindow() { host_.RemoveWindow(this); }

ControlState* HeadlessWindow::Control(int id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

const ControlState* HeadlessWindow::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

WString HeadlessWindow::GetText(int id) const {
  const auto* c = Control(id);
  return c ? c->text : WString();
}

void HeadlessWindow::SetText(int id, const WString& text) {
  auto* c = Control(id);
  if (!c) return;
  c->text = text;
  // An edit control reports every change of its text, also one made by the program.
  if (c->tpl->kind == ControlKind::Edit) dialog_.DispatchCommand(id, Notify::Changed);
}

int HeadlessWindow::GetCheck(int id) const {
  const auto* c = Control(id);
  return c ? c->check : BST_UNCHECKED;
}

void HeadlessWindow::SetCheck(int id, int state) {
  if (auto* c = Control(id)) c->check = state;
}

bool HeadlessWindow::IsEnabled(int id) const {
  const auto* c = Control(id);
  return c && c->enabled;
}

void HeadlessWindow::Enable(int id, bool enable) {
  auto* c = Control(id);
  if (!c) return;
  c->enabled = enable;
  if (enable && pendingFocus_ == id) {
    pendingFocus_ = kStaticId;
    host_.SetFocus(this, id);
  } else if (!enable && host_.FocusWindow() == this && host_.FocusControl() == id) {
    host_.SetFocus(nullptr, kStaticId);
  }
}

bool HeadlessWindow::IsVisible(int id) const {
  const auto* c = Control(id);
  return c && c->visible;
}

void HeadlessWindow::Show(int id, bool show) {
  if (auto* c = Control(id)) c->visible = show;
}

void HeadlessWindow::SetFocus(int id) {
  const auto* c = Control(id);
  if (!c) return;
  if (!c->enabled) {
    pendingFocus_ = id;
    return;
  }
  pendingFocus_ = kStaticId;
  host_.SetFocus(this, id);
}

void HeadlessWindow::SetRedraw(int id, bool redraw) {
  if (auto* c = Control(id)) c->redraw = redraw;
}

void HeadlessWindow::ScrollToEnd(int id) {
  if (auto* c = Control(id)) ++c->scrolledToEnd;
}

void HeadlessWindow::AppendText(int id, const WString& text, size_t maxChars) {
  auto* c = Control(id);
  if (!c) return;
  if (c->tpl->kind != ControlKind::Edit) {
    IWindow::AppendText(id, text, maxChars);
    return;
  }
  c->text += text;
  c->text.erase(0, BoundedStart(c->text, maxChars));
  dialog_.DispatchCommand(id, Notify::Changed);
}

int HeadlessWindow::AddString(int id, const WString& text) {
  auto* c = Control(id);
  if (!c || c->tpl->kind != ControlKind::ComboBox) return -1;
  if (c->tpl->style & kSorted) {
    size_t i = 0;
    while (i < c->items.size() && CompareNoCase(c->items[i], text) <= 0) ++i;
    c->items.insert(c->items.begin() + static_cast<std::ptrdiff_t>(i), text);
    if (c->curSel >= static_cast<int>(i)) ++c->curSel;
    return static_cast<int>(i);
  }
  c->items.push_back(text);
  return static_cast<int>(c->items.size()) - 1;
}

int HeadlessWindow::InsertString(int id, int index, const WString& text) {
  auto* c = Control(id);
  if (!c || c->tpl->kind != ControlKind::ComboBox) return -1;
  if (index < 0) index = static_cast<int>(c->items.size());
  if (index > static_cast<int>(c->items.size())) return -1;
  c->items.insert(c->items.begin() + index, text);
  if (c->curSel >= index) ++c->curSel;
  return index;
}

int HeadlessWindow::DeleteString(int id, int index) {
  auto* c = Control(id);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return -1;
  c->items.erase(c->items.begin() + index);
  if (c->curSel == index) {
    c->curSel = -1;
  } else if (c->curSel > index) {
    --c->curSel;
  }
  return static_cast<int>(c->items.size());
}

void HeadlessWindow::ResetContent(int id) {
  auto* c = Control(id);
  if (!c) return;
  c->items.clear();
  c->curSel = -1;
}

int HeadlessWindow::GetCount(int id) const {
  const auto* c = Control(id);
  return c ? static_cast<int>(c->items.size()) : 0;
}

WString HeadlessWindow::GetItemText(int id, int index) const {
  const auto* c = Control(id);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return WString();
  return c->items[static_cast<size_t>(index)];
}

int HeadlessWindow::GetCurSel(int id) const {
  const auto* c = Control(id);
  return c ? c->curSel : -1;
}

int HeadlessWindow::SetCurSel(int id, int index) {
  auto* c = Control(id);
  if (!c) return -1;
  if (index < 0 || index >= static_cast<int>(c->items.size())) {
    c->curSel = -1;
    return -1;
  }
  c->curSel = index;
  c->text = c->items[static_cast<size_t>(index)];
  return index;
}

void HeadlessWindow::SetRange(int id, int lower, int upper) {
  if (auto* c = Control(id)) {
    c->rangeLow = lower;
    c->rangeHigh = upper;
  }
}

void HeadlessWindow::SetPos(int id, int pos) {
  if (auto* c = Control(id))
    c->pos = std::clamp(pos, std::min(c->rangeLow, c->rangeHigh), std::max(c->rangeLow, c->rangeHigh));
}

int HeadlessWindow::GetPos(int id) const {
  const auto* c = Control(id);
  return c ? c->pos : 0;
}

void HeadlessWindow::ShowWindow(bool show) { visible_ = show; }

void HeadlessWindow::SetWindowPos(bool topmostFlag, const Rect& rect) {
  topmost = topmostFlag;
  placement = rect;
}

void HeadlessWindow::SetWindowRegion(const Rect* rgn) {
  ++regionCalls;
  if (rgn) {
    region = *rgn;
  } else {
    region.reset();
  }
}

void HeadlessWindow::BringToFront() {
  ++broughtToFront;
  visible_ = true;
}

unsigned HeadlessWindow::SetTimer(unsigned id, unsigned periodMs) {
  host_.AddTimer(this, id, periodMs);
  return id;
}

bool HeadlessWindow::KillTimer(unsigned id) { return host_.RemoveTimer(this, id); }

void HeadlessWindow::AddMenuItem(int id, const WString& text, int commandId) {
  if (ControlState* c = Control(id)) c->menu.emplace_back(text, commandId);
}

bool HeadlessWindow::ChooseMenuItem(int id, const WString& text) {
  const ControlState* c = Control(id);
  if (!c) return false;
  for (const auto& [entry, command] : c->menu) {
    if (entry != text) continue;
    dialog_.DispatchCommand(command, Notify::Clicked);
    return true;
  }
  return false;
}

WString HeadlessWindow::AskSaveFileName(const WString& caption, const WString&) {
  host_.TellWatchers([&](IHeadlessWatcher& w) { w.OnFileChooser(caption); });
  if (host_.fileNames_.empty()) return {};
  WString path = std::move(host_.fileNames_.front());
  host_.fileNames_.pop_front();
  return path;
}

int HeadlessWindow::MessageBox(const WString& text, const WString& caption, unsigned type) {
  MessageBoxRecord r;
  r.templateId = tpl_.id;
  r.text = text;
  r.caption = caption;
  r.type = type;
  return host_.AnswerBox(std::move(r));
}

// ---------------------------------------------------------------------------------------
// HeadlessHost

HeadlessHost::HeadlessHost(ClockKind clock) : clock_(clock), realStart_(SteadyMs()) {}

HeadlessHost::~HeadlessHost() = default;

std::unique_ptr<IWindow> HeadlessHost::CreateDialogWindow(CDialog& dialog, const DialogTemplate& tpl, CDialog* owner) {
  auto w = std::make_unique<HeadlessWindow>(*this, dialog, tpl, owner);
  windows_.push_back(w.get());
  return w;
}

void HeadlessHost::RemoveWindow(HeadlessWindow* w) {
  if (focusWindow_ == w) SetFocus(nullptr, kStaticId);
  windows_.erase(std::remove(windows_.begin(), windows_.end(), w), windows_.end());
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [w](const Timer& t) { return t.window == w; }),
                timers_.end());
}

void HeadlessHost::SetFocus(HeadlessWindow* w, int id) {
  focusWindow_ = w;
  focusControl_ = w ? id : kStaticId;
}

HeadlessWindow* HeadlessHost::FindWindow(int templateId) const {
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it)
    if ((*it)->Template().id == templateId) return *it;
  return nullptr;
}

uint64_t HeadlessHost::NowMs() const { return clock_ == ClockKind::Virtual ? virtualNow_ : SteadyMs() - realStart_; }

void HeadlessHost::Sleep(unsigned ms) {
  TellWatchers([ms](IHeadlessWatcher& w) { w.OnSleep(ms); });
  sleptMs_ += ms;
  if (clock_ == ClockKind::Virtual) {
    virtualNow_ += ms;
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void HeadlessHost::AddTimer(HeadlessWindow* w, unsigned id, unsigned periodMs) {
  RemoveTimer(w, id);
  timers_.push_back({w, id, periodMs, NowMs() + periodMs, ++timerSerial_});
}

bool HeadlessHost::RemoveTimer(HeadlessWindow* w, unsigned id) {
  auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.window == w && t.id == id; });
  if (it == timers_.end()) return false;
  timers_.erase(it);
  return true;
}

std::vector<std::pair<int, unsigned>> HeadlessHost::Timers() const {
  std::vector<std::pair<int, unsigned>> out;
  for (const auto& t : timers_) out.emplace_back(t.window->Template().id, t.id);
  return out;
}

unsigned HeadlessHost::TimerPeriod(int templateId, unsigned id) const {
  for (const auto& t : timers_)
    if (t.window->Template().id == templateId && t.id == id) return t.period;
  return 0;
}

bool HeadlessHost::FireNextTimer(uint64_t limit) {
  Timer* next = nullptr;
  for (auto& t : timers_) {
    if (t.due > limit) continue;
    if (!next || t.due < next->due || (t.due == next->due && t.serial < next->serial)) next = &t;
  }
  if (!next) return false;
  if (clock_ == ClockKind::Virtual) virtualNow_ = std::max(virtualNow_, next->due);
  // The next tick counts from this one; ticks missed while a handler blocked are merged.
  next->due = NowMs() + std::max(1u, next->period);
  CDialog& dialog = next->window->Dialog();
  const unsigned id = next->id;
  dialog.DispatchTimer(id);
  return true;
}

void HeadlessHost::Advance(uint64_t ms) {
  const uint64_t limit = NowMs() + ms;
  while (FireNextTimer(limit)) {
  }
  if (clock_ == ClockKind::Virtual) virtualNow_ = std::max(virtualNow_, limit);
}

void HeadlessHost::WatchFd(int fd, std::function<void()> onReadable) { fds_[fd] = std::move(onReadable); }

void HeadlessHost::UnwatchFd(int fd) { fds_.erase(fd); }

void HeadlessHost::PollOnce(int timeoutMs) {
  std::vector<pollfd> pfds;
  for (const auto& [fd, cb] : fds_) pfds.push_back({fd, POLLIN, 0});
  if (pfds.empty()) {
    if (timeoutMs > 0 && clock_ == ClockKind::Real) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return;
  }
  const int n = ::poll(pfds.data(), pfds.size(), timeoutMs);
  if (n <= 0) return;
  for (const auto& p : pfds) {
    if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
    auto it = fds_.find(p.fd);
    if (it == fds_.end()) continue;
    auto cb = it->second;  // the callback may unwatch its fd
    cb();
  }
}

bool HeadlessHost::RunUntil(const std::function<bool()>& done, uint64_t maxMs) {
  const uint64_t deadline = NowMs() + maxMs;
  while (!done()) {
    if (NowMs() >= deadline) return false;
    if (clock_ == ClockKind::Virtual) {
      PollOnce(0);
      if (done()) return true;
      Advance(1);
      continue;
    }
    const uint64_t now = NowMs();
    while (FireNextTimer(now)) {
      if (done()) return true;
    }
    uint64_t wait = std::min<uint64_t>(deadline - std::min(deadline, NowMs()), kMaxPollWaitMs);
    for (const auto& t : timers_) {
      const uint64_t n2 = NowMs();
      wait = std::min<uint64_t>(wait, t.due > n2 ? t.due - n2 : 0);
    }
    PollOnce(static_cast<int>(wait));
  }
  return true;
}

void HeadlessHost::RunModal(CDialog& dialog) {
  modalEnded_[&dialog] = false;
  auto ended = [&] { return quit_ || modalEnded_[&dialog] || !dialog.IsWindow(); };
  while (!ended()) {
    if (clock_ == ClockKind::Virtual) {
      // Nothing but the timers can move a virtual loop on; without them it is over.
      PollOnce(0);
      if (ended()) break;
      if (!FireNextTimer(std::numeric_limits<uint64_t>::max()) && fds_.empty()) break;
      continue;
    }
    RunUntil(ended, kMaxPollWaitMs);
  }
  modalEnded_.erase(&dialog);
}

void HeadlessHost::EndModal(CDialog& dialog) {
  if (modalEnded_.count(&dialog)) modalEnded_[&dialog] = true;
}

void HeadlessHost::Quit() { quit_ = true; }

int HeadlessHost::AnswerBox(MessageBoxRecord record) {
  const bool yesNo = (record.type & 0xF) == MB_YESNO;
  int answer = yesNo ? IDYES : IDOK;
  int& retriesInARow = defaultRetries_[record.templateId];
  const bool retry = yesNo && IsRetryQuestion(record.text);
  if (!retry) retriesInARow = 0;
  if (boxHook_) {
    answer = boxHook_(record);
  } else if (yesNo && !answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  } else if (!yesNo && !answers_.empty() && answers_.front() == IDOK) {
    answers_.pop_front();
  } else if (retry && retryLimit_ > 0 && ++retriesInARow > retryLimit_) {
    answer = IDNO;
    retriesInARow = 0;
  }
  if (yesNo && answer != IDYES && answer != IDNO) answer = IDNO;
  if (!yesNo) answer = IDOK;
  record.answer = answer;
  TellWatchers([&](IHeadlessWatcher& w) { w.OnMessageBox(record); });
  return answer;
}

void HeadlessHost::RemoveWatcher(IHeadlessWatcher* watcher) { std::erase(watchers_, watcher); }

}  // namespace fw
