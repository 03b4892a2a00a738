#pragma once
// The key tables the input backends share: the program's virtual-key codes (the codes of
// the key lists in the prefix and suffix fields and of the hot keys) as X keysyms and as
// Linux input key codes, and the characters of a US keyboard as Linux key codes.
//
// The tables are pure data: no X connection and no device is needed to use them, and this
// header includes no system headers, so it can sit next to any other code.
//
// Virtual-key code 0x5F is the key event the receive loop sends every 600 ms while the scan
// button is held in hidden mode. On the handheld it tells the system that the user is busy;
// no key of a desktop keyboard means that, and a key event would reach the focused
// application, so the tables map 0x5F to nothing. The backends treat it as an activity
// signal instead (IsActivityKey): the XTest output resets the X screen saver, the uinput
// output sends nothing.

#include <cstdint>
#include <optional>

namespace platform {

// The virtual-key code of the activity signal described above.
inline constexpr uint8_t kVkActivity = 0x5F;

inline bool IsActivityKey(uint8_t vk) { return vk == kVkActivity; }

// The X keysym of a virtual key: the symbol on the key's unshifted level of a US keyboard
// (0x41 "A" is the keysym "a"). Nothing for a code the table does not hold.
std::optional<uint32_t> KeysymForVk(uint8_t vk);

// The character a virtual key stands for: its keysym when that is a printable Latin-1
// character (the letters in lower case, the digits, blank, the punctuation keys). Nothing
// for the other keys (Enter, Tab, the function keys, the keypad).
std::optional<uint32_t> CharacterForVk(uint8_t vk);

// The Linux input key code (KEY_*) of a virtual key. Nothing for a code the table does not
// hold.
std::optional<uint16_t> LinuxKeyForVk(uint8_t vk);

// Whether a character is one that is never typed: the C0 controls (below 0x20), DEL (0x7F),
// the C1 controls (0x80 to 0x9F), UTF-16 surrogates and values beyond Unicode. A code may
// carry them from a reader line; typing them would send control keys to the application.
bool IsUntypable(uint32_t character);

// The X keysym of a character: Latin-1 characters are their own keysym, every other
// Unicode character is 0x01000000 plus its code point. Nothing for an untypable character.
std::optional<uint32_t> KeysymForCharacter(uint32_t character);

// A key of a US keyboard that types a character, and whether Shift is held for it.
struct UsKey {
  uint16_t code;  // KEY_*
  bool shift;
  friend bool operator==(const UsKey&, const UsKey&) = default;
};

// The US keyboard key of a printable ASCII character (blank included). Nothing for any
// other character: a US layout has no key for it.
std::optional<UsKey> UsKeyForCharacter(uint32_t character);

}  // namespace platform
