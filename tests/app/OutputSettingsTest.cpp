// Config.ini as bytes: what is read from a file, and what is written back.

#include <gtest/gtest.h>

#include <string>

#include "app/OutputSettings.h"

namespace {

using app::OutputSettings;

TEST(OutputSettingsTest, WrittenFileReadsBackTheSame) {
  OutputSettings s;
  s.noSpace = true;
  s.addCr = false;
  s.addTab = true;
  s.prefix = true;
  s.prefixText = "ID:";
  s.suffix = false;
  s.suffixText = "";
  s.autoHide = true;
  const std::string file = s.Serialize();
  EXPECT_EQ(file,
            "NO_SPACE=1\r\nADD_CR=0\r\nADD_TAB=1\r\nPREFIX=1\r\nPREFIX:ID:\r\nSUFFIX=0\r\nSUFFIX:\r\n"
            "AUTOHIDE=1\r\n");
  const OutputSettings back = OutputSettings::Parse(file);
  EXPECT_EQ(back.noSpace, true);
  EXPECT_EQ(back.addCr, false);
  EXPECT_EQ(back.prefixText, "ID:");
  EXPECT_EQ(back.suffixText, "");
  EXPECT_TRUE(back.hideRequested);
  EXPECT_EQ(back.Serialize(), file);
}

TEST(OutputSettingsTest, TextsAreCutAndEndAtNul) {
  const struct {
    std::string text, written;
  } cases[] = {
      {"12345678901234567890", "1234567890123456789"},  // 20 read, 19 written
      {std::string("1B:\x01\0\0\0"
                   "41",
                   9),
       "1B:\x01"},  // the rest after a NUL is not the text
      {std::string("\0abc", 4), ""},
  };
  for (const auto& c : cases) {
    OutputSettings s;
    s.prefixText = c.text;
    const OutputSettings back = OutputSettings::Parse(s.Serialize());
    EXPECT_EQ(back.prefixText.value_or("?"), c.written) << c.written;
  }
}

TEST(OutputSettingsTest, ReadingToleratesWhatIsNoSetting) {
  // A later key wins, a long run is cut into tokens, and a flag is off only on '0'.
  const OutputSettings s =
      OutputSettings::Parse("AUTOHIDE=1 AUTOHIDE=0 junk ADD_CR=x PREFIX:" + std::string(40, 'A') + " NO_SPACE=");
  EXPECT_EQ(s.autoHide, false);
  EXPECT_TRUE(s.hideRequested);
  EXPECT_EQ(s.addCr, true);
  EXPECT_EQ(s.noSpace, true);
  EXPECT_EQ(s.prefixText, std::string(20, 'A'));
  EXPECT_FALSE(s.suffixText.has_value());
}

}  // namespace
