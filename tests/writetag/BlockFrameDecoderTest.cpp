#include "writetag/BlockFrameDecoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "writetag/BlockFrames.h"

namespace writetag {
namespace {

TEST(BlockFrameDecoder, ReadsTheWorkedExample) {
  const auto first = DecodeFrameText("w20E91443A2\r");
  const auto second = DecodeFrameText("w20eba0edbb");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->address, 2);
  EXPECT_EQ(second->address, 3);
  EXPECT_EQ(first->dataWord, 0x1D228874U);
  EXPECT_TRUE(IsDataBlockFrame(*first) && IsDataBlockFrame(*second));
  EXPECT_EQ(BlockPayload(first->dataWord), 0x31323U);  // 0x31, 0x32, high half of 0x33
  const std::uint32_t words[] = {first->dataWord, second->dataWord};
  EXPECT_EQ(CodeFromBlockWords(words), "12345");
}

// Encode, send, parse, reassemble: the code's low bytes come back, without the zero
// bytes that pad it to its blocks.
TEST(BlockFrameDecoder, RoundTripsCodes) {
  std::vector<std::u16string> codes = {u"1", u"a b", u"12 34", u"Hello World", u"\u00FF\u01FE"};
  std::mt19937 random(1234);
  for (std::size_t length = 1; length <= MAX_CODE_CHARS; ++length) {
    codes.emplace_back();
    for (std::size_t i = 0; i < length; ++i) codes.back() += static_cast<char16_t>(random());
  }
  for (const auto& code : codes) {
    std::string expected;
    for (char16_t ch : code) expected += static_cast<char>(ch & 0xFF);
    while (!expected.empty() && expected.back() == '\0') expected.pop_back();

    BlockFrameSet set;
    ASSERT_EQ(ComputeBlockFrames(set, code).result, kResultOk);
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < set.m_nBlockCount; ++i) {
      const auto decoded = DecodeFrameText(WriteCommandFor(set, i).value_or(""));
      ASSERT_TRUE(decoded) << i;
      EXPECT_TRUE(IsDataBlockFrame(*decoded) && decoded->address == i + 2) << i;
      words.push_back(decoded->dataWord);
    }
    EXPECT_EQ(CodeFromBlockWords(words), expected);
  }
}

TEST(BlockFrameDecoder, RejectsEveryFlippedDataOrHeaderBit) {
  const std::uint64_t good = 0x20EBA0EDBB;
  ASSERT_TRUE(IsDataBlockFrame(DecodeFrame(good)));
  for (unsigned bit = 3; bit < 40; ++bit) {
    const DecodedFrame flipped = DecodeFrame(good ^ (std::uint64_t{1} << bit));
    EXPECT_FALSE(IsDataBlockFrame(flipped)) << bit;
    EXPECT_FALSE(bit < 35 ? flipped.ParityOk() : flipped.headerOk) << bit;
  }
}

// Sound parity alone does not make a data block: the address must be 2 to 7 and the
// first data bit 0, as every code write has them.
TEST(BlockFrameDecoder, RejectsParitySoundFramesNoCodeWriteMakes) {
  const std::uint32_t leadingOne = 0x8D22887D;  // row 0 reads 1 0 0 0, row 7 fixed up
  ASSERT_TRUE(DecodeFrame(MakeFrame(leadingOne, 2)).ParityOk());
  EXPECT_FALSE(IsDataBlockFrame(DecodeFrame(MakeFrame(leadingOne, 2))));
  EXPECT_FALSE(IsDataBlockFrame(DecodeFrame(MakeFrame(0x1D228874, 0))));
  EXPECT_FALSE(IsDataBlockFrame(DecodeFrame(MakeFrame(0x1D228874, 1))));
  EXPECT_TRUE(IsDataBlockFrame(DecodeFrame(MakeFrame(0x1D228874, 7))));
}

TEST(BlockFrameDecoder, RefusesMalformedText) {
  const std::string cases[] = {
      "",
      "w",
      "20E91443A2",
      "W20E91443A2",
      "w20E91443A",
      "w20E91443A2A",
      "w20E91443AG",
      "w20E91443A2\r\r",
      "w20E91443A2\n",
      " w20E91443A2",
      "w20E9 1443A2",
      "w0x20E91443",
      std::string("w20E9\0"
                  "443A2",
                  11),
  };
  for (const auto& text : cases) EXPECT_EQ(ParseFrameText(text), std::nullopt) << text;
}

// The block count setting goes to address 0 in a layout of its own, without the row and
// column parity of data blocks.
TEST(BlockFrameDecoder, RecognisesBlocksSettingFrames) {
  for (const int count : {3, 5, 7}) {
    const DecodedFrame frame = DecodeFrame(BlocksSettingFrame(count).value());
    EXPECT_EQ(BlocksSettingCount(frame), count);
    EXPECT_FALSE(IsDataBlockFrame(frame));
  }
  EXPECT_EQ(DecodeFrameText("w2000210510")->dataWord, 0x000420A2U);
  EXPECT_EQ(BlocksSettingCount(*DecodeFrameText("w20E91443A2")), std::nullopt);
  EXPECT_EQ(BlocksSettingCount(*DecodeFrameText("w2000210511")), std::nullopt);  // address 1
  EXPECT_EQ(BlocksSettingCount(*DecodeFrameText("w2000230510")), std::nullopt);  // data bits
}

}  // namespace
}  // namespace writetag
