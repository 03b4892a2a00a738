#include "platform/linux/X11HotKeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/linux/HotKeyBook.h"
#include "platform/linux/UniquePtr.h"
#include "platform/linux/VirtualKeys.h"

namespace platform {
namespace {

using DisplayPtr = UniquePtr<Display, XCloseDisplay>;

// The X keycode the input drivers give a Linux key.
constexpr unsigned kEvdevKeycodeOffset = 8;

// The XInput version asked for, and the least one that will do: raw events reach every
// client that selects them, not only the one that has the keyboard grabbed, from 2.1 on.
constexpr int kXiMajor = 2;
constexpr int kXiMinor = 2;
constexpr int kXiLeastMinor = 1;

// Collects the errors of one display while a request is checked, instead of Xlib's default
// handler ending the process. Xlib's error handler is process-wide, so the trap keeps the
// handler that was there and hands it every error of other displays.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) {
    // Errors of earlier requests still belong to the handler that was there.
    XSync(display, False);
    s_display = display;
    s_error = 0;
    s_previous = XSetErrorHandler(&ErrorTrap::Handle);
  }
  ~ErrorTrap() {
    XSetErrorHandler(s_previous);
    s_display = nullptr;
    s_previous = nullptr;
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits until the server processed every request sent so far; returns the code of the
  // first error among them, 0 when there was none.
  int Sync() {
    XSync(s_display, False);
    return s_error;
  }

 private:
  static int Handle(Display* display, XErrorEvent* event) {
    if (display == s_display) {
      if (s_error == 0) s_error = event->error_code;
      return 0;
    }
    return s_previous ? s_previous(display, event) : 0;
  }

  static inline Display* s_display = nullptr;
  static inline int s_error = 0;
  static inline XErrorHandler s_previous = nullptr;
};

}  // namespace

struct X11HotKeys::Impl {
  DisplayPtr display;
  Window root = 0;
  int xiOpcode = 0;
  unsigned long repeatsDropped = 0;
  Sink sink;
  HotKeyBook book;
  // Whether each grabbed keycode auto-repeated before it was registered.
  std::map<unsigned, bool> repeatedBefore;
  // The grabbed keys whose press the grab has delivered in their current hold.
  std::set<unsigned> pressedInGrab;

  std::vector<unsigned> KeycodesFor(unsigned vk) const;
  enum class Repeat { Off, On };
  void SetAutoRepeat(unsigned keycode, Repeat repeat);
  void Release(const std::vector<unsigned>& keycodes);
  void HandleRaw(XGenericEventCookie& cookie, std::vector<HotKeyBook::Message>& messages);
};

std::vector<unsigned> X11HotKeys::Impl::KeycodesFor(unsigned vk) const {
  std::vector<unsigned> keycodes;
  if (vk > 0xFF) return keycodes;
  int minKeycode = 0;
  int maxKeycode = 0;
  XDisplayKeycodes(display.get(), &minKeycode, &maxKeycode);
  const auto inRange = [&](unsigned keycode) {
    return keycode != 0 && keycode >= static_cast<unsigned>(minKeycode) && keycode <= static_cast<unsigned>(maxKeycode);
  };
  if (auto key = LinuxKeyForVk(static_cast<uint8_t>(vk))) {
    const unsigned keycode = *key + kEvdevKeycodeOffset;
    if (inRange(keycode)) keycodes.push_back(keycode);
  }
  if (auto keysym = KeysymForVk(static_cast<uint8_t>(vk))) {
    const unsigned keycode = XKeysymToKeycode(display.get(), *keysym);
    if (inRange(keycode) && std::find(keycodes.begin(), keycodes.end(), keycode) == keycodes.end())
      keycodes.push_back(keycode);
  }
  return keycodes;
}

void X11HotKeys::Impl::SetAutoRepeat(unsigned keycode, Repeat repeat) {
  XKeyboardControl control{};
  control.key = static_cast<int>(keycode);
  control.auto_repeat_mode = repeat == Repeat::On ? AutoRepeatModeOn : AutoRepeatModeOff;
  XChangeKeyboardControl(display.get(), KBKey | KBAutoRepeatMode, &control);
}

void X11HotKeys::Impl::Release(const std::vector<unsigned>& keycodes) {
  for (unsigned keycode : keycodes) {
    XUngrabKey(display.get(), static_cast<int>(keycode), AnyModifier, root);
    pressedInGrab.erase(keycode);
    auto it = repeatedBefore.find(keycode);
    if (it != repeatedBefore.end()) {
      if (it->second) SetAutoRepeat(keycode, Repeat::On);
      repeatedBefore.erase(it);
    }
  }
  // A round trip, so the key is free and repeats again for every client once this returns.
  XSync(display.get(), False);
}

void X11HotKeys::Impl::HandleRaw(XGenericEventCookie& cookie, std::vector<HotKeyBook::Message>& messages) {
  if (cookie.extension != xiOpcode || !XGetEventData(display.get(), &cookie)) return;
  const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
  const unsigned keycode = static_cast<unsigned>(raw->detail);
  // A key comes from the keyboard that has it (device and source the same) and again from
  // the master keyboard it is attached to. Only the first is taken: the server leaves out
  // the master's raw release of a grabbed key.
  const bool fromKeyboard = raw->deviceid == raw->sourceid;
  std::optional<HotKeyBook::Message> message;
  if (fromKeyboard && cookie.evtype == XI_RawKeyPress) {
    if (book.Holds(keycode) && book.IsDown(keycode)) ++repeatsDropped;
    message = book.Press(keycode);
  } else if (fromKeyboard && cookie.evtype == XI_RawKeyRelease) {
    pressedInGrab.erase(keycode);
    message = book.Release(keycode);
  }
  XFreeEventData(display.get(), &cookie);
  if (message) messages.push_back(*message);
}

X11HotKeys::X11HotKeys(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11HotKeys::~X11HotKeys() {
  std::vector<unsigned> keycodes;
  for (const auto& [keycode, repeated] : impl_->repeatedBefore) keycodes.push_back(keycode);
  impl_->Release(keycodes);
  XSync(impl_->display.get(), False);
}

std::unique_ptr<X11HotKeys> X11HotKeys::Open(const char* displayName, std::string& error) {
  DisplayPtr display(XOpenDisplay(displayName));
  if (!display) {
    const char* name = XDisplayName(displayName);
    error = std::string("cannot open the X display \"") + (name ? name : "") + "\"";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  int eventBase = 0;
  int errorBase = 0;
  int major = kXiMajor;
  int minor = kXiMinor;
  if (!XQueryExtension(display.get(), "XInputExtension", &impl->xiOpcode, &eventBase, &errorBase) ||
      XIQueryVersion(display.get(), &major, &minor) != Success || major < kXiMajor ||
      (major == kXiMajor && minor < kXiLeastMinor)) {
    error = "the X display has no XInput 2.1 (needed to see hot keys while another window has the keyboard)";
    return nullptr;
  }
  impl->root = DefaultRootWindow(display.get());
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawKeyPress);
  XISetMask(bits, XI_RawKeyRelease);
  XIEventMask mask{};
  // Every device; only the keyboards' own events are taken (see HandleRaw).
  mask.deviceid = XIAllDevices;
  mask.mask_len = sizeof bits;
  mask.mask = bits;
  XISelectEvents(display.get(), impl->root, &mask, 1);
  XFlush(display.get());
  impl->display = std::move(display);
  return std::unique_ptr<X11HotKeys>(new X11HotKeys(std::move(impl)));
}

void X11HotKeys::SetSink(Sink sink) { impl_->sink = std::move(sink); }

bool X11HotKeys::ReleaseFromSystem(unsigned, unsigned) { return false; }

bool X11HotKeys::Register(int id, unsigned modifiers, unsigned vk) {
  if ((modifiers & ~MOD_KEYUP) != 0) return false;
  const std::vector<unsigned> keycodes = impl_->KeycodesFor(vk);
  if (keycodes.empty()) return false;
  for (unsigned keycode : keycodes) {
    if (!impl_->book.Holds(keycode)) continue;
    const std::vector<unsigned> own = impl_->book.CodesOf(id);
    if (std::find(own.begin(), own.end(), keycode) == own.end()) return false;
  }
  Unregister(id);

  Display* display = impl_->display.get();
  {
    ErrorTrap trap(display);
    for (unsigned keycode : keycodes) {
      XGrabKey(display, static_cast<int>(keycode), AnyModifier, impl_->root, False, GrabModeAsync, GrabModeAsync);
    }
    if (trap.Sync() != 0) {
      // Some of the grabs may have been taken; none of them stays.
      for (unsigned keycode : keycodes) XUngrabKey(display, static_cast<int>(keycode), AnyModifier, impl_->root);
      trap.Sync();
      return false;
    }
  }
  XKeyboardState state{};
  XGetKeyboardControl(display, &state);
  for (unsigned keycode : keycodes) {
    impl_->repeatedBefore[keycode] = (state.auto_repeats[keycode / 8] & (1u << (keycode % 8))) != 0;
    impl_->SetAutoRepeat(keycode, Impl::Repeat::Off);
  }
  // A round trip, so the key stops repeating for every client once this returns.
  XSync(display, False);
  return impl_->book.Add(id, modifiers, vk, keycodes);
}

bool X11HotKeys::Unregister(int id) {
  auto keycodes = impl_->book.Remove(id);
  if (!keycodes) return false;
  impl_->Release(*keycodes);
  return true;
}

int X11HotKeys::Fd() const { return ConnectionNumber(impl_->display.get()); }

void X11HotKeys::Dispatch() {
  Display* display = impl_->display.get();
  // The messages go out after the events are read, so that the keyboard is let go before
  // the sink runs whatever the key starts.
  std::vector<HotKeyBook::Message> messages;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case GenericEvent:
        impl_->HandleRaw(event.xcookie, messages);
        break;
      case KeyPress:
        // A grabbed key's press: the keyboard goes back to the focus window at once. A second
        // one in the same hold is an auto-repeat that took the keyboard again.
        XUngrabKeyboard(display, CurrentTime);
        XFlush(display);
        if (!impl_->pressedInGrab.insert(event.xkey.keycode).second) ++impl_->repeatsDropped;
        break;
      case MappingNotify:
        // Keeps Xlib's copy of the keymap current for the keysym look-ups of Register.
        XRefreshKeyboardMapping(&event.xmapping);
        break;
      default:
        break;
    }
  }
  for (const HotKeyBook::Message& m : messages) {
    if (impl_->sink) impl_->sink(m.id, m.lparam);
  }
}

std::vector<unsigned> X11HotKeys::KeycodesOf(int id) const { return impl_->book.CodesOf(id); }

unsigned long X11HotKeys::RepeatsDropped() const { return impl_->repeatsDropped; }

}  // namespace platform
