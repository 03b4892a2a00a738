// The X11 input backends against a real X server (Xvfb, started by the test): key grabs of
// the scan keys, typing through XTEST into a window that has the focus, and the key tables
// against the server's keymap.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/HotKeys.h"
#include "platform/linux/VirtualKeys.h"
#include "platform/linux/X11HotKeys.h"
#include "platform/linux/XTestKeyOutput.h"
#include "tests/xserver/Xvfb.h"
// Xlib last: its macros clash with names in the headers above.
#include "tests/xserver/XClient.h"

namespace {

using platform::MOD_KEYUP;
using platform::VK_F22;
using platform::VK_F24;
using xtest::Press;

constexpr int kScanId = 0xBFFE;
constexpr int kOrangeId = 0xBFFF;
constexpr uint32_t kScanDown = VK_F24 << 16;
constexpr uint32_t kScanUp = (VK_F24 << 16) | MOD_KEYUP;
constexpr uint32_t kOrangeDown = VK_F22 << 16;
constexpr uint32_t kOrangeUp = (VK_F22 << 16) | MOD_KEYUP;
// The X keycodes of the Linux keys KEY_F24 and KEY_F22.
constexpr unsigned kF24Keycode = 202;
constexpr unsigned kF22Keycode = 200;
// Auto-repeat made quick, so that a held key repeats several times within a short hold.
constexpr unsigned kRepeatDelayMs = 100;
constexpr unsigned kRepeatIntervalMs = 20;
constexpr unsigned long kRepeatsToSee = 3;

// One server and one connection to it for the whole test program; the connection keeps the
// server's state (its keymap) from being reset between the tests' own connections.
class XServerEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    ASSERT_TRUE(client.Open(server.Name())) << "cannot connect to " << server.Name();
  }
  void TearDown() override {
    client = xtest::XClient();
    server.Stop();
  }

  xtest::Xvfb server;
  xtest::XClient client;
};

XServerEnvironment* const g_env =
    static_cast<XServerEnvironment*>(testing::AddGlobalTestEnvironment(new XServerEnvironment));

using Messages = std::vector<std::pair<int, uint32_t>>;

class HotKeysTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_env->client.display(), nullptr);
    std::string error;
    keys = platform::X11HotKeys::Open(g_env->server.Name().c_str(), error);
    ASSERT_NE(keys, nullptr) << error;
    keys->SetSink([this](int id, uint32_t lparam) { messages.emplace_back(id, lparam); });
  }
  // Dispatches until the orange key's release arrives: the events the test sent before it
  // are all in by then.
  void DispatchUntilOrangeRelease() {
    EXPECT_TRUE(xtest::PumpUntil(
        keys->Fd(), [this] { keys->Dispatch(); },
        [this] { return !messages.empty() && messages.back() == std::make_pair(kOrangeId, kOrangeUp); }));
  }

  xtest::XClient& client = g_env->client;
  std::unique_ptr<platform::X11HotKeys> keys;
  Messages messages;
};

TEST_F(HotKeysTest, ScanKeysGrabTheKeycodesOfTheLinuxKeys) {
  ASSERT_TRUE(keys->Register(kOrangeId, MOD_KEYUP, VK_F22));
  ASSERT_TRUE(keys->Register(kScanId, MOD_KEYUP, VK_F24));
  // The keymap has no F22 or F24 keysym, so these are the only keys grabbed, never 0.
  EXPECT_EQ(keys->KeycodesOf(kScanId), std::vector<unsigned>{kF24Keycode});
  EXPECT_EQ(keys->KeycodesOf(kOrangeId), std::vector<unsigned>{kF22Keycode});
  EXPECT_FALSE(keys->ReleaseFromSystem(MOD_KEYUP, VK_F24));
  // A key the keymap has is grabbed once, where keysym and Linux key agree (F1, keycode 67).
  ASSERT_TRUE(keys->Register(1, MOD_KEYUP, 0x70));
  EXPECT_EQ(keys->KeycodesOf(1), std::vector<unsigned>{67});
  EXPECT_FALSE(keys->Register(2, MOD_KEYUP, 0x5F));
  EXPECT_FALSE(keys->Register(2, MOD_KEYUP, VK_F24));  // held by the scan key
}

TEST_F(HotKeysTest, PressAndReleaseGiveOneMessageEach) {
  ASSERT_TRUE(keys->Register(kOrangeId, MOD_KEYUP, VK_F22));
  ASSERT_TRUE(keys->Register(kScanId, MOD_KEYUP, VK_F24));
  client.FakeKey(kF24Keycode, Press::Down);
  client.FakeKey(kF24Keycode, Press::Up);
  client.FakeKey(kF22Keycode, Press::Down);
  client.FakeKey(kF22Keycode, Press::Up);
  DispatchUntilOrangeRelease();
  EXPECT_EQ(messages,
            (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}, {kOrangeId, kOrangeDown}, {kOrangeId, kOrangeUp}}));
}

// Whether the server auto-repeats keycode when it is held.
bool AutoRepeats(Display* d, unsigned keycode) {
  XKeyboardState state{};
  XGetKeyboardControl(d, &state);
  return (state.auto_repeats[keycode / 8] & (1u << (keycode % 8))) != 0;
}

void SetAutoRepeat(Display* d, unsigned keycode, bool on) {
  XKeyboardControl control{};
  control.key = static_cast<int>(keycode);
  control.auto_repeat_mode = on ? AutoRepeatModeOn : AutoRepeatModeOff;
  XChangeKeyboardControl(d, KBKey | KBAutoRepeatMode, &control);
  XSync(d, False);
}

// X makes a grabbed key's press a grab of the whole keyboard; while the scan button is held
// the code must still reach the window that has the focus.
TEST_F(HotKeysTest, WhileTheScanKeyIsHeldTypedKeysReachTheFocusWindow) {
  ASSERT_TRUE(client.CreateFocusWindow());
  std::string error;
  auto output = platform::XTestKeyOutput::Open(g_env->server.Name().c_str(), error);
  ASSERT_NE(output, nullptr) << error;
  ASSERT_TRUE(keys->Register(kOrangeId, MOD_KEYUP, VK_F22));
  ASSERT_TRUE(keys->Register(kScanId, MOD_KEYUP, VK_F24));

  client.FakeKey(kF24Keycode, Press::Down);
  ASSERT_TRUE(xtest::PumpUntil(
      keys->Fd(), [this] { keys->Dispatch(); }, [this] { return !messages.empty(); }));
  const uint32_t code[] = {U'1', U'2', U'3'};
  const unsigned shifts[] = {3, 3, 3};
  ASSERT_TRUE(output->PostKeybdMessage(-1, 13, 3, 3, shifts, code));
  EXPECT_TRUE(xtest::PumpUntil(
      client.Fd(), [this] { client.Pump(); }, [this] { return client.Text() == "123"; }))
      << "the focus window got \"" << client.Text() << "\"";
  client.FakeKey(kF24Keycode, Press::Up);
  client.FakeKey(kF22Keycode, Press::Down);
  client.FakeKey(kF22Keycode, Press::Up);
  DispatchUntilOrangeRelease();
  EXPECT_EQ(messages,
            (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}, {kOrangeId, kOrangeDown}, {kOrangeId, kOrangeUp}}));
}

TEST_F(HotKeysTest, GrabbedKeysDoNotAutoRepeatUntilUnregistered) {
  Display* d = client.display();
  XAutoRepeatOn(d);
  SetAutoRepeat(d, kF24Keycode, true);
  ASSERT_TRUE(AutoRepeats(d, kF24Keycode));
  ASSERT_TRUE(keys->Register(kScanId, MOD_KEYUP, VK_F24));
  EXPECT_FALSE(AutoRepeats(d, kF24Keycode));
  EXPECT_TRUE(keys->Unregister(kScanId));
  EXPECT_TRUE(AutoRepeats(d, kF24Keycode));
  // A key that did not repeat before stays so.
  SetAutoRepeat(d, kF22Keycode, false);
  ASSERT_TRUE(keys->Register(kOrangeId, MOD_KEYUP, VK_F22));
  EXPECT_TRUE(keys->Unregister(kOrangeId));
  EXPECT_FALSE(AutoRepeats(d, kF22Keycode));
  SetAutoRepeat(d, kF22Keycode, true);
}

// Even when something switches the grabbed key's auto-repeat on again, a held key gives
// one press and one release.
TEST_F(HotKeysTest, AHeldKeyWithAutoRepeatGivesOnePressAndOneRelease) {
  Display* d = client.display();
  XAutoRepeatOn(d);
  ASSERT_TRUE(XkbSetAutoRepeatRate(d, XkbUseCoreKbd, kRepeatDelayMs, kRepeatIntervalMs));
  ASSERT_TRUE(keys->Register(kOrangeId, MOD_KEYUP, VK_F22));
  ASSERT_TRUE(keys->Register(kScanId, MOD_KEYUP, VK_F24));
  SetAutoRepeat(d, kF24Keycode, true);

  client.FakeKey(kF24Keycode, Press::Down);
  // The key stays down until the server has repeated it several times.
  EXPECT_TRUE(xtest::PumpUntil(
      keys->Fd(), [this] { keys->Dispatch(); }, [this] { return keys->RepeatsDropped() >= kRepeatsToSee; }))
      << "the server did not repeat the held key";
  client.FakeKey(kF24Keycode, Press::Up);
  client.FakeKey(kF22Keycode, Press::Down);
  client.FakeKey(kF22Keycode, Press::Up);
  DispatchUntilOrangeRelease();
  EXPECT_EQ(messages,
            (Messages{{kScanId, kScanDown}, {kScanId, kScanUp}, {kOrangeId, kOrangeDown}, {kOrangeId, kOrangeUp}}));
}

TEST_F(HotKeysTest, AKeyAnotherClientGrabbedCannotBeRegisteredAndUnregisterFreesIt) {
  Display* d = client.display();
  const Window root = DefaultRootWindow(d);
  {
    xtest::ErrorCatcher catcher(d);
    XGrabKey(d, kF24Keycode, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
    ASSERT_EQ(catcher.Sync(), 0);
  }
  EXPECT_FALSE(keys->Register(kScanId, MOD_KEYUP, VK_F24));
  EXPECT_TRUE(keys->KeycodesOf(kScanId).empty());
  EXPECT_TRUE(keys->Register(kOrangeId, MOD_KEYUP, VK_F22));
  XUngrabKey(d, kF24Keycode, AnyModifier, root);
  XSync(d, False);

  ASSERT_TRUE(keys->Register(kScanId, MOD_KEYUP, VK_F24));
  {
    xtest::ErrorCatcher catcher(d);
    XGrabKey(d, kF24Keycode, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
    EXPECT_EQ(catcher.Sync(), BadAccess);
  }
  EXPECT_TRUE(keys->Unregister(kScanId));
  EXPECT_FALSE(keys->Unregister(kScanId));
  {
    xtest::ErrorCatcher catcher(d);
    XGrabKey(d, kF24Keycode, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
    EXPECT_EQ(catcher.Sync(), 0) << "the key is still grabbed after Unregister";
    XUngrabKey(d, kF24Keycode, AnyModifier, root);
  }
}

class KeyOutputTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(client.display(), nullptr);
    ASSERT_TRUE(client.CreateFocusWindow());
    std::string error;
    output = platform::XTestKeyOutput::Open(g_env->server.Name().c_str(), error);
    ASSERT_NE(output, nullptr) << error;
  }

  bool Type(const std::u32string& text) {
    std::vector<uint32_t> chars(text.begin(), text.end());
    std::vector<unsigned> shifts(text.size(), 3);
    return output->PostKeybdMessage(-1, 13, 3, static_cast<unsigned>(chars.size()), shifts.data(), chars.data());
  }
  void Key(uint8_t vk) {
    output->KeybdEvent(vk, 0, 0, 0);
    output->KeybdEvent(vk, 0, platform::KEYEVENTF_KEYUP, 0);
  }
  // Types a final "#" on the same connection and collects until it arrives: everything the
  // output sent before it has arrived then too.
  void CollectUntilMark() {
    ASSERT_TRUE(Type(U"#"));
    EXPECT_TRUE(xtest::PumpUntil(
        client.Fd(), [this] { client.Pump(); },
        [this] { return !client.Presses().empty() && client.Presses().back().keysym == XK_numbersign; }))
        << "typed so far: " << client.Text();
  }
  // The keycodes that carry keysym in the server's keymap now.
  std::vector<unsigned> KeycodesWith(KeySym keysym) {
    Display* d = client.display();
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(d, &minKeycode, &maxKeycode);
    int per = 0;
    KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(minKeycode), maxKeycode - minKeycode + 1, &per);
    std::vector<unsigned> keycodes;
    for (int k = minKeycode; k <= maxKeycode; ++k) {
      for (int level = 0; level < per; ++level) {
        if (map[(k - minKeycode) * per + level] == keysym) {
          keycodes.push_back(static_cast<unsigned>(k));
          break;
        }
      }
    }
    XFree(map);
    return keycodes;
  }

  xtest::XClient& client = g_env->client;
  std::unique_ptr<platform::XTestKeyOutput> output;
};

TEST_F(KeyOutputTest, TypesTextWithShiftAndTheEnterKey) {
  EXPECT_TRUE(Type(U"Ab 1!"));
  Key(0x0D);
  CollectUntilMark();
  EXPECT_EQ(client.Text(), "Ab 1!\r#");
  EXPECT_EQ(client.Keysyms(), (std::vector<KeySym>{XK_Shift_L, XK_A, XK_b, XK_space, XK_1, XK_Shift_L, XK_exclam,
                                                   XK_Return, XK_Shift_L, XK_numbersign}));
}

TEST_F(KeyOutputTest, ControlCharactersAndTheActivityKeyTypeNothing) {
  EXPECT_TRUE(Type(U"a\x01\x1B\tb\x7F\u0085c\r\n"));
  output->KeybdEvent(platform::kVkActivity, 0, 0, 0);
  EXPECT_FALSE(Type(U"\r\n"));
  Key(0x41);  // a prefix key: the A key, no Shift
  CollectUntilMark();
  EXPECT_EQ(client.Text(), "abca#");
  EXPECT_EQ(client.Keysyms(), (std::vector<KeySym>{XK_a, XK_b, XK_c, XK_a, XK_Shift_L, XK_numbersign}));
}

TEST_F(KeyOutputTest, CharactersAndKeysTheKeymapLacksAreTypedOnSpareKeycodes) {
  ASSERT_TRUE(KeycodesWith(XK_eacute).empty()) << "the test needs a keymap without e acute";
  ASSERT_TRUE(KeycodesWith(XK_F22).empty());
  constexpr KeySym kOmega = 0x10003A9;
  EXPECT_TRUE(Type(U"\u00E9 \u03A9\u00E9"));
  Key(0x85);  // F22
  CollectUntilMark();
  EXPECT_EQ(client.Keysyms(),
            (std::vector<KeySym>{XK_eacute, XK_space, kOmega, XK_eacute, XK_F22, XK_Shift_L, XK_numbersign}));
  EXPECT_EQ(client.Text(), "\xE9 \xE9#");
  EXPECT_EQ(output->BorrowedCount(), 3u);
  // The spare keycodes are none of F13 to F24 of a Linux keyboard, which hot keys grab.
  for (KeySym keysym : {KeySym{XK_eacute}, kOmega, KeySym{XK_F22}}) {
    const std::vector<unsigned> keycodes = KeycodesWith(keysym);
    ASSERT_EQ(keycodes.size(), 1u);
    EXPECT_TRUE(keycodes[0] < 191 || keycodes[0] > 202) << keycodes[0];
  }
  // Given back when the output goes.
  output.reset();
  EXPECT_TRUE(KeycodesWith(XK_eacute).empty());
  EXPECT_TRUE(KeycodesWith(kOmega).empty());
  EXPECT_TRUE(KeycodesWith(XK_F22).empty());
}

// The Linux key codes of the table against the server's keymap (evdev keycodes: Linux key
// plus 8): each key's keycode carries the virtual key's keysym. F13 to F24 are left out:
// the usual keymaps give those keycodes other symbols.
TEST(KeyTablesTest, LinuxKeysCarryTheVirtualKeysKeysymInTheServersKeymap) {
  Display* d = g_env->client.display();
  ASSERT_NE(d, nullptr);
  int minKeycode = 0;
  int maxKeycode = 0;
  XDisplayKeycodes(d, &minKeycode, &maxKeycode);
  int per = 0;
  KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(minKeycode), maxKeycode - minKeycode + 1, &per);
  ASSERT_NE(map, nullptr);
  int checked = 0;
  for (unsigned vk = 0; vk <= 0xFF; ++vk) {
    if (vk >= 0x7C && vk <= 0x87) continue;
    const auto keysym = platform::KeysymForVk(static_cast<uint8_t>(vk));
    const auto key = platform::LinuxKeyForVk(static_cast<uint8_t>(vk));
    if (!keysym || !key) continue;
    const int keycode = *key + 8;
    ASSERT_LE(keycode, maxKeycode);
    bool found = false;
    for (int level = 0; level < per; ++level) found = found || map[(keycode - minKeycode) * per + level] == *keysym;
    EXPECT_TRUE(found) << "vk 0x" << std::hex << vk << ": keycode " << std::dec << keycode << " has no keysym 0x"
                       << std::hex << *keysym;
    ++checked;
  }
  XFree(map);
  EXPECT_GT(checked, 100);
}

}  // namespace
