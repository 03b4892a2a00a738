#pragma once
// Keyboard layouts for the key output through uinput, which sends key positions, not
// characters: what a key finally types is decided by the layout of the program that reads
// the device (the Wayland compositor, the console). So the characters of a code become the
// keys, and the modifiers held with them, that type them in the user's layout: "1" on a
// French keyboard is Shift with the key of a US keyboard's "1", "z" on a German keyboard is
// the key of a US keyboard's "y".
//
// A layout is compiled with libxkbcommon from the system's keyboard descriptions (xkb-data),
// as Wayland compositors compile theirs, and each character is given the key and modifiers
// that type it, weighing modifiers (Shift, AltGr for the third level) against keys off the
// main block: a key of the main block with one modifier before the extra key of ISO
// keyboards (left of Z) without one, and that before any modifiers on the main block; the
// keypad and other keys only where the main block lacks the character; the lowest key code
// among equals. Dead keys type no character and are never used.
//
// The translation is pure: a layout and a text give key events, without any device.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/KeyPacer.h"

namespace platform {

// A key with the modifiers held while it is pressed.
struct KeyChord {
  uint16_t key;  // KEY_*
  bool shift;
  bool altGr;  // the modifier of the third level
  friend bool operator==(const KeyChord&, const KeyChord&) = default;
};

// A layout and its variant as the system's keyboard settings name them: "fr", "" or "de",
// "nodeadkeys". A layout may be a comma-separated list; its first member is typed for.
struct LayoutName {
  std::string layout;
  std::string variant;
  friend bool operator==(const LayoutName&, const LayoutName&) = default;
};

class KeyLayout {
 public:
  // The US layout built into the program (printable ASCII), for when none can be compiled.
  static KeyLayout BuiltInUs();
  // The layout compiled by libxkbcommon with the rules "evdev" and the model "pc105", as the
  // desktops compile it. Nothing, with the reason in error, when it cannot be compiled (an
  // unknown layout or variant, no xkb-data).
  static std::optional<KeyLayout> Compile(const LayoutName& name, std::string& error);

  // The key and modifiers that type character; nothing when the layout cannot type it.
  std::optional<KeyChord> ChordFor(uint32_t character) const;
  // The keys held for the modifiers.
  uint16_t ShiftKey() const { return shiftKey_; }
  uint16_t AltGrKey() const { return altGrKey_; }
  // The layout's name for messages: "fr", "de(nodeadkeys)".
  const std::string& Name() const { return name_; }

 private:
  KeyLayout() = default;

  std::string name_;
  std::unordered_map<uint32_t, KeyChord> chords_;
  uint16_t shiftKey_ = 0;
  uint16_t altGrKey_ = 0;
};

// The key events that type one character: the modifiers it needs go down, its key goes down
// and up, the modifiers go up. Empty when the layout cannot type it or it is a character
// that is never typed (a control character).
std::vector<KeyStep> CharacterKeySteps(const KeyLayout& layout, uint32_t character);

// The key events of a virtual key going down or up. A virtual key that stands for a
// character (the letters, the digits, blank and the punctuation keys) is the key that types
// that character in the layout, its modifiers pressed before it goes down and released
// after it goes up: the prefix 41 types "a" on every layout. Any other virtual key (Enter,
// Tab, the function keys) is its Linux key. Empty for a virtual key without key, and for a
// character the layout cannot type; that character then goes to *missing when given.
std::vector<KeyStep> VirtualKeyKeySteps(const KeyLayout& layout, uint8_t vk, KeyMove move, uint32_t* missing = nullptr);

// The key events that type a text, character after character. The characters the layout
// cannot type are left out and go to missing, in order, each as often as it occurs.
std::vector<KeyStep> TextKeySteps(const KeyLayout& layout, std::u32string_view text, std::vector<uint32_t>& missing);

// Where the layout comes from, first match wins: the command line's LAYOUT[:VARIANT] (empty:
// not given), the variables XKB_DEFAULT_LAYOUT and XKB_DEFAULT_VARIANT (null: not set), the
// system's keyboard settings (the text of /etc/default/keyboard, with XKBLAYOUT and
// XKBVARIANT; empty when there is none), else "us". source names the one taken, for
// messages.
struct LayoutChoice {
  LayoutName name;
  std::string source;
};
LayoutChoice ChooseLayout(const std::string& option, const char* envLayout, const char* envVariant,
                          const std::string& keyboardSettings);

}  // namespace platform
