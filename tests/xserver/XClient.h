#pragma once
// The test's own X connection to the virtual server: it stays connected for the whole test
// program (so the server keeps its state), plays the keyboard through XTEST, and owns a
// small window that takes the focus and collects what is typed into it.
//
// This header includes Xlib: include it after gtest, whose own names clash with Xlib's
// macros otherwise.

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace xtest {

// How long a test waits for something on its way through the X server.
constexpr std::chrono::milliseconds kEventTimeout{5000};

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Waits until fd is readable, at most until deadline. False when the time ran out.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline);

// Calls pump, then waits for fd, until done() holds or timeout passes. Returns done().
bool PumpUntil(int fd, const std::function<void()>& pump, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = kEventTimeout);

// The error code of the first error the display's requests since construction caused,
// instead of Xlib's default handler ending the program. Catchers may nest.
class ErrorCatcher {
 public:
  explicit ErrorCatcher(Display* display);
  ~ErrorCatcher();
  int Sync();

 private:
  static int Handle(Display* display, XErrorEvent* event);
  Display* display_;
  Display* outerDisplay_;
  int outerCaught_;
  XErrorHandler outerPrevious_;
  XErrorHandler previous_ = nullptr;
};

enum class Press { Down, Up };

// A key press received by the focus window.
struct Received {
  KeySym keysym;
  std::string text;  // what XLookupString makes of it (Latin-1)
};

class XClient {
 public:
  // Connects; false when the display cannot be opened.
  bool Open(const std::string& displayName);
  Display* display() const { return display_.get(); }
  int Fd() const { return ConnectionNumber(display_.get()); }

  // Makes a window in place of the one before, maps it and gives it the focus; returns when
  // the server did so. What the window before received is forgotten.
  bool CreateFocusWindow();
  // Reads the events that are there: key presses of the window are collected, keymap
  // changes refresh Xlib's copy of the keymap before the presses after them are read, and
  // every event is shown to onEvent.
  void Pump();
  std::function<void(const XEvent&)> onEvent;
  const std::vector<Received>& Presses() const { return presses_; }
  // The window's key presses and releases, in order: the key and the server's time stamp.
  struct KeyEvent {
    unsigned keycode;
    Time time;  // ms
  };
  const std::vector<KeyEvent>& KeyEvents() const { return keyEvents_; }
  std::string Text() const;
  std::vector<KeySym> Keysyms() const;

  // A key of the XTEST keyboard, sent and processed before it returns.
  void FakeKey(unsigned keycode, Press press);

 private:
  DisplayPtr display_;
  Window window_ = 0;
  std::vector<Received> presses_;
  std::vector<KeyEvent> keyEvents_;
};

}  // namespace xtest
