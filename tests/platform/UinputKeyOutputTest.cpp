// The uinput key output over a recording device: which key events, in which order.

#include "platform/linux/UinputKeyOutput.h"

#include <linux/input-event-codes.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

// Events as text, one per write: "+30" a press of key 30, "-30" its release, "|" a report.
class RecordingDevice : public IUinputDevice {
 public:
  explicit RecordingDevice(std::vector<std::string>& log) : log_(log) {}
  int failAfter = -1;  // writes that succeed before every further write fails; -1: none fails

  bool WriteEvent(uint16_t type, uint16_t code, int32_t value) override {
    if (type == EV_KEY) {
      log_.push_back((value ? "+" : "-") + std::to_string(code));
    } else {
      log_.push_back("?" + std::to_string(type));
    }
    return Accept();
  }
  bool Sync() override {
    log_.push_back("|");
    return Accept();
  }

 private:
  bool Accept() {
    if (failAfter < 0) return true;
    if (failAfter == 0) return false;
    --failAfter;
    return true;
  }
  std::vector<std::string>& log_;
};

using Log = std::vector<std::string>;

class UinputKeyOutputTest : public testing::Test {
 protected:
  UinputKeyOutputTest() {
    auto d = std::make_unique<RecordingDevice>(log);
    device = d.get();
    output = std::make_unique<UinputKeyOutput>(std::move(d));
  }
  bool Type(const std::u32string& text) {
    std::vector<uint32_t> chars(text.begin(), text.end());
    std::vector<unsigned> shifts(text.size(), 3);
    return output->PostKeybdMessage(-1, 13, 3, static_cast<unsigned>(chars.size()), shifts.data(), chars.data());
  }

  Log log;
  RecordingDevice* device = nullptr;
  std::unique_ptr<UinputKeyOutput> output;
};

TEST_F(UinputKeyOutputTest, VirtualKeysAreOneReportEach) {
  output->KeybdEvent(0x0D, 0, 0, 0);
  output->KeybdEvent(0x0D, 0, KEYEVENTF_KEYUP, 0);
  output->KeybdEvent(0x87, 0, 0, 0);
  EXPECT_EQ(log, (Log{"+28", "|", "-28", "|", "+194", "|"}));
}

TEST_F(UinputKeyOutputTest, UnknownVirtualKeysAndTheActivityKeySendNothing) {
  output->KeybdEvent(0x5F, 0, 0, 0);
  output->KeybdEvent(0x00, 0, 0, 0);
  output->KeybdEvent(0xFF, 0, KEYEVENTF_KEYUP, 0);
  EXPECT_TRUE(log.empty());
}

TEST_F(UinputKeyOutputTest, CharactersTypeWithShiftAroundTheShiftedOnes) {
  EXPECT_TRUE(Type(U"Ab 1!"));
  EXPECT_EQ(log, (Log{"+42", "|", "+30", "|", "-30", "|", "-42", "|",     // A
                      "+48", "|", "-48", "|",                             // b
                      "+57", "|", "-57", "|",                             // blank
                      "+2",  "|", "-2",  "|",                             // 1
                      "+42", "|", "+2",  "|", "-2",  "|", "-42", "|"}));  // !
}

TEST_F(UinputKeyOutputTest, ControlAndNonUsCharactersAreSkipped) {
  EXPECT_TRUE(Type(U"\r1\t\x7F\u00E9\u03A92\n"));
  EXPECT_EQ(log, (Log{"+2", "|", "-2", "|", "+3", "|", "-3", "|"}));
}

TEST_F(UinputKeyOutputTest, NothingTypableGivesFalseAnEmptyCodeTrue) {
  EXPECT_FALSE(Type(U"\r\u03A9"));
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(Type(U""));
  EXPECT_FALSE(output->PostKeybdMessage(-1, 13, 3, 2, nullptr, nullptr));
}

TEST_F(UinputKeyOutputTest, ARefusedWriteStopsTypingButReleasesShift) {
  // The press of A's key is refused: its release and Shift's still go out, "b" does not.
  device->failAfter = 2;
  EXPECT_FALSE(Type(U"Ab"));
  EXPECT_EQ(log, (Log{"+42", "|", "+30", "|", "-30", "|", "-42", "|"}));
}

// On a French layout "1" is Shift with the top row's first key and "a" the key a US
// keyboard has Q on; the prefix key A types "a" too. A Chinese character has no key: it is
// left out and told once.
TEST(UinputLayoutTest, CharactersAndCharacterKeysAreTypedForTheUsersLayout) {
  std::string error;
  std::optional<KeyLayout> fr = KeyLayout::Compile({"fr", ""}, error);
  ASSERT_TRUE(fr.has_value()) << error;
  Log log;
  std::vector<uint32_t> reported;
  UinputKeyOutput output(std::make_unique<RecordingDevice>(log), *fr,
                         [&reported](uint32_t c) { reported.push_back(c); });
  const uint32_t code[] = {U'1', 0x4E2D, U'a', 0x4E2D};
  const unsigned shifts[] = {3, 3, 3, 3};
  EXPECT_TRUE(output.PostKeybdMessage(-1, 13, 3, 4, shifts, code));
  output.KeybdEvent(0x41, 0, 0, 0);
  output.KeybdEvent(0x41, 0, KEYEVENTF_KEYUP, 0);
  output.KeybdEvent(0x0D, 0, 0, 0);
  EXPECT_EQ(log, (Log{"+42", "|", "+2", "|", "-2", "|", "-42", "|",  // 1
                      "+16", "|", "-16", "|",                        // a
                      "+16", "|", "-16", "|",                        // the key A
                      "+28", "|"}));                                 // Enter
  EXPECT_FALSE(output.PostKeybdMessage(-1, 13, 3, 1, shifts, &code[1]));
  EXPECT_EQ(reported, std::vector<uint32_t>{0x4E2D});
}

TEST(UinputKeyboardTest, CreationFailureIsReported) {
  std::string error;
  EXPECT_EQ(UinputKeyOutput::Create(error, "/nonexistent/uinput"), nullptr);
  EXPECT_NE(error.find("/nonexistent/uinput"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  // A device that is no uinput device refuses the set-up requests.
  error.clear();
  EXPECT_EQ(CreateUinputKeyboard("/dev/null", error), nullptr);
  EXPECT_NE(error.find("cannot create a virtual keyboard on /dev/null"), std::string::npos) << error;
}

}  // namespace
}  // namespace platform
