#include "writetag/BlockFrames.h"

#include <gtest/gtest.h>

#include <string>

namespace writetag {
namespace {

// The commands of the records a run may send, without their carriage returns.
std::string Commands(std::u16string_view code) {
  BlockFrameSet set;
  EXPECT_EQ(ComputeBlockFrames(set, code).result, kResultOk);
  std::string out;
  for (std::size_t i = 0; i < set.m_nBlockCount; ++i) {
    const std::string command = WriteCommandFor(set, i).value_or("-");
    out += (out.empty() ? "" : " ") + command.substr(0, command.find('\r'));
  }
  return out;
}

TEST(BlockFrames, WorkedExampleTwelveThreeFourFive) {
  EXPECT_EQ(BlockDataWord(0x31, 0x32, 0x33), 0x1D228874U);
  EXPECT_EQ(BlockDataWord(0x33, 0x43, 0x50), 0x1D741DB7U);
  BlockFrameSet set;
  ASSERT_EQ(ComputeBlockFrames(set, u"12345").result, kResultOk);
  EXPECT_EQ(set.m_nBlockCount, 2);
  EXPECT_EQ(set.m_blockFrames[0], (BlockFrameRecord{'w', 0x20, 0xE9, 0x14, 0x43, 0xA2, '\r'}));
  EXPECT_EQ(WriteCommandFor(set, 0), "w20E91443A2\r");
  EXPECT_EQ(WriteCommandFor(set, 1), "w20EBA0EDBB\r");
}

// Frames of an independent encoder written from the frame layout, for lengths 1 to 15,
// spaces, letters, and characters whose low 8 bits differ from what they look like.
TEST(BlockFrames, EncodesCodesOfEveryLength) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"1", "w20E908888A"},
      {u"12", "w20E9144092"},
      {u"abc", "w214138C6A2 w20E8888893"},
      {u"Ab 9", "w210938C222 w208BC408C3"},
      {u"12 34", "w20E914423A w208B946C3B"},
      {u"Hello ", "w2110B92692 w238EE95F73 w20C08888BC"},
      {u"ABCDEFG", "w210920C45A w20EC210DBB w210EA168DC"},
      {u"a1 b2 c3", "w214114226A w208E90EA43 w20C0B8EBDC w20E8888895"},
      {u"zZ9 yY8 x", "w217226C38A w2222097123 w2139168A14 w208F4088C5"},
      {u"0123456789", "w20E89423DA w20C3946C73 w20ED95C3F4 w216BC0F115"},
      {u"Hello World", "w2110B92692 w238EE95F73 w20C0A5EEC4 w23EF115C45 w21440888EE"},
      {u"zzzzzzzzzzzz", "w21723EC75A w2247597273 w21723EC75C w2247597275 w21723EC0A6"},
      {u"a b c d e f g", "w2141108EC2 w20C20943F3 w20C0B90A3C w208EA440BD w2146908EBE w216888888F"},
      {u"a b c d e f g ", "w2141108EC2 w20C20943F3 w20C0B90A3C w208EA440BD w2146908EBE w216A0888A7"},
      {u"ABCDEFGHIJKLMNO", "w210920C45A w20EC210DBB w210EA16C14 w220C45923D w2113A38C16 w23A4711727"},
      {u"\u01311", "w20E91420F2"},
      {u"\xD800\x0041", "w2088A0A0F2"},  // unpaired high surrogate, low byte 0x00
      {u"\xDC31", "w20E908888A"},        // unpaired low surrogate, reads as "1"
      {u"Z\u00E9\u4E2D", "w213A722222 w23A08888EB"},
  };
  for (const auto& [code, frames] : cases) EXPECT_EQ(Commands(code), frames);
}

TEST(BlockFrames, BlockCountFollowsLength) {
  const std::size_t expected[] = {0, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4, 5, 5, 6, 6, 6, 7, 7};
  for (std::size_t length = 0; length < std::size(expected); ++length) {
    EXPECT_EQ(BlocksNeeded(length), expected[length]) << length;
  }
  // Equal to the floating-point rule L / 2.5 + 0.99, truncated, and exact where it is not.
  for (std::size_t length = 0; length < 100000; ++length) {
    ASSERT_EQ(BlocksNeeded(length), static_cast<std::size_t>(length / 2.5 + 0.99)) << length;
  }
  EXPECT_EQ(BlocksNeeded(SIZE_MAX), (static_cast<unsigned __int128>(SIZE_MAX) * 2 + 4) / 5);
}

// A count narrowed to 8 bits before the check turns 640 characters into 0 blocks and
// 643 into 2, and reports success.
TEST(BlockFrames, TooLongCodeIsRefusedAndLeavesTheTableAlone) {
  for (const std::size_t length : {16, 17, 18, 640, 643, 100000}) {
    BlockFrameSet set;
    ASSERT_EQ(ComputeBlockFrames(set, u"12345").result, kResultOk);
    const BlockFrameSet before = set;
    const auto outcome = ComputeBlockFrames(set, std::u16string(length, u'7'));
    EXPECT_EQ(outcome.result, kResultOutOfRange) << length;
    EXPECT_EQ(outcome.blocksCalculated, BlocksNeeded(length)) << length;
    EXPECT_EQ(set.m_nBlockCount, before.m_nBlockCount) << length;
    EXPECT_EQ(set.m_blockFrames, before.m_blockFrames) << length;
  }
  EXPECT_EQ(BlockCountMessage(7), "Number of calculated blocks incorrect. \r\n7 blocks calculated.");
  EXPECT_EQ(BlockCountMessage(SIZE_MAX).substr(41), "2147483647 blocks calculated.");
}

TEST(BlockFrames, ShorterCodeNeverSendsRecordsOfAnEarlierRun) {
  BlockFrameSet set;
  ASSERT_EQ(ComputeBlockFrames(set, u"ABCDEFGHIJKLMNO").result, kResultOk);
  for (std::size_t i = 0; i < MAX_DATA_BLOCKS; ++i) {
    EXPECT_EQ(FrameOfRecord(set.m_blockFrames[i]) & 7U, i + 2);
  }
  const BlockFrameSet before = set;
  ASSERT_EQ(ComputeBlockFrames(set, u"abc").result, kResultOk);
  EXPECT_EQ(set.m_nBlockCount, 2);
  EXPECT_EQ(set.m_blockFrames[2], before.m_blockFrames[2]);  // kept, but not sendable
  EXPECT_EQ(WriteCommandFor(set, 2), std::nullopt);

  ASSERT_EQ(ComputeBlockFrames(set, u"").result, kResultOk);
  EXPECT_EQ(set.m_nBlockCount, 0);
  EXPECT_EQ(set.m_blockFrames[0][1], 0x21);  // the frame of "abc" is still there
  EXPECT_EQ(WriteCommandFor(set, 0), std::nullopt);
}

TEST(BlockFrames, TableSettersRefuseOutOfRange) {
  BlockFrameSet set;
  EXPECT_EQ(SetBlockCount(set, 6), kResultOk);
  for (const std::size_t n : {7, 255, 256, 262}) {
    EXPECT_EQ(SetBlockCount(set, n), kResultOutOfRange) << n;
    EXPECT_EQ(set.m_nBlockCount, 6) << n;
  }
  const BlockFrameSet before = set;
  EXPECT_EQ(StoreBlockFrame(set, 6, 0x20E91443A2), kResultOutOfRange);
  EXPECT_EQ(StoreBlockFrame(set, 256, 0x20E91443A2), kResultOutOfRange);
  EXPECT_EQ(set.m_blockFrames, before.m_blockFrames);
  EXPECT_EQ(StoreBlockFrame(set, 5, 0xFF0020E91443A2), kResultOk);  // bits above 40 dropped
  EXPECT_EQ(WriteCommandFor(set, 5), "w20E91443A2\r");
}

TEST(BlockFrames, BlocksSettingFrames) {
  EXPECT_EQ(FrameCommandText(BlocksSettingFrame(3).value_or(0)), "w2000210310\r");
  EXPECT_EQ(FrameCommandText(BlocksSettingFrame(5).value_or(0)), "w2000210510\r");
  EXPECT_EQ(FrameCommandText(BlocksSettingFrame(7).value_or(0)), "w2000210710\r");
  for (const int count : {-1, 0, 1, 2, 4, 6, 8, 259}) {
    EXPECT_EQ(BlocksSettingFrame(count), std::nullopt) << count;
  }
}

}  // namespace
}  // namespace writetag
