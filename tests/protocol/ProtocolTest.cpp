#include <gtest/gtest.h>

#include "protocol/ReaderConfig.h"
#include "protocol/ResponseParser.h"
#include "protocol/TagTable.h"

namespace {

using namespace protocol;

TEST(TagTable, EveryTypeCodeAndTheUnknown) {
  const struct {
    const char* code;
    const char16_t* name;
  } cases[] = {
      {"80", u"PSK1"},
      {"40", u"PSK2"},
      {"20", u"Keswin Unique"},
      {"13", u"Keswin FLEX 3 blocks"},
      {"15", u"Keswin FLEX 5 blocks"},
      {"17", u"Keswin FLEX 7 blocks"},
      {"08", u"ISO FDX-b"},
      {"04", u"Fecava"},
      {"02", u"Avid Encrypted"},
      {"01", u"ASK 64 bits"},
      {"A0", u"HDX"},
      {"A7", u"HDX-ISO"},
      {"0F", u"ISO Industrial"},
      {"00", u"Keswin ATEX71"},
      // Exact and case-sensitive.
      {"a0", u"Unknown"},
      {"0f", u"Unknown"},
      {"8", u"Unknown"},
      {"", u"Unknown"},
      {"10", u"Unknown"},
  };
  for (const auto& c : cases) EXPECT_EQ(TagTypeName(c.code), c.name) << c.code;
}

TEST(VersionReport, Fields) {
  const struct {
    const char* line;
    const char* firmware;
    const char* commandSet;
    bool typeConfig;
  } cases[] = {
      {"VLF2.01 CRSWI", "LF2.01", "CRSWI", true},
      {"VLF2.0 CRS", "LF2.0", "CRS", false},  // five characters: no sixth
      {"VABCDE2 X", "ABCDE2", "X", false},
      // Twelve characters without a blank: the firmware field holds ten.
      {"V123456789012", "1234567890", "", false},
      // The command set is the last non-empty word; a trailing blank keeps the word before.
      {"VFW A B", "FW", "B", false},
      {"VFW ABC ", "FW", "ABC", false},
      // A shorter word overwrites the start of a longer one.
      {"VFW ABCD XY", "FW", "XY", false},
      // Overlong command set: the walk ends at six characters.
      {"VFW ABCDEFGH", "FW", "ABCDEF", false},
      {"V", "", "", false},
      {"V 1", "", "1", false},
  };
  for (const auto& c : cases) {
    const VersionReport r = ParseVersionReport(c.line);
    EXPECT_EQ(r.firmware, c.firmware) << c.line;
    EXPECT_EQ(r.commandSet, c.commandSet) << c.line;
    EXPECT_EQ(r.typeConfig, c.typeConfig) << c.line;
  }
}

TEST(ScanStatus, SecondCharacterDecides) {
  const struct {
    const char* line;
    ScanStatus status;
  } cases[] = {
      {"S1", ScanStatus::Started},  {"S0", ScanStatus::NoTag},   {"SS", ScanStatus::SameTag},
      {"SNO", ScanStatus::Ignored}, {"S2", ScanStatus::Ignored}, {"S", ScanStatus::Ignored},
      {"SN", ScanStatus::Ignored},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseScanStatus(c.line), c.status) << c.line;
}

TEST(TagLine, TypeAndCode) {
  const struct {
    const char* line;
    bool noSpace;
    const char* type;
    const char* code;
  } cases[] = {
      {"80ABCDEFGHIJZ", false, "80", "ABCDEFGHIJ"},  // the last character is dropped
      {"15ABC", false, "15", "AB"},
      {"08X", false, "08", ""},
      {"08", false, "08", ""},
      {"0", false, "0", ""},
      {"", false, "", ""},
      {"080 12 345Z", false, "08", "0 12 345"},
      {"080 12 345Z", true, "08", "012345"},
  };
  for (const auto& c : cases) {
    const TagLine t = ParseTagLine(c.line, c.noSpace);
    EXPECT_EQ(t.typeCode, c.type) << c.line;
    EXPECT_EQ(t.code, c.code) << c.line;
  }
}

TEST(ReaderConfig, Commands) {
  EXPECT_EQ(BuildConfigCommand(0xA0, 0x01, 0x81), "cA00181xxxx");
  EXPECT_EQ(BuildConfigCommand(0, 0, 0), "c000000xxxx");
  EXPECT_EQ(BuildTagTypeCommand(0x81, 0x00), "r8100");
  EXPECT_EQ(BuildTagTypeCommand(0x00, 0x80), "r0080");
}

TEST(ReaderConfig, EchoCheck) {
  const std::string cmd = "cA00181xxxx";
  const struct {
    std::string reply;
    bool good;
  } cases[] = {
      {cmd + "OK", true},       {"cOK", true},  // shorter, but what it has matches
      {"cA0OK", true},          {"cNO", false}, {cmd + "NO", false},
      {cmd + "xOK", false},                                    // one character more than the command
      {"cB00181xxxxOK", false}, {"c", false},   {"OK", true},  // nothing to compare
  };
  for (const auto& c : cases) EXPECT_EQ(IsGoodEcho(c.reply, cmd), c.good) << c.reply;
}

TEST(HexField, DigitsAndBounds) {
  EXPECT_EQ(HexField("C80", 1), std::optional<uint8_t>(0x80));
  EXPECT_EQ(HexField("Cf8", 1), std::optional<uint8_t>(0xF8));
  EXPECT_EQ(HexField("CG1", 1), std::optional<uint8_t>(0x01));  // not a digit: 0
  EXPECT_EQ(HexField("C8", 1), std::nullopt);                   // only half a field
  EXPECT_EQ(HexField("C", 7), std::nullopt);
}

}  // namespace
