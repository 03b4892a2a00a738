// Keyboard layouts compiled by libxkbcommon from the system's xkb-data: the keys and
// modifiers that type a code on a US, a French and a German keyboard. Expected keys are
// Linux key codes as numbers, named by the key of a US keyboard at that place.

#include "platform/linux/KeyLayout.h"

#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

// Keys by their place on a US keyboard.
constexpr uint16_t k1 = 2, k2 = 3, k3 = 4, k4 = 5, k5 = 6, k6 = 7, k7 = 8, k8 = 9, k9 = 10, k0 = 11;
constexpr uint16_t kQ = 16, kW = 17, kY = 21, kA = 30, kD = 32, kZ = 44, kC = 46, kB = 48;
constexpr uint16_t kComma = 51, kApostrophe = 40, kBackslash = 43, kSpace = 57, k102nd = 86, kKpAsterisk = 55;
constexpr uint16_t kLeftShift = 42, kRightAlt = 100;

// A chord as the tables write it: the key, then S for Shift and G for AltGr.
KeyChord Plain(uint16_t key) { return {key, false, false}; }
KeyChord S(uint16_t key) { return {key, true, false}; }
KeyChord G(uint16_t key) { return {key, false, true}; }

// The key events a person makes for the chords: modifiers down, key down and up, modifiers
// up in the opposite order.
std::vector<KeyStep> Typed(const std::vector<KeyChord>& chords, uint16_t altGrKey) {
  std::vector<KeyStep> steps;
  for (const KeyChord& c : chords) {
    if (c.shift) steps.push_back({kLeftShift, KeyMove::Down});
    if (c.altGr) steps.push_back({altGrKey, KeyMove::Down});
    steps.push_back({c.key, KeyMove::Down});
    steps.push_back({c.key, KeyMove::Up});
    if (c.altGr) steps.push_back({altGrKey, KeyMove::Up});
    if (c.shift) steps.push_back({kLeftShift, KeyMove::Up});
  }
  return steps;
}

// Each layout is compiled once for the whole test program.
const KeyLayout& Layout(const std::string& name) {
  static std::map<std::string, KeyLayout> compiled;
  auto it = compiled.find(name);
  if (it == compiled.end()) {
    std::string error;
    std::optional<KeyLayout> layout = KeyLayout::Compile({name, ""}, error);
    if (!layout) {
      ADD_FAILURE() << "cannot compile " << name << ": " << error;
      layout = KeyLayout::BuiltInUs();
    }
    it = compiled.emplace(name, std::move(*layout)).first;
  }
  return it->second;
}

struct TextRow {
  const char* layout;
  std::u32string text;
  std::vector<KeyChord> chords;
};

const std::vector<KeyChord> kDigitsUnshifted = {Plain(k9), Plain(k9), Plain(k9), Plain(k0), Plain(k0),
                                                Plain(k0), Plain(k0), Plain(k1), Plain(k2), Plain(k3),
                                                Plain(k4), Plain(k5), Plain(k6), Plain(k7), Plain(k8)};
// The French layout has the digits on the second level of the top row.
const std::vector<KeyChord> kDigitsShifted = {S(k9), S(k9), S(k9), S(k0), S(k0), S(k0), S(k0), S(k1),
                                              S(k2), S(k3), S(k4), S(k5), S(k6), S(k7), S(k8)};

TEST(KeyLayoutTest, CodesTypeAsTheKeysAndModifiersOfEachLayout) {
  const TextRow rows[] = {
      {"us", U"999000012345678", kDigitsUnshifted},
      {"fr", U"999000012345678", kDigitsShifted},
      {"de", U"999000012345678", kDigitsUnshifted},
      {"us", U"AB12 cd", {S(kA), S(kB), Plain(k1), Plain(k2), Plain(kSpace), Plain(kC), Plain(kD)}},
      // AZERTY: A is where a US keyboard has Q.
      {"fr", U"AB12 cd", {S(kQ), S(kB), S(k1), S(k2), Plain(kSpace), Plain(kC), Plain(kD)}},
      {"de", U"AB12 cd", {S(kA), S(kB), Plain(k1), Plain(k2), Plain(kSpace), Plain(kC), Plain(kD)}},
      // QWERTZ swaps y and z; "@" is on the third level (AltGr) of Q there and of 0 in France.
      {"us", U"zy@<*", {Plain(kZ), Plain(kY), S(k2), S(kComma), S(k8)}},
      {"fr", U"zy@<*\u00E9", {Plain(kW), Plain(kY), G(k0), Plain(k102nd), Plain(kBackslash), Plain(k2)}},
      {"de", U"zy@<\u00E4", {Plain(kY), Plain(kZ), G(kQ), Plain(k102nd), Plain(kApostrophe)}},
  };
  for (const TextRow& row : rows) {
    SCOPED_TRACE(testing::Message() << row.layout << " text #" << (&row - rows));
    const KeyLayout& layout = Layout(row.layout);
    std::vector<uint32_t> missing;
    EXPECT_EQ(TextKeySteps(layout, row.text, missing), Typed(row.chords, layout.AltGrKey()));
    EXPECT_TRUE(missing.empty());
  }
}

TEST(KeyLayoutTest, ModifierKeysAreShiftAndRightAlt) {
  for (const char* name : {"fr", "de"}) {
    EXPECT_EQ(Layout(name).ShiftKey(), kLeftShift) << name;
    EXPECT_EQ(Layout(name).AltGrKey(), kRightAlt) << name;
  }
  EXPECT_EQ(Layout("us").ShiftKey(), kLeftShift);
  EXPECT_EQ(Layout("fr").Name(), "fr");
}

// The prefix 41:42 names the keys A and B: on each layout they type "a" and "b", so on
// AZERTY the first is the key a US keyboard has Q on. A digit key types its digit.
TEST(KeyLayoutTest, VirtualKeysThatStandForCharactersFollowTheLayout) {
  struct Row {
    const char* layout;
    uint8_t vk;
    std::vector<KeyStep> down;
    std::vector<KeyStep> up;
  };
  const Row rows[] = {
      {"us", 0x41, {{kA, KeyMove::Down}}, {{kA, KeyMove::Up}}},
      {"us", 0x42, {{kB, KeyMove::Down}}, {{kB, KeyMove::Up}}},
      {"fr", 0x41, {{kQ, KeyMove::Down}}, {{kQ, KeyMove::Up}}},
      {"fr", 0x42, {{kB, KeyMove::Down}}, {{kB, KeyMove::Up}}},
      {"de", 0x41, {{kA, KeyMove::Down}}, {{kA, KeyMove::Up}}},
      {"de", 0x42, {{kB, KeyMove::Down}}, {{kB, KeyMove::Up}}},
      {"de", 0x5A, {{kY, KeyMove::Down}}, {{kY, KeyMove::Up}}},
      // Shift goes down before the key and up after it.
      {"fr", 0x31, {{kLeftShift, KeyMove::Down}, {k1, KeyMove::Down}}, {{k1, KeyMove::Up}, {kLeftShift, KeyMove::Up}}},
      // Keys that stand for no character are the same place on every layout.
      {"fr", 0x0D, {{28, KeyMove::Down}}, {{28, KeyMove::Up}}},
      {"de", 0x09, {{15, KeyMove::Down}}, {{15, KeyMove::Up}}},
      {"fr", 0x87, {{194, KeyMove::Down}}, {{194, KeyMove::Up}}},
      {"fr", 0x5F, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.layout << " vk 0x" << std::hex << int{row.vk});
    uint32_t missing = 0;
    EXPECT_EQ(VirtualKeyKeySteps(Layout(row.layout), row.vk, KeyMove::Down, &missing), row.down);
    EXPECT_EQ(VirtualKeyKeySteps(Layout(row.layout), row.vk, KeyMove::Up, &missing), row.up);
    EXPECT_EQ(missing, 0u);
  }
}

TEST(KeyLayoutTest, CharactersALayoutCannotTypeAreLeftOutAndNamed) {
  std::vector<uint32_t> missing;
  // "é" has a key in France only; Omega nowhere; control characters are never typed.
  const std::vector<KeyStep> steps = TextKeySteps(Layout("us"), U"1\u00E9\r\u03A92\u00E9", missing);
  EXPECT_EQ(steps, Typed({Plain(k1), Plain(k2)}, 0));
  EXPECT_EQ(missing, (std::vector<uint32_t>{0xE9, 0x3A9, 0xE9}));
  // A virtual key whose character the layout lacks sends nothing and names it: the grave
  // accent is a dead key on a German keyboard.
  uint32_t vkMissing = 0;
  EXPECT_TRUE(VirtualKeyKeySteps(Layout("de"), 0xC0, KeyMove::Down, &vkMissing).empty());
  EXPECT_EQ(vkMissing, U'`');
}

TEST(KeyLayoutTest, TheBuiltInLayoutAgreesWithTheCompiledUsLayoutOnAscii) {
  const KeyLayout builtIn = KeyLayout::BuiltInUs();
  const KeyLayout& compiled = Layout("us");
  for (uint32_t c = 0x20; c <= 0x7E; ++c) {
    EXPECT_EQ(builtIn.ChordFor(c), compiled.ChordFor(c)) << "character '" << static_cast<char>(c) << "'";
  }
  EXPECT_NE(compiled.ChordFor(U'*')->key, kKpAsterisk) << "the keypad comes after the main keys";
}

TEST(KeyLayoutTest, CompilingIgnoresTheEnvironmentAndRefusesUnknownNames) {
  // libxkbcommon would fill in names from these variables; the names given must win.
  ::setenv("XKB_DEFAULT_LAYOUT", "fr", 1);
  ::setenv("XKB_DEFAULT_VARIANT", "bepo", 1);
  std::string error;
  const std::optional<KeyLayout> us = KeyLayout::Compile({"us", ""}, error);
  ::unsetenv("XKB_DEFAULT_LAYOUT");
  ::unsetenv("XKB_DEFAULT_VARIANT");
  ASSERT_TRUE(us.has_value()) << error;
  EXPECT_EQ(us->ChordFor(U'q'), Plain(kQ));

  const std::optional<KeyLayout> dvorak = KeyLayout::Compile({"us", "dvorak"}, error);
  ASSERT_TRUE(dvorak.has_value()) << error;
  EXPECT_EQ(dvorak->Name(), "us(dvorak)");
  EXPECT_EQ(dvorak->ChordFor(U'q'), Plain(45)) << "Dvorak has q where QWERTY has x";

  for (const LayoutName& bad : {LayoutName{"xx", ""}, LayoutName{"us", "nosuchvariant"}}) {
    error.clear();
    EXPECT_FALSE(KeyLayout::Compile(bad, error).has_value()) << bad.layout << ":" << bad.variant;
    EXPECT_NE(error.find(bad.layout), std::string::npos) << error;
  }
}

TEST(KeyLayoutTest, TheLayoutComesFromTheOptionTheEnvironmentTheSystemSettingsOrUs) {
  const std::string settings =
      "# KEYBOARD CONFIGURATION FILE\nXKBMODEL=\"pc105\"\nXKBLAYOUT=\"de\"\n"
      "XKBVARIANT='nodeadkeys'\nXKBOPTIONS=\"\"\n";
  struct Row {
    std::string option;
    const char* envLayout;
    const char* envVariant;
    std::string settings;
    LayoutName expected;
    std::string source;
  };
  const Row rows[] = {
      {"fr", "de", "neo", settings, {"fr", ""}, "--keymap"},
      {"fr:bepo", nullptr, nullptr, settings, {"fr", "bepo"}, "--keymap"},
      {"", "fr", "bepo", settings, {"fr", "bepo"}, "XKB_DEFAULT_LAYOUT"},
      {"", "fr", nullptr, settings, {"fr", ""}, "XKB_DEFAULT_LAYOUT"},
      // A variant alone names no layout.
      {"", nullptr, "bepo", settings, {"de", "nodeadkeys"}, "/etc/default/keyboard"},
      {"", "", nullptr, "XKBLAYOUT=fr\r\n", {"fr", ""}, "/etc/default/keyboard"},
      {"",
       nullptr,
       nullptr,
       "  export XKBLAYOUT=\"us,ru\"\nXKBVARIANT=\",\"\n",
       {"us,ru", ","},
       "/etc/default/keyboard"},
      {"", nullptr, nullptr, "XKBLAYOUT=\"\"\n", {"us", ""}, "the default"},
      {"", nullptr, nullptr, "#XKBLAYOUT=\"fr\"\nMYXKBLAYOUT=fr\n", {"us", ""}, "the default"},
      {"", nullptr, nullptr, "", {"us", ""}, "the default"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "row #" << (&row - rows));
    const LayoutChoice choice = ChooseLayout(row.option, row.envLayout, row.envVariant, row.settings);
    EXPECT_EQ(choice.name, row.expected) << choice.name.layout << ":" << choice.name.variant;
    EXPECT_EQ(choice.source, row.source);
  }
}

}  // namespace
}  // namespace platform
