#include "platform/linux/KeyLayout.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "platform/linux/UniquePtr.h"
#include "platform/linux/VirtualKeys.h"

namespace platform {
namespace {

using ContextPtr = UniquePtr<xkb_context, xkb_context_unref>;
using KeymapPtr = UniquePtr<xkb_keymap, xkb_keymap_unref>;
using StatePtr = UniquePtr<xkb_state, xkb_state_unref>;

// XKB keycodes are the Linux key codes plus 8.
constexpr xkb_keycode_t kXkbOffset = 8;
constexpr const char* kRules = "evdev";
constexpr const char* kModel = "pc105";

// libxkbcommon reports to standard error on its own; its first error is kept instead, for
// the one line the program writes.
void KeepFirstError(xkb_context* context, xkb_log_level, const char* format, va_list args) {
  auto* error = static_cast<std::string*>(xkb_context_get_user_data(context));
  if (!error || !error->empty()) return;
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  *error = text;
  while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
}

bool IsKeypadKeysym(xkb_keysym_t sym) { return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal; }

// The first keycode whose first level is keysym, preferring the one given.
xkb_keycode_t KeyWithSymbol(xkb_keymap* keymap, xkb_keysym_t keysym, xkb_keycode_t preferred) {
  auto firstLevelIs = [&](xkb_keycode_t kc) {
    const xkb_keysym_t* syms = nullptr;
    const int n = xkb_keymap_key_get_syms_by_level(keymap, kc, 0, 0, &syms);
    return n == 1 && syms[0] == keysym;
  };
  if (firstLevelIs(preferred)) return preferred;
  for (xkb_keycode_t kc = xkb_keymap_min_keycode(keymap); kc <= xkb_keymap_max_keycode(keymap); ++kc)
    if (firstLevelIs(kc)) return kc;
  return XKB_KEYCODE_INVALID;
}

// What it costs a reader to take a key with modifiers for its character; the cheapest way
// is typed. Each modifier costs a little: fewer keys are fewer events to lose. The extra key
// of ISO keyboards (left of Z) costs more than Shift, as not every keyboard has it; the
// keypad more than both modifiers, as its digits depend on Num Lock and applications may
// take its keys for commands; any other key (the keys of Japanese or Brazilian keyboards,
// media keys) most, and is used only when nothing else types the character.
constexpr int kModifierCost = 2;
constexpr int kIsoKeyCost = 3;
constexpr int kKeypadCost = 6;
constexpr int kOtherKeyCost = 20;

int KeyCost(xkb_keymap* keymap, xkb_keycode_t kc) {
  const xkb_keycode_t key = kc - kXkbOffset;
  if (key == KEY_102ND) return kIsoKeyCost;
  const xkb_keysym_t* syms = nullptr;
  const int n = xkb_keymap_key_get_syms_by_level(keymap, kc, 0, 0, &syms);
  if (n >= 1 && IsKeypadKeysym(syms[0])) return kKeypadCost;
  // The main block of a PC keyboard has the codes up to the keypad's last.
  return key <= KEY_KPDOT ? 0 : kOtherKeyCost;
}

std::string DisplayName(const LayoutName& name) {
  return name.variant.empty() ? name.layout : name.layout + "(" + name.variant + ")";
}

// The value of NAME=value in a shell-style settings file, without its quotes.
std::optional<std::string> SettingValue(const std::string& text, const std::string& name) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    line.erase(0, first);
    if (line.rfind("export ", 0) == 0) line.erase(0, 7);
    if (line.rfind(name + "=", 0) != 0) continue;
    std::string value = line.substr(name.size() + 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::nullopt;
}

}  // namespace

KeyLayout KeyLayout::BuiltInUs() {
  KeyLayout layout;
  layout.name_ = "us";
  layout.shiftKey_ = KEY_LEFTSHIFT;
  for (uint32_t c = 0x20; c <= 0x7E; ++c) {
    if (const std::optional<UsKey> key = UsKeyForCharacter(c)) layout.chords_[c] = {key->code, key->shift, false};
  }
  return layout;
}

std::optional<KeyLayout> KeyLayout::Compile(const LayoutName& name, std::string& error) {
  std::string libraryError;
  // The names given are the ones compiled, whatever the XKB_DEFAULT_* variables say.
  ContextPtr context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
  if (!context) {
    error = "libxkbcommon cannot start";
    return std::nullopt;
  }
  xkb_context_set_user_data(context.get(), &libraryError);
  xkb_context_set_log_fn(context.get(), KeepFirstError);
  xkb_context_set_log_level(context.get(), XKB_LOG_LEVEL_ERROR);
  const xkb_rule_names names{kRules, kModel, name.layout.c_str(), name.variant.c_str(), ""};
  KeymapPtr keymap(xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  xkb_context_set_user_data(context.get(), nullptr);
  if (!keymap) {
    error = "no keyboard layout \"" + DisplayName(name) + "\"" + (libraryError.empty() ? "" : ": " + libraryError);
    return std::nullopt;
  }

  KeyLayout layout;
  layout.name_ = DisplayName(name);
  const xkb_keycode_t shift = KeyWithSymbol(keymap.get(), XKB_KEY_Shift_L, KEY_LEFTSHIFT + kXkbOffset);
  const xkb_keycode_t altGr = KeyWithSymbol(keymap.get(), XKB_KEY_ISO_Level3_Shift, KEY_RIGHTALT + kXkbOffset);
  if (shift != XKB_KEYCODE_INVALID) layout.shiftKey_ = static_cast<uint16_t>(shift - kXkbOffset);
  if (altGr != XKB_KEYCODE_INVALID) layout.altGrKey_ = static_cast<uint16_t>(altGr - kXkbOffset);

  // Each key is asked what it types with each combination of modifiers held; the cheapest
  // key and modifiers for a character keep it, the first found among equals.
  struct Mods {
    bool shift;
    bool altGr;
  };
  constexpr std::array<Mods, 4> kCombinations = {{{false, false}, {true, false}, {false, true}, {true, true}}};
  std::unordered_map<uint32_t, int> costs;
  const xkb_keycode_t minKey = std::max(xkb_keymap_min_keycode(keymap.get()), kXkbOffset + 1);
  const xkb_keycode_t maxKey = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap.get()), KEY_MAX + kXkbOffset);
  for (const Mods& mods : kCombinations) {
    if ((mods.shift && !layout.shiftKey_) || (mods.altGr && !layout.altGrKey_)) continue;
    StatePtr state(xkb_state_new(keymap.get()));
    if (!state) continue;
    if (mods.shift) xkb_state_update_key(state.get(), shift, XKB_KEY_DOWN);
    if (mods.altGr) xkb_state_update_key(state.get(), altGr, XKB_KEY_DOWN);
    const int modifierCost = kModifierCost * (int{mods.shift} + int{mods.altGr});
    for (xkb_keycode_t kc = minKey; kc <= maxKey; ++kc) {
      const uint32_t c = xkb_state_key_get_utf32(state.get(), kc);
      if (c == 0 || IsUntypable(c)) continue;
      const int cost = modifierCost + KeyCost(keymap.get(), kc);
      const auto [it, added] = costs.try_emplace(c, cost);
      if (!added && it->second <= cost) continue;
      it->second = cost;
      layout.chords_[c] = KeyChord{static_cast<uint16_t>(kc - kXkbOffset), mods.shift, mods.altGr};
    }
  }
  return layout;
}

std::optional<KeyChord> KeyLayout::ChordFor(uint32_t character) const {
  const auto it = chords_.find(character);
  if (it == chords_.end()) return std::nullopt;
  return it->second;
}

namespace {

// The modifiers of a chord in the order they are pressed.
std::vector<uint16_t> ModifierKeys(const KeyLayout& layout, const KeyChord& chord) {
  std::vector<uint16_t> keys;
  if (chord.shift) keys.push_back(layout.ShiftKey());
  if (chord.altGr) keys.push_back(layout.AltGrKey());
  return keys;
}

void PressChord(const KeyLayout& layout, const KeyChord& chord, std::vector<KeyStep>& steps) {
  for (uint16_t modifier : ModifierKeys(layout, chord)) steps.push_back({modifier, KeyMove::Down});
  steps.push_back({chord.key, KeyMove::Down});
}

void ReleaseChord(const KeyLayout& layout, const KeyChord& chord, std::vector<KeyStep>& steps) {
  steps.push_back({chord.key, KeyMove::Up});
  const std::vector<uint16_t> modifiers = ModifierKeys(layout, chord);
  for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) steps.push_back({*it, KeyMove::Up});
}

}  // namespace

std::vector<KeyStep> CharacterKeySteps(const KeyLayout& layout, uint32_t character) {
  std::vector<KeyStep> steps;
  if (IsUntypable(character)) return steps;
  const std::optional<KeyChord> chord = layout.ChordFor(character);
  if (!chord) return steps;
  PressChord(layout, *chord, steps);
  ReleaseChord(layout, *chord, steps);
  return steps;
}

std::vector<KeyStep> VirtualKeyKeySteps(const KeyLayout& layout, uint8_t vk, KeyMove move, uint32_t* missing) {
  std::vector<KeyStep> steps;
  if (const std::optional<uint32_t> character = CharacterForVk(vk)) {
    const std::optional<KeyChord> chord = layout.ChordFor(*character);
    if (!chord) {
      if (missing) *missing = *character;
      return steps;
    }
    if (move == KeyMove::Down) {
      PressChord(layout, *chord, steps);
    } else {
      ReleaseChord(layout, *chord, steps);
    }
    return steps;
  }
  if (const std::optional<uint16_t> key = LinuxKeyForVk(vk)) steps.push_back({*key, move});
  return steps;
}

std::vector<KeyStep> TextKeySteps(const KeyLayout& layout, std::u32string_view text, std::vector<uint32_t>& missing) {
  std::vector<KeyStep> steps;
  for (const char32_t c : text) {
    const std::vector<KeyStep> one = CharacterKeySteps(layout, c);
    if (one.empty() && !IsUntypable(c)) missing.push_back(c);
    steps.insert(steps.end(), one.begin(), one.end());
  }
  return steps;
}

LayoutChoice ChooseLayout(const std::string& option, const char* envLayout, const char* envVariant,
                          const std::string& keyboardSettings) {
  if (!option.empty()) {
    const size_t colon = option.find(':');
    if (colon == std::string::npos) return {{option, ""}, "--keymap"};
    return {{option.substr(0, colon), option.substr(colon + 1)}, "--keymap"};
  }
  if (envLayout && *envLayout) return {{envLayout, envVariant ? envVariant : ""}, "XKB_DEFAULT_LAYOUT"};
  if (const std::optional<std::string> layout = SettingValue(keyboardSettings, "XKBLAYOUT");
      layout && !layout->empty()) {
    return {{*layout, SettingValue(keyboardSettings, "XKBVARIANT").value_or("")}, "/etc/default/keyboard"};
  }
  return {{"us", ""}, "the default"};
}

}  // namespace platform
