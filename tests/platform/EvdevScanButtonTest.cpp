// The evdev scan button over a scripted event source: hot key messages from key events,
// auto-repeat, the resynchronisation after dropped events, and a device that goes away.

#include "platform/linux/EvdevScanButton.h"

#include <stdlib.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

constexpr int kScanId = 0xBFFE;
constexpr int kOrangeId = 0xBFFF;
constexpr uint32_t kScanDown = VK_F24 << 16;
constexpr uint32_t kScanUp = (VK_F24 << 16) | MOD_KEYUP;
constexpr uint32_t kOrangeDown = VK_F22 << 16;
constexpr uint32_t kOrangeUp = (VK_F22 << 16) | MOD_KEYUP;

// What libevdev_next_event answers, in order; an empty script answers -EAGAIN. Each answer
// names the read mode it expects, so that a missed switch to or from sync mode shows.
struct Answer {
  unsigned expectFlags;
  int status;
  input_event event;
};

class ScriptedSource : public IEvdevSource {
 public:
  std::set<uint16_t> keys{KEY_F24, KEY_F22};
  std::deque<Answer> script;
  std::vector<unsigned> flagsSeen;

  int Fd() const override { return 42; }
  bool HasKey(uint16_t code) const override { return keys.count(code) != 0; }
  int NextEvent(unsigned flags, input_event& event) override {
    flagsSeen.push_back(flags);
    if (script.empty()) return -EAGAIN;
    const Answer a = script.front();
    script.pop_front();
    EXPECT_EQ(flags, a.expectFlags) << "read mode";
    event = a.event;
    return a.status;
  }
};

input_event Ev(uint16_t type, uint16_t code, int32_t value) {
  input_event e{};
  e.type = type;
  e.code = code;
  e.value = value;
  return e;
}

constexpr unsigned kNormal = LIBEVDEV_READ_FLAG_NORMAL;
constexpr unsigned kSync = LIBEVDEV_READ_FLAG_SYNC;
constexpr int kOk = LIBEVDEV_READ_STATUS_SUCCESS;
constexpr int kSyncStatus = LIBEVDEV_READ_STATUS_SYNC;

Answer Key(uint16_t code, int32_t value) { return {kNormal, kOk, Ev(EV_KEY, code, value)}; }
Answer Report() { return {kNormal, kOk, Ev(EV_SYN, SYN_REPORT, 0)}; }

using Messages = std::vector<std::pair<int, uint32_t>>;

class EvdevScanButtonTest : public testing::Test {
 protected:
  EvdevScanButtonTest() : EvdevScanButtonTest(ScanKeys{}) {}
  explicit EvdevScanButtonTest(ScanKeys keys) {
    auto s = std::make_unique<ScriptedSource>();
    source = s.get();
    button = std::make_unique<EvdevScanButton>(std::move(s), keys);
    button->SetSink([this](int id, uint32_t lparam) { messages.emplace_back(id, lparam); });
  }
  void RegisterBoth() {
    ASSERT_TRUE(button->Register(kOrangeId, MOD_KEYUP, VK_F22));
    ASSERT_TRUE(button->Register(kScanId, MOD_KEYUP, VK_F24));
  }

  ScriptedSource* source = nullptr;
  std::unique_ptr<EvdevScanButton> button;
  Messages messages;
};

TEST_F(EvdevScanButtonTest, PressAndReleaseBecomeHotKeyMessages) {
  RegisterBoth();
  source->script = {Key(KEY_F24, 1), Report(), Key(KEY_F24, 0), Report(),
                    Key(KEY_F22, 1), Report(), Key(KEY_F22, 0), Report()};
  EXPECT_TRUE(button->Dispatch());
  EXPECT_EQ(messages,
            (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}, {kOrangeId, kOrangeDown}, {kOrangeId, kOrangeUp}}));
  EXPECT_TRUE(source->script.empty());
  EXPECT_EQ(button->Fd(), 42);
}

TEST_F(EvdevScanButtonTest, AutoRepeatAndOtherKeysGiveNothing) {
  RegisterBoth();
  source->script = {Key(KEY_F24, 1), Key(KEY_F24, 2), Key(KEY_F24, 2),
                    Key(KEY_A, 1),   Key(KEY_A, 0),   {kNormal, kOk, Ev(EV_MSC, MSC_SCAN, 0x70)},
                    Key(KEY_F24, 0)};
  EXPECT_TRUE(button->Dispatch());
  EXPECT_EQ(messages, (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}}));
}

TEST_F(EvdevScanButtonTest, UnregisteredKeysAreIgnoredAndDispatchReadsOnlyWhatIsPending) {
  ASSERT_TRUE(button->Register(kScanId, MOD_KEYUP, VK_F24));
  source->script = {Key(KEY_F22, 1), Key(KEY_F22, 0)};
  EXPECT_TRUE(button->Dispatch());
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(button->Unregister(kScanId));
  EXPECT_FALSE(button->Unregister(kScanId));
  source->script = {Key(KEY_F24, 1)};
  EXPECT_TRUE(button->Dispatch());
  EXPECT_TRUE(messages.empty());
}

TEST_F(EvdevScanButtonTest, AReleaseLostInDroppedEventsComesFromTheResync) {
  RegisterBoth();
  // The release was dropped by the kernel; libevdev's sync mode reports it as a change.
  source->script = {Key(KEY_F24, 1),
                    {kNormal, kSyncStatus, Ev(EV_SYN, SYN_DROPPED, 0)},
                    {kSync, kSyncStatus, Ev(EV_KEY, KEY_F24, 0)},
                    {kSync, kSyncStatus, Ev(EV_SYN, SYN_REPORT, 0)},
                    {kSync, -EAGAIN, {}},
                    Key(KEY_F22, 1)};
  EXPECT_TRUE(button->Dispatch());
  EXPECT_EQ(messages, (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}, {kOrangeId, kOrangeDown}}));
  // After the resync the reads went back to normal mode.
  EXPECT_EQ(source->flagsSeen.back(), kNormal);
}

TEST_F(EvdevScanButtonTest, ADeviceThatGoesAwayReleasesTheHeldKeyAndEndsDispatch) {
  RegisterBoth();
  source->script = {Key(KEY_F24, 1), {kNormal, -ENODEV, {}}};
  EXPECT_FALSE(button->Dispatch());
  EXPECT_EQ(messages, (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}}));
  // It stays gone without reading again.
  const size_t reads = source->flagsSeen.size();
  EXPECT_FALSE(button->Dispatch());
  EXPECT_EQ(source->flagsSeen.size(), reads);
  EXPECT_EQ(messages.size(), 2u);
}

TEST_F(EvdevScanButtonTest, RegistrationNeedsAKeyTheDeviceHas) {
  source->keys = {KEY_F24};
  EXPECT_FALSE(button->Register(kOrangeId, MOD_KEYUP, VK_F22));
  EXPECT_FALSE(button->Register(kScanId, MOD_KEYUP | 0x1, VK_F24));  // modifiers cannot be asked for
  EXPECT_FALSE(button->Register(kScanId, MOD_KEYUP, 0x5F));          // no key
  EXPECT_FALSE(button->Register(kScanId, MOD_KEYUP, 0x1234));
  EXPECT_TRUE(button->Register(kScanId, MOD_KEYUP, VK_F24));
  EXPECT_FALSE(button->Register(7, MOD_KEYUP, VK_F24));  // held by another id
  EXPECT_FALSE(button->ReleaseFromSystem(MOD_KEYUP, VK_F24));
}

class ChosenScanKeyTest : public EvdevScanButtonTest {
 protected:
  ChosenScanKeyTest() : EvdevScanButtonTest(ScanKeys{BTN_TRIGGER, KEY_PROG1}) {}
};

TEST_F(ChosenScanKeyTest, TheChosenKeysGiveTheScanKeysMessages) {
  source->keys = {BTN_TRIGGER, KEY_PROG1, KEY_F24};
  RegisterBoth();
  source->script = {Key(KEY_F24, 1), Key(BTN_TRIGGER, 1), Key(BTN_TRIGGER, 0), Key(KEY_PROG1, 1)};
  EXPECT_TRUE(button->Dispatch());
  EXPECT_EQ(messages, (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}, {kOrangeId, kOrangeDown}}));
}

TEST(EvdevScanButtonOpenTest, KeyNamesAndOpenFailures) {
  EXPECT_EQ(EvdevScanButton::KeyCodeFromName("KEY_F24"), KEY_F24);
  EXPECT_EQ(EvdevScanButton::KeyCodeFromName("BTN_TRIGGER"), BTN_TRIGGER);
  EXPECT_EQ(EvdevScanButton::KeyCodeFromName("194"), 194);
  EXPECT_FALSE(EvdevScanButton::KeyCodeFromName("KEY_NOPE").has_value());
  EXPECT_FALSE(EvdevScanButton::KeyCodeFromName("").has_value());
  EXPECT_FALSE(EvdevScanButton::KeyCodeFromName("99999").has_value());
  EXPECT_FALSE(EvdevScanButton::KeyCodeFromName("12x").has_value());

  std::string error;
  EXPECT_EQ(EvdevScanButton::Open("/nonexistent/event0", DeviceGrab::Shared, {}, error), nullptr);
  EXPECT_NE(error.find("cannot open /nonexistent/event0"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(EvdevScanButton::Open("/dev/null", DeviceGrab::Shared, {}, error), nullptr);
  EXPECT_NE(error.find("/dev/null is no input device"), std::string::npos) << error;
}

// --scan-device auto tries event2 before event10, and names the key it looked for.
TEST(EvdevScanButtonFindTest, EventDevicesInNumberOrderAndAFolderWithoutDevices) {
  char pattern[] = "/tmp/pelmor-input-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path folder = pattern;
  for (const char* name : {"event10", "event2", "mouse0", "event0", "eventX", "event", "event1a"})
    std::ofstream(folder / name) << "";
  EXPECT_EQ(EvdevScanButton::EventDevices(folder.string()),
            (std::vector<std::string>{(folder / "event0").string(), (folder / "event2").string(),
                                      (folder / "event10").string()}));
  std::string error;
  EXPECT_EQ(EvdevScanButton::FindDevice(KEY_F24, error, folder.string()), std::nullopt);
  EXPECT_NE(error.find("no input device in " + folder.string() + " has KEY_F24"), std::string::npos) << error;
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(EvdevScanButton::EventDevices(folder.string()).empty());
}

}  // namespace
}  // namespace platform
