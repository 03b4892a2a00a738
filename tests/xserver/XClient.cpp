#include "tests/xserver/XClient.h"

#include <poll.h>

namespace xtest {
namespace {

Display* s_catching = nullptr;
int s_caught = 0;
XErrorHandler s_previous = nullptr;

}  // namespace

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

bool PumpUntil(int fd, const std::function<void()>& pump, const std::function<bool()>& done,
               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pump();
    if (done()) return true;
    if (!WaitReadable(fd, deadline)) {
      pump();
      return done();
    }
  }
}

ErrorCatcher::ErrorCatcher(Display* display)
    : display_(display), outerDisplay_(s_catching), outerCaught_(s_caught), outerPrevious_(s_previous) {
  XSync(display, False);
  s_catching = display;
  s_caught = 0;
  previous_ = XSetErrorHandler(&ErrorCatcher::Handle);
  // Inside another catcher the handler that was there before that one stays the one to hand
  // other connections' errors to.
  if (previous_ != &ErrorCatcher::Handle) s_previous = previous_;
}

ErrorCatcher::~ErrorCatcher() {
  XSync(display_, False);
  XSetErrorHandler(previous_);
  s_catching = outerDisplay_;
  s_caught = outerCaught_;
  s_previous = outerPrevious_;
}

int ErrorCatcher::Sync() {
  XSync(display_, False);
  return s_caught;
}

int ErrorCatcher::Handle(Display* display, XErrorEvent* event) {
  // Errors of other connections are not this catcher's.
  if (display != s_catching) return s_previous ? s_previous(display, event) : 0;
  if (s_caught == 0) s_caught = event->error_code;
  return 0;
}

bool XClient::Open(const std::string& displayName) {
  display_.reset(XOpenDisplay(displayName.c_str()));
  return display_ != nullptr;
}

bool XClient::CreateFocusWindow() {
  Display* d = display_.get();
  // Each test starts with a window of its own and nothing received.
  if (window_ != 0) XDestroyWindow(d, window_);
  XSync(d, False);
  Pump();
  presses_.clear();
  keyEvents_.clear();
  window_ = XCreateSimpleWindow(d, DefaultRootWindow(d), 10, 10, 200, 100, 0, 0, 0);
  XSelectInput(d, window_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
  XMapWindow(d, window_);
  bool mapped = false;
  PumpUntil(
      Fd(),
      [&] {
        while (XPending(d) > 0) {
          XEvent e;
          XNextEvent(d, &e);
          if (e.type == MapNotify && e.xmap.window == window_) mapped = true;
        }
      },
      [&] { return mapped; });
  if (!mapped) return false;
  XSetInputFocus(d, window_, RevertToParent, CurrentTime);
  XSync(d, False);
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(d, &focus, &revert);
  return focus == window_;
}

void XClient::Pump() {
  Display* d = display_.get();
  while (XPending(d) > 0) {
    XEvent e;
    XNextEvent(d, &e);
    if (onEvent) onEvent(e);
    if (e.type == MappingNotify) {
      XRefreshKeyboardMapping(&e.xmapping);
    } else if (e.type == KeyRelease && e.xkey.window == window_) {
      keyEvents_.push_back({e.xkey.keycode, e.xkey.time});
    } else if (e.type == KeyPress && e.xkey.window == window_) {
      keyEvents_.push_back({e.xkey.keycode, e.xkey.time});
      char buffer[16] = {};
      KeySym keysym = NoSymbol;
      const int n = XLookupString(&e.xkey, buffer, sizeof buffer, &keysym, nullptr);
      presses_.push_back({keysym, std::string(buffer, static_cast<size_t>(n > 0 ? n : 0))});
    }
  }
}

std::string XClient::Text() const {
  std::string text;
  for (const Received& r : presses_) text += r.text;
  return text;
}

std::vector<KeySym> XClient::Keysyms() const {
  std::vector<KeySym> keysyms;
  for (const Received& r : presses_) keysyms.push_back(r.keysym);
  return keysyms;
}

void XClient::FakeKey(unsigned keycode, Press press) {
  XTestFakeKeyEvent(display_.get(), keycode, press == Press::Down ? True : False, CurrentTime);
  XSync(display_.get(), False);
}

}  // namespace xtest
