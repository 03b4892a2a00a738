// The hot key bookkeeping shared by the X11 and evdev backends.

#include "platform/linux/HotKeyBook.h"

#include <gtest/gtest.h>

#include "platform/HotKeys.h"

namespace platform {
namespace {

using Message = HotKeyBook::Message;

constexpr int kScanId = 0xBFFE;
constexpr int kOrangeId = 0xBFFF;
constexpr uint32_t kScanDown = VK_F24 << 16;
constexpr uint32_t kScanUp = (VK_F24 << 16) | MOD_KEYUP;

class HotKeyBookTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(book.Add(kScanId, MOD_KEYUP, VK_F24, {202}));
    ASSERT_TRUE(book.Add(kOrangeId, MOD_KEYUP, VK_F22, {200}));
  }
  HotKeyBook book;
};

TEST_F(HotKeyBookTest, PressAndReleaseGiveOneMessageEach) {
  EXPECT_EQ(book.Press(202), (Message{kScanId, kScanDown}));
  EXPECT_EQ(book.Release(202), (Message{kScanId, kScanUp}));
  EXPECT_EQ(book.Press(200), (Message{kOrangeId, VK_F22 << 16}));
}

TEST_F(HotKeyBookTest, RepeatedPressesWhileDownGiveNothing) {
  ASSERT_TRUE(book.Press(202));
  EXPECT_FALSE(book.Press(202));
  EXPECT_FALSE(book.Press(202));
  EXPECT_EQ(book.Release(202), (Message{kScanId, kScanUp}));
  // The next real press counts again.
  EXPECT_EQ(book.Press(202), (Message{kScanId, kScanDown}));
}

TEST_F(HotKeyBookTest, ReleaseWithoutPressAndUnknownKeysGiveNothing) {
  EXPECT_FALSE(book.Release(202));
  EXPECT_FALSE(book.Press(38));
  EXPECT_FALSE(book.Release(38));
  EXPECT_FALSE(book.IsDown(38));
}

TEST_F(HotKeyBookTest, WithoutKeyUpModifierReleasesAreSilentButEndTheHold) {
  ASSERT_TRUE(book.Add(kScanId, 0, VK_F24, {202}));
  EXPECT_EQ(book.Press(202), (Message{kScanId, kScanDown}));
  EXPECT_FALSE(book.Release(202));
  EXPECT_EQ(book.Press(202), (Message{kScanId, kScanDown}));
}

TEST_F(HotKeyBookTest, AKeyBelongsToOneIdOnly) {
  EXPECT_FALSE(book.Add(7, MOD_KEYUP, VK_F24, {202}));
  EXPECT_FALSE(book.Add(7, MOD_KEYUP, VK_F24, {191, 200}));
  EXPECT_FALSE(book.Add(7, MOD_KEYUP, VK_F24, {}));
  // Registering an id again moves it to its new key.
  EXPECT_TRUE(book.Add(kScanId, MOD_KEYUP, VK_F24, {202, 100}));
  EXPECT_TRUE(book.Add(kScanId, MOD_KEYUP, VK_F24, {190}));
  EXPECT_FALSE(book.Holds(202));
  EXPECT_EQ(book.CodesOf(kScanId), std::vector<unsigned>{190});
  EXPECT_EQ(book.Press(190), (Message{kScanId, kScanDown}));
}

TEST_F(HotKeyBookTest, RemovingForgetsTheKeyAndItsHold) {
  ASSERT_TRUE(book.Press(202));
  EXPECT_EQ(book.Remove(kScanId), std::vector<unsigned>{202});
  EXPECT_FALSE(book.Remove(kScanId).has_value());
  EXPECT_FALSE(book.Release(202));
  // Registered again, the key starts up: its first press is reported.
  ASSERT_TRUE(book.Add(kScanId, MOD_KEYUP, VK_F24, {202}));
  EXPECT_EQ(book.Press(202), (Message{kScanId, kScanDown}));
}

TEST_F(HotKeyBookTest, ReleaseAllReleasesExactlyTheKeysThatAreDown) {
  ASSERT_TRUE(book.Press(202));
  const std::vector<Message> released = book.ReleaseAll();
  EXPECT_EQ(released, (std::vector<Message>{{kScanId, kScanUp}}));
  EXPECT_TRUE(book.ReleaseAll().empty());
  EXPECT_EQ(book.Press(202), (Message{kScanId, kScanDown}));
}

}  // namespace
}  // namespace platform
