#include "protocol/KeyList.h"

#include <gtest/gtest.h>

namespace {

using Keys = std::vector<uint8_t>;

TEST(KeyList, Parse) {
  const struct {
    const char16_t* text;
    Keys keys;
  } cases[] = {
      {u"", {}},
      {u"41:42", {0x41, 0x42}},
      {u"0D", {0x0D}},
      {u"0D::09", {0x0D, 0x09}},
      {u":0D", {0x0D}},
      {u"0D:", {0x0D}},
      {u"141", {0x41}},  // low 8 bits
      {u"1B:41", {0x1B, 0x41}},
      {u"2e:0D", {0x2E, 0x0D}},
      // A piece that is no hexadecimal number sends nothing.
      {u"zz", {}},
      {u"41:zz:42", {0x41, 0x42}},
      {u"4G", {}},
      {u"0x", {}},
      {u" 0x41 ", {0x41}},
      {u"FFFFFFFFFFFFFFFF41", {0x41}},
  };
  for (const auto& c : cases) EXPECT_EQ(protocol::ParseKeyList(c.text), c.keys);
}

TEST(KeyList, LongTextsStayBounded) {
  std::u16string text;
  for (int i = 0; i < 10000; ++i) text += u"41:";
  EXPECT_EQ(protocol::ParseKeyList(text).size(), 10000u);
  EXPECT_EQ(protocol::ParseKeyList(std::u16string(100000, u':')).size(), 0u);
}

}  // namespace
