#pragma once
// Global hot keys on an X display: each registered key is grabbed on the root window, so
// that its presses are this program's and reach no other window, and its presses and
// releases become hot key messages whichever window has the focus.
//
// Which keys are grabbed. A scan button arrives through the kernel as a Linux key (KEY_F24
// for the scan button, KEY_F22 for the orange key with it), and the X servers' input
// drivers give it the X keycode of that key plus 8 (202 and 200). The usual X keymaps have
// no keysym F22 or F24 at all, so the keycode of the Linux key is grabbed whatever symbol
// the keymap gives it; when the keymap does have the virtual key's keysym on another
// keycode, that keycode is grabbed as well. The keymap itself is left as it is. Keycode 0
// (which would grab every key) is never grabbed. A key is grabbed with any modifiers, so
// the scan button works while Shift or Caps Lock are on.
//
// The keyboard stays with the focus window while a key is held. X turns a grabbed key's
// press into a grab of the whole keyboard until its release, which would take the very
// characters the program types while the scan button is held. So the keyboard grab is let
// go as soon as the press arrives, and presses and releases are read from the XInput 2 raw
// events, which reach this program whoever has the keyboard. For the same reason a grabbed
// key does not auto-repeat (each repeat would take the keyboard again): its auto-repeat is
// switched off while it is registered and put back as it was afterwards. The release of a
// held key then goes to the focus window, which never saw its press.
//
// Messages. Each press gives one message with modifier word 0 and, for a key registered
// with MOD_KEYUP, each release one with MOD_KEYUP (lparam = (vk << 16) | modifier word). A
// press of a key that is down (an auto-repeat that is on after all) gives nothing.
//
// The connection is this object's own. Events are read only by Dispatch: the program's
// message loop watches Fd() and calls Dispatch when it is readable. Xlib may read events
// into its queue during Register and Unregister, where the descriptor no longer shows them,
// so callers also run Dispatch after those. Not thread-safe: used from the user interface
// thread, like the rest of the program; the error handler installed around a grab is
// process-wide for that short time.

#include <memory>
#include <string>
#include <vector>

#include "platform/HotKeys.h"

namespace platform {

class X11HotKeys final : public IHotKeys {
 public:
  // Connects to the display (nullptr: the one $DISPLAY names). Returns null, with the reason
  // in error, when there is no display or it lacks XInput 2.2.
  static std::unique_ptr<X11HotKeys> Open(const char* displayName, std::string& error);
  // Ungrabs every key still registered.
  ~X11HotKeys() override;
  X11HotKeys(const X11HotKeys&) = delete;
  X11HotKeys& operator=(const X11HotKeys&) = delete;

  void SetSink(Sink sink) override;
  // X has no step that frees a key from the system: always false.
  bool ReleaseFromSystem(unsigned modifiers, unsigned vk) override;
  // Grabs the key of vk for id, in place of the key id had before (which is let go even
  // when this fails). Only MOD_KEYUP may be given as a modifier. Fails when vk has no key,
  // when another id holds the key, or when another client grabbed it already (the X server
  // refuses with BadAccess).
  bool Register(int id, unsigned modifiers, unsigned vk) override;
  // Ungrabs the key of id. False when id holds none.
  bool Unregister(int id) override;

  // The connection's descriptor, to watch for readability.
  int Fd() const;
  // Reads every event the connection has and passes the hot key messages to the sink.
  void Dispatch();

  // The X keycodes grabbed for id; empty when id holds none.
  std::vector<unsigned> KeycodesOf(int id) const;
  // How many presses of keys that were down (auto-repeats) were dropped so far.
  unsigned long RepeatsDropped() const;

 private:
  struct Impl;
  explicit X11HotKeys(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
