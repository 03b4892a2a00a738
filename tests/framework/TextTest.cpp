#include "text/Text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, NarrowKeepsLowBitsAndWidenIsByteWise) {
  EXPECT_EQ(fw::Narrow(u"AB\u0141\u00E9"), std::string("AB\x41\xE9"));
  EXPECT_EQ(fw::Widen(std::string("a\xFF", 2)), std::u16string(u"a\u00FF"));
  EXPECT_EQ(fw::Narrow(fw::Widen(std::string("\x00\x80\xFF", 3))), std::string("\x00\x80\xFF", 3));
}

TEST(Text, Utf8RoundTripsAndRepairsBrokenInput) {
  const std::u16string text = u"Code: \u00E9\u20AC\U0001F600";
  EXPECT_EQ(fw::FromUtf8(fw::ToUtf8(text)), text);
  EXPECT_EQ(fw::ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");  // unpaired surrogate
  EXPECT_EQ(fw::FromUtf8("\xC3"), u"\uFFFD");                           // cut sequence
  EXPECT_EQ(fw::FromUtf8("a\x80z"), u"a\uFFFDz");
}

TEST(Text, FormatInt) { EXPECT_EQ(fw::FormatInt("max. %d characters.", 15), u"max. 15 characters."); }

}  // namespace
