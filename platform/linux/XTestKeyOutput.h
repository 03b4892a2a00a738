#pragma once
// Key output on an X display through the XTEST extension: the keys and characters go to
// the window that has the keyboard focus, as if typed on the keyboard.
//
// Virtual keys (KeybdEvent) press or release the key that carries the virtual key's keysym
// in the current keymap. Characters (PostKeybdMessage) are typed through the current keymap:
// each one on a key that carries its keysym (Latin-1 characters are their own keysym, other
// Unicode characters 0x01000000 plus the code point), on the key's first level, or on its
// second level with Shift held around it. A blank types the space bar. Control characters
// (below 0x20, 0x7F to 0x9F) are never typed.
//
// A keysym the keymap lacks (a letter of another alphabet, or F13 to F24, which the usual
// keymaps do not carry) is typed on a spare keycode: one without any keysym, outside the
// function keys F13 to F24 of a Linux keyboard (X keycodes 191 to 202), which hot keys grab.
// The spare keycode gets the keysym on both levels and keeps it for later characters; at
// most kMaxBorrowed keycodes are borrowed, after which the one used longest ago is given the
// new keysym. Borrowed keycodes are given back (left without keysym again) when the object
// is destroyed. They are not given back after each character because a receiving client
// reads the changed keymap from the server only when it handles the key event, which may be
// after such a restore; it would then see a key without symbol. A character for which no
// spare keycode is left is skipped.
//
// Virtual key 0x5F, the activity signal of the receive loop, types nothing: its key-down
// resets the X screen saver, as a key press would, without an event for the focused window.
//
// The key events go through a KeyPacer (Pacer()), which can space them with a delay; the
// keymap is read for each character just before its key events are sent.
//
// Keys typed while the user holds a modifier or has Caps Lock on combine with it, as they
// would for a person typing. Not thread-safe: used from the user interface thread.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/KeyOutput.h"
#include "platform/linux/KeyPacer.h"

namespace platform {

class XTestKeyOutput final : public IKeyOutput {
 public:
  static constexpr size_t kMaxBorrowed = 16;

  // Connects to the display (nullptr: the one $DISPLAY names). Returns null, with the reason
  // in error, when there is no display or it lacks the XTEST extension.
  static std::unique_ptr<XTestKeyOutput> Open(const char* displayName, std::string& error);
  ~XTestKeyOutput() override;
  XTestKeyOutput(const XTestKeyOutput&) = delete;
  XTestKeyOutput& operator=(const XTestKeyOutput&) = delete;

  // Presses (flags 0) or releases (KEYEVENTF_KEYUP) the key of vk; scan and extraInfo are
  // not used. A virtual key without keysym does nothing. Without a delay the event is sent
  // before it returns.
  void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extraInfo) override;
  // Types the count characters into the focus window (the only window XTEST can reach, so
  // window, vk, keyStateFlags and shiftStates are not used). Returns when the server has
  // processed every event (without a delay; with one, the pacer sends them later). Returns
  // false when characters were given and none was typed.
  bool PostKeybdMessage(intptr_t window, unsigned vk, unsigned keyStateFlags, unsigned count,
                        const unsigned* shiftStates, const uint32_t* characters) override;

  // The keycodes that hold a borrowed keysym now.
  size_t BorrowedCount() const;

  KeyPacer& Pacer() { return *pacer_; }

 private:
  struct Impl;
  explicit XTestKeyOutput(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<KeyPacer> pacer_;
};

}  // namespace platform
