// The key tables. Expected values are written as numbers from the X keysym and Linux input
// code lists, not with the names the tables use, so that a wrong name in a table shows.

#include "platform/linux/VirtualKeys.h"

#include <set>

#include <gtest/gtest.h>

namespace platform {
namespace {

struct VkRow {
  uint8_t vk;
  uint32_t keysym;
  uint16_t key;
};

// One row per group of the table, with both ends of each run.
constexpr VkRow kVkRows[] = {
    {0x08, 0xff08, 14},                                           // Backspace
    {0x09, 0xff09, 15},                                           // Tab
    {0x0D, 0xff0d, 28},                                           // Enter
    {0x1B, 0xff1b, 1},                                            // Escape
    {0x20, 0x0020, 57},                                           // Space
    {0x21, 0xff55, 104},                                          // Page Up
    {0x22, 0xff56, 109},                                          // Page Down
    {0x23, 0xff57, 107},                                          // End
    {0x24, 0xff50, 102},                                          // Home
    {0x25, 0xff51, 105},                                          // Left
    {0x26, 0xff52, 103},                                          // Up
    {0x27, 0xff53, 106},                                          // Right
    {0x28, 0xff54, 108},                                          // Down
    {0x2D, 0xff63, 110},                                          // Insert
    {0x2E, 0xffff, 111},                                          // Delete
    {0x30, 0x0030, 11},                                           // 0 comes after 9 on the keyboard
    {0x31, 0x0031, 2},   {0x39, 0x0039, 10}, {0x41, 0x0061, 30},  // A: the lower-case keysym names the key
    {0x51, 0x0071, 16},                                           // Q, first of the top row
    {0x4D, 0x006d, 50},                                           // M
    {0x5A, 0x007a, 44},                                           // Z
    {0x70, 0xffbe, 59},                                           // F1
    {0x79, 0xffc7, 68},                                           // F10
    {0x7A, 0xffc8, 87},                                           // F11: the Linux codes jump after F10
    {0x7B, 0xffc9, 88},                                           // F12
    {0x7C, 0xffca, 183},                                          // F13: and again after F12
    {0x85, 0xffd3, 192},                                          // F22, the orange key with the scan button
    {0x87, 0xffd5, 194},                                          // F24, the scan button
    {0xBA, 0x003b, 39},                                           // ;
    {0xBB, 0x003d, 13},                                           // =
    {0xBC, 0x002c, 51},                                           // ,
    {0xBD, 0x002d, 12},                                           // -
    {0xBE, 0x002e, 52},                                           // .
    {0xBF, 0x002f, 53},                                           // /
    {0xC0, 0x0060, 41},                                           // `
    {0xDB, 0x005b, 26},                                           // [
    {0xDC, 0x005c, 43},                                           // backslash
    {0xDD, 0x005d, 27},                                           // ]
    {0xDE, 0x0027, 40},                                           // '
    {0x10, 0xffe1, 42},                                           // Shift
    {0x60, 0xffb0, 82},                                           // numeric keypad 0
};

TEST(VirtualKeysTest, KnownKeysHaveTheirKeysymAndLinuxKey) {
  for (const VkRow& row : kVkRows) {
    SCOPED_TRACE(testing::Message() << "vk 0x" << std::hex << int{row.vk});
    EXPECT_EQ(KeysymForVk(row.vk), row.keysym);
    EXPECT_EQ(LinuxKeyForVk(row.vk), row.key);
  }
}

TEST(VirtualKeysTest, EveryRequiredRangeIsCompleteAndRunsInOrder) {
  struct Range {
    uint8_t first;
    uint8_t last;
    uint32_t firstKeysym;
  };
  // Within each run the keysyms count up with the virtual key.
  const Range ranges[] = {{0x30, 0x39, 0x30}, {0x41, 0x5A, 0x61}, {0x70, 0x87, 0xffbe}, {0x25, 0x28, 0xff51}};
  for (const Range& r : ranges) {
    for (unsigned vk = r.first; vk <= r.last; ++vk) {
      SCOPED_TRACE(testing::Message() << "vk 0x" << std::hex << vk);
      EXPECT_EQ(KeysymForVk(static_cast<uint8_t>(vk)), r.firstKeysym + (vk - r.first));
      EXPECT_TRUE(LinuxKeyForVk(static_cast<uint8_t>(vk)).has_value());
    }
  }
  for (unsigned vk : {0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xDB, 0xDC, 0xDD, 0xDE}) {
    EXPECT_TRUE(KeysymForVk(static_cast<uint8_t>(vk)).has_value()) << std::hex << vk;
    EXPECT_TRUE(LinuxKeyForVk(static_cast<uint8_t>(vk)).has_value()) << std::hex << vk;
  }
}

TEST(VirtualKeysTest, LettersDigitsAndFunctionKeysHaveDistinctLinuxKeys) {
  std::set<uint16_t> seen;
  for (unsigned vk = 0; vk <= 0xFF; ++vk) {
    const bool distinctRange = (vk >= 0x30 && vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A) || (vk >= 0x70 && vk <= 0x87);
    if (!distinctRange) continue;
    const auto key = LinuxKeyForVk(static_cast<uint8_t>(vk));
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(seen.insert(*key).second) << "vk 0x" << std::hex << vk << " repeats key " << std::dec << *key;
  }
}

TEST(VirtualKeysTest, UnknownCodesAndTheActivityKeyMapToNothing) {
  // 0x5F is the activity signal: a key for it would reach the focused application.
  for (unsigned vk : {0x00, 0x01, 0x07, 0x0A, 0x3A, 0x40, 0x5E, 0x5F, 0x88, 0x8F, 0xC1, 0xDF, 0xFF}) {
    SCOPED_TRACE(testing::Message() << "vk 0x" << std::hex << vk);
    EXPECT_FALSE(KeysymForVk(static_cast<uint8_t>(vk)).has_value());
    EXPECT_FALSE(LinuxKeyForVk(static_cast<uint8_t>(vk)).has_value());
  }
  EXPECT_TRUE(IsActivityKey(0x5F));
  EXPECT_FALSE(IsActivityKey(0x5E));
}

TEST(VirtualKeysTest, CharacterKeysyms) {
  struct Row {
    uint32_t character;
    std::optional<uint32_t> keysym;
  };
  const Row rows[] = {
      {U' ', 0x20},         {U'A', 0x41},           {U'~', 0x7e},           {0xA0, 0xa0},
      {0xE9, 0xe9},         {0xFF, 0xff},                                 // Latin-1 is its own keysym
      {0x100, 0x1000100},   {0x3A9, 0x10003a9},     {0x20AC, 0x10020ac},  // the rest by code point
      {0x1F600, 0x101f600}, {0x10FFFF, 0x110ffff},  {0x00, std::nullopt},   {0x09, std::nullopt},
      {0x0D, std::nullopt}, {0x1F, std::nullopt},   {0x7F, std::nullopt},   {0x80, std::nullopt},
      {0x9F, std::nullopt}, {0xD800, std::nullopt}, {0xDFFF, std::nullopt}, {0x110000, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "character 0x" << std::hex << row.character);
    EXPECT_EQ(KeysymForCharacter(row.character), row.keysym);
    EXPECT_EQ(IsUntypable(row.character), !row.keysym.has_value());
  }
}

TEST(VirtualKeysTest, UsKeyboardCharacters) {
  constexpr uint16_t kA = 30, kZ = 44, k1 = 2, k0 = 11, kSpace = 57, kMinus = 12, kEqual = 13;
  constexpr uint16_t kApostrophe = 40, kGrave = 41, kBackslash = 43, kSlash = 53, kSemicolon = 39;
  const struct {
    uint32_t character;
    UsKey key;
  } rows[] = {
      {U'a', {kA, false}},
      {U'A', {kA, true}},
      {U'z', {kZ, false}},
      {U'Z', {kZ, true}},
      {U'1', {k1, false}},
      {U'!', {k1, true}},
      {U'0', {k0, false}},
      {U')', {k0, true}},
      {U'@', {3, true}},
      {U'#', {4, true}},
      {U'^', {7, true}},
      {U'*', {9, true}},
      {U' ', {kSpace, false}},
      {U'-', {kMinus, false}},
      {U'_', {kMinus, true}},
      {U'+', {kEqual, true}},
      {U'\'', {kApostrophe, false}},
      {U'"', {kApostrophe, true}},
      {U'`', {kGrave, false}},
      {U'~', {kGrave, true}},
      {U'\\', {kBackslash, false}},
      {U'|', {kBackslash, true}},
      {U'?', {kSlash, true}},
      {U':', {kSemicolon, true}},
      {U'{', {26, true}},
      {U'>', {52, true}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "character '" << static_cast<char>(row.character) << "'");
    EXPECT_EQ(UsKeyForCharacter(row.character), row.key);
  }
}

TEST(VirtualKeysTest, UsKeyboardCoversPrintableAsciiOnlyAndEachKeyTwiceAtMost) {
  std::set<std::pair<uint16_t, bool>> seen;
  for (uint32_t c = 0; c <= 0x100; ++c) {
    const auto key = UsKeyForCharacter(c);
    EXPECT_EQ(key.has_value(), c >= 0x20 && c <= 0x7E) << "character 0x" << std::hex << c;
    // Two characters on the same key and level would mean a wrong row in the table.
    if (key) {
      EXPECT_TRUE(seen.insert({key->code, key->shift}).second) << "character 0x" << std::hex << c;
    }
  }
  EXPECT_FALSE(UsKeyForCharacter(0x3A9).has_value());
}

TEST(VirtualKeysTest, UsKeyboardAgreesWithTheVirtualKeysOfLettersAndDigits) {
  for (uint32_t c = U'A'; c <= U'Z'; ++c) {
    EXPECT_EQ(UsKeyForCharacter(c)->code, LinuxKeyForVk(static_cast<uint8_t>(c)));
    EXPECT_EQ(UsKeyForCharacter(c + 0x20)->code, LinuxKeyForVk(static_cast<uint8_t>(c)));
  }
  for (uint32_t c = U'0'; c <= U'9'; ++c) EXPECT_EQ(UsKeyForCharacter(c)->code, LinuxKeyForVk(static_cast<uint8_t>(c)));
}

}  // namespace
}  // namespace platform
