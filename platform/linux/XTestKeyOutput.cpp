#include "platform/linux/XTestKeyOutput.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/UniquePtr.h"
#include "platform/linux/VirtualKeys.h"

namespace platform {
namespace {

using DisplayPtr = UniquePtr<Display, XCloseDisplay>;

// Keycodes of the Linux keys F13 to F24: hot keys grab them (the scan button is F24), so a
// character typed on one of them would be taken as a hot key instead of reaching the window.
constexpr unsigned kFirstReservedKeycode = 191;
constexpr unsigned kLastReservedKeycode = 202;

// A key and whether Shift is held for it.
struct KeyStroke {
  unsigned keycode;
  bool shift;
};

// A copy of the server's core keymap (group 1), read in one request.
class Keymap {
 public:
  explicit Keymap(Display* display) {
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    min_ = static_cast<unsigned>(minKeycode);
    max_ = static_cast<unsigned>(maxKeycode);
    int perKeycode = 0;
    UniquePtr<KeySym, XFree> keysyms(
        XGetKeyboardMapping(display, static_cast<KeyCode>(min_), maxKeycode - minKeycode + 1, &perKeycode));
    if (!keysyms || perKeycode <= 0) return;
    per_ = static_cast<unsigned>(perKeycode);
    syms_.assign(keysyms.get(), keysyms.get() + (max_ - min_ + 1) * per_);
  }

  // The key that types keysym: on the first level when a key has it there, otherwise on the
  // second level with Shift.
  std::optional<KeyStroke> Find(KeySym keysym) const {
    std::optional<KeyStroke> shifted;
    for (unsigned keycode = min_; keycode <= max_ && per_ > 0; ++keycode) {
      const auto [first, second] = Levels(keycode);
      if (first == keysym) return KeyStroke{keycode, false};
      if (second == keysym && !shifted) shifted = KeyStroke{keycode, true};
    }
    return shifted;
  }

  KeySym FirstLevel(unsigned keycode) const {
    if (keycode < min_ || keycode > max_ || per_ == 0) return NoSymbol;
    return syms_[(keycode - min_) * per_];
  }

  bool IsEmpty(unsigned keycode) const {
    if (keycode < min_ || keycode > max_ || per_ == 0) return false;
    const KeySym* syms = &syms_[(keycode - min_) * per_];
    return std::all_of(syms, syms + per_, [](KeySym s) { return s == NoSymbol; });
  }

  // Records a change this program made, so that later look-ups of this copy see it.
  void Set(unsigned keycode, KeySym keysym) {
    if (keycode < min_ || keycode > max_ || per_ == 0) return;
    KeySym* syms = &syms_[(keycode - min_) * per_];
    std::fill(syms, syms + per_, NoSymbol);
    syms[0] = keysym;
    if (per_ > 1) syms[1] = keysym;
  }

  unsigned Min() const { return min_; }
  unsigned Max() const { return max_; }

 private:
  // The first two levels of group 1 as the core protocol reads them: a key with one
  // keysym has it on both levels, a letter as its lower and upper case.
  std::pair<KeySym, KeySym> Levels(unsigned keycode) const {
    const KeySym* syms = &syms_[(keycode - min_) * per_];
    KeySym first = syms[0];
    KeySym second = per_ > 1 ? syms[1] : NoSymbol;
    if (second == NoSymbol && first != NoSymbol) {
      KeySym lower = NoSymbol;
      KeySym upper = NoSymbol;
      XConvertCase(first, &lower, &upper);
      if (lower != upper) {
        first = lower;
        second = upper;
      } else {
        second = first;
      }
    }
    return {first, second};
  }

  unsigned min_ = 0;
  unsigned max_ = 0;
  unsigned per_ = 0;
  std::vector<KeySym> syms_;
};

}  // namespace

struct XTestKeyOutput::Impl final : IKeySteps {
  struct Borrowed {
    unsigned keycode;
    KeySym keysym;
    uint64_t lastUse;
  };

  DisplayPtr display;
  std::vector<Borrowed> borrowed;
  uint64_t useCounter = 0;

  void DrainEvents();
  std::optional<KeyStroke> StrokeFor(Keymap& keymap, KeySym keysym, bool canShift);
  std::optional<unsigned> Borrow(Keymap& keymap, KeySym keysym);
  void GiveBack();

  std::vector<KeyStep> CharacterSteps(uint32_t character) override;
  std::vector<KeyStep> VirtualKeySteps(uint8_t vk, KeyMove move) override;
  bool Send(const KeyStep& step) override;
  // The events reach the server, in order, before the caller goes on: the keys after them
  // (the suffix) may come on another path, and a delay counts from their arrival.
  void Flush() override { XSync(display.get(), False); }
};

void XTestKeyOutput::Impl::DrainEvents() {
  // Every client is sent the keymap changes; reading them keeps Xlib's queue from growing
  // and its copy of the keymap current.
  Display* d = display.get();
  while (XPending(d) > 0) {
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
  }
}

std::optional<KeyStroke> XTestKeyOutput::Impl::StrokeFor(Keymap& keymap, KeySym keysym, bool canShift) {
  std::optional<KeyStroke> stroke = keymap.Find(keysym);
  if (stroke && stroke->shift && !canShift) stroke.reset();
  if (!stroke) {
    // Not in the keymap, or only on a level that cannot be reached: a spare keycode carries
    // it on its first level.
    const std::optional<unsigned> keycode = Borrow(keymap, keysym);
    if (!keycode) return std::nullopt;
    stroke = KeyStroke{*keycode, false};
  }
  for (Borrowed& b : borrowed) {
    if (b.keycode == stroke->keycode) b.lastUse = ++useCounter;
  }
  return stroke;
}

std::optional<unsigned> XTestKeyOutput::Impl::Borrow(Keymap& keymap, KeySym keysym) {
  std::optional<unsigned> keycode;
  if (borrowed.size() < kMaxBorrowed) {
    // From the top, where keyboards have the fewest keys.
    for (unsigned k = keymap.Max(); k >= keymap.Min() && k > 0; --k) {
      if (k >= kFirstReservedKeycode && k <= kLastReservedKeycode) continue;
      if (keymap.IsEmpty(k)) {
        keycode = k;
        break;
      }
    }
  }
  if (keycode) {
    borrowed.push_back({*keycode, keysym, 0});
  } else {
    if (borrowed.empty()) return std::nullopt;
    auto oldest = std::min_element(borrowed.begin(), borrowed.end(),
                                   [](const Borrowed& a, const Borrowed& b) { return a.lastUse < b.lastUse; });
    oldest->keysym = keysym;
    keycode = oldest->keycode;
  }
  KeySym syms[2] = {keysym, keysym};
  XChangeKeyboardMapping(display.get(), static_cast<int>(*keycode), 2, syms, 1);
  keymap.Set(*keycode, keysym);
  return keycode;
}

std::vector<KeyStep> XTestKeyOutput::Impl::CharacterSteps(uint32_t character) {
  const std::optional<uint32_t> keysym = KeysymForCharacter(character);
  if (!keysym) return {};
  DrainEvents();
  Keymap keymap(display.get());
  std::optional<KeyStroke> shift = keymap.Find(XK_Shift_L);
  if (!shift) shift = keymap.Find(XK_Shift_R);
  const std::optional<KeyStroke> stroke = StrokeFor(keymap, *keysym, shift.has_value());
  if (!stroke) return {};
  const auto key = static_cast<uint16_t>(stroke->keycode);
  if (!stroke->shift) return {{key, KeyMove::Down}, {key, KeyMove::Up}};
  const auto shiftKey = static_cast<uint16_t>(shift->keycode);
  return {{shiftKey, KeyMove::Down}, {key, KeyMove::Down}, {key, KeyMove::Up}, {shiftKey, KeyMove::Up}};
}

std::vector<KeyStep> XTestKeyOutput::Impl::VirtualKeySteps(uint8_t vk, KeyMove move) {
  const std::optional<uint32_t> keysym = KeysymForVk(vk);
  if (!keysym) return {};
  DrainEvents();
  Keymap keymap(display.get());
  // A virtual key names a key, not a character: it is pressed as it is, without Shift.
  const std::optional<KeyStroke> stroke = StrokeFor(keymap, *keysym, true);
  if (!stroke) return {};
  return {{static_cast<uint16_t>(stroke->keycode), move}};
}

bool XTestKeyOutput::Impl::Send(const KeyStep& step) {
  XTestFakeKeyEvent(display.get(), step.key, step.move == KeyMove::Down ? True : False, CurrentTime);
  return true;
}

void XTestKeyOutput::Impl::GiveBack() {
  if (borrowed.empty()) return;
  Display* d = display.get();
  DrainEvents();
  const Keymap keymap(d);
  for (const Borrowed& b : borrowed) {
    // A keycode someone else has given another keysym since is theirs now.
    if (keymap.FirstLevel(b.keycode) != b.keysym) continue;
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(d, static_cast<int>(b.keycode), 1, &none, 1);
  }
  borrowed.clear();
  XSync(d, False);
}

XTestKeyOutput::XTestKeyOutput(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), pacer_(std::make_unique<KeyPacer>(*impl_)) {}

XTestKeyOutput::~XTestKeyOutput() {
  // What is still queued is typed before the borrowed keycodes lose their keysyms.
  pacer_.reset();
  impl_->GiveBack();
}

std::unique_ptr<XTestKeyOutput> XTestKeyOutput::Open(const char* displayName, std::string& error) {
  DisplayPtr display(XOpenDisplay(displayName));
  if (!display) {
    const char* name = XDisplayName(displayName);
    error = std::string("cannot open the X display \"") + (name ? name : "") + "\"";
    return nullptr;
  }
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) {
    error = "the X display has no XTEST extension";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->display = std::move(display);
  return std::unique_ptr<XTestKeyOutput>(new XTestKeyOutput(std::move(impl)));
}

void XTestKeyOutput::KeybdEvent(uint8_t vk, uint8_t, uint32_t flags, uintptr_t) {
  const bool down = (flags & KEYEVENTF_KEYUP) == 0;
  if (IsActivityKey(vk)) {
    // Not a key: it need not wait for the keys queued before it.
    if (down) {
      Display* d = impl_->display.get();
      XResetScreenSaver(d);
      XFlush(d);
    }
    return;
  }
  pacer_->VirtualKey(vk, down ? KeyMove::Down : KeyMove::Up);
}

bool XTestKeyOutput::PostKeybdMessage(intptr_t, unsigned, unsigned, unsigned count, const unsigned*,
                                      const uint32_t* characters) {
  return pacer_->Characters(characters, count);
}

size_t XTestKeyOutput::BorrowedCount() const { return impl_->borrowed.size(); }

}  // namespace platform
