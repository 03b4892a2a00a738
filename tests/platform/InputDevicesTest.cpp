// The uinput output and the evdev scan button on devices of the running kernel: the virtual
// keyboard's key events as a reader of its event device (a Wayland compositor) sees them,
// and a keyboard's own event device as the scan button, shared with the desktop as on a
// Wayland session. Both need /dev/uinput to make devices with; where the kernel has none
// they are skipped and say so.

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/EvdevScanButton.h"
#include "platform/linux/KeyLayout.h"
#include "platform/linux/UinputKeyOutput.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/UniquePtr.h"

namespace platform {
namespace {

using LibevdevPtr = UniquePtr<libevdev, libevdev_free>;
using UinputPtr = UniquePtr<libevdev_uinput, libevdev_uinput_destroy>;

// How long a key event may take through the kernel.
constexpr std::chrono::milliseconds kEventTimeout{5000};

#define SKIP_WITHOUT_UINPUT()                                                                    \
  if (::access(kUinputPath, F_OK) != 0)                                                          \
  GTEST_SKIP() << "this machine has no " << kUinputPath                                          \
               << " (the kernel's uinput module is not loaded), so no input devices can be made" \
                  " to test with"

// A reader of an event device, as a compositor reads it. Events written before it opened
// the device are not its.
class EventReader {
 public:
  bool Open(const std::string& path) {
    fd_.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    libevdev* raw = nullptr;
    if (!fd_ || libevdev_new_from_fd(fd_.Get(), &raw) < 0) return false;
    device_.reset(raw);
    return true;
  }
  // The presses and releases read until count of them are in or the time is up.
  std::vector<KeyStep> ReadKeys(size_t count) {
    std::vector<KeyStep> keys;
    const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (keys.size() < count) {
      input_event e{};
      const int rc = libevdev_next_event(device_.get(), LIBEVDEV_READ_FLAG_NORMAL, &e);
      if (rc == LIBEVDEV_READ_STATUS_SUCCESS) {
        if (e.type == EV_KEY && e.value != 2) keys.push_back({e.code, e.value ? KeyMove::Down : KeyMove::Up});
        continue;
      }
      if (rc != -EAGAIN || !WaitReadable(fd_.Get(), deadline)) break;
    }
    return keys;
  }

  static bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
  }

 private:
  UniqueFd fd_;
  LibevdevPtr device_;
};

// The event device of the newest input device with that name.
std::optional<std::string> NewestDeviceNamed(const std::string& name) {
  std::optional<std::string> found;
  for (const std::string& path : EvdevScanButton::EventDevices("/dev/input")) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    libevdev* raw = nullptr;
    if (!fd || libevdev_new_from_fd(fd.Get(), &raw) < 0) continue;
    const LibevdevPtr device(raw);
    if (name == libevdev_get_name(device.get())) found = path;
  }
  return found;
}

TEST(InputDevicesTest, TheVirtualKeyboardSendsTheKeysOfTheLayout) {
  SKIP_WITHOUT_UINPUT();
  std::string error;
  std::unique_ptr<IUinputDevice> device = CreateUinputKeyboard(kUinputPath, error);
  ASSERT_NE(device, nullptr) << error;
  std::optional<KeyLayout> fr = KeyLayout::Compile({"fr", ""}, error);
  ASSERT_TRUE(fr.has_value()) << error;
  UinputKeyOutput output(std::move(device), *fr);
  const std::optional<std::string> node = NewestDeviceNamed(kUinputKeyboardName);
  ASSERT_TRUE(node.has_value()) << "the virtual keyboard has no event device in /dev/input";
  EventReader compositor;
  ASSERT_TRUE(compositor.Open(*node)) << *node;

  output.KeybdEvent(0x41, 0, 0, 0);
  output.KeybdEvent(0x41, 0, KEYEVENTF_KEYUP, 0);
  const std::u32string code = U"AB12 cd";
  const std::vector<uint32_t> chars(code.begin(), code.end());
  const std::vector<unsigned> shifts(chars.size(), 3);
  EXPECT_TRUE(output.PostKeybdMessage(-1, 13, 3, static_cast<unsigned>(chars.size()), shifts.data(), chars.data()));

  std::vector<KeyStep> expected = VirtualKeyKeySteps(*fr, 0x41, KeyMove::Down);
  for (const KeyStep& s : VirtualKeyKeySteps(*fr, 0x41, KeyMove::Up)) expected.push_back(s);
  std::vector<uint32_t> missing;
  for (const KeyStep& s : TextKeySteps(*fr, code, missing)) expected.push_back(s);
  ASSERT_GT(expected.size(), 20u);
  EXPECT_EQ(compositor.ReadKeys(expected.size()), expected);
}

// On a Wayland session the scan button is read from the keyboard's own event device, shared:
// the desktop still gets every key of it. --scan-device auto finds the device by its key.
TEST(InputDevicesTest, AKeyboardsOwnDeviceIsFoundAndServesAsTheScanButtonSharedWithTheDesktop) {
  SKIP_WITHOUT_UINPUT();
  // A keyboard with a key of its own that no other device here has, named with --scan-key.
  constexpr uint16_t kOwnKey = BTN_TRIGGER_HAPPY40;
  LibevdevPtr description(libevdev_new());
  libevdev_set_name(description.get(), "pelmor test keyboard");
  libevdev_enable_event_type(description.get(), EV_KEY);
  for (uint16_t key : {uint16_t{KEY_A}, uint16_t{KEY_B}, uint16_t{KEY_F22}, uint16_t{KEY_F24}, kOwnKey})
    libevdev_enable_event_code(description.get(), EV_KEY, key, nullptr);
  UniqueFd uinputFd(::open(kUinputPath, O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(uinputFd) << kUinputPath << ": " << std::strerror(errno);
  libevdev_uinput* raw = nullptr;
  ASSERT_EQ(libevdev_uinput_create_from_device(description.get(), uinputFd.Get(), &raw), 0);
  const UinputPtr keyboard(raw);
  const char* node = libevdev_uinput_get_devnode(keyboard.get());
  ASSERT_NE(node, nullptr);

  std::string error;
  EXPECT_EQ(EvdevScanButton::FindDevice(kOwnKey, error), std::optional<std::string>(node)) << error;
  auto button = EvdevScanButton::Open(node, DeviceGrab::Shared, {kOwnKey, KEY_F22}, error);
  ASSERT_NE(button, nullptr) << error;
  constexpr int kScanId = 0xBFFE;
  constexpr int kOrangeId = 0xBFFF;
  ASSERT_TRUE(button->Register(kOrangeId, MOD_KEYUP, VK_F22));
  ASSERT_TRUE(button->Register(kScanId, MOD_KEYUP, VK_F24));
  std::vector<std::pair<int, uint32_t>> messages;
  button->SetSink([&messages](int id, uint32_t lparam) { messages.emplace_back(id, lparam); });
  EventReader desktop;
  ASSERT_TRUE(desktop.Open(node));

  const std::vector<KeyStep> pressed = {{KEY_A, KeyMove::Down}, {KEY_A, KeyMove::Up},     {kOwnKey, KeyMove::Down},
                                        {kOwnKey, KeyMove::Up}, {KEY_F22, KeyMove::Down}, {KEY_F22, KeyMove::Up}};
  for (const KeyStep& s : pressed) {
    libevdev_uinput_write_event(keyboard.get(), EV_KEY, s.key, s.move == KeyMove::Down ? 1 : 0);
    libevdev_uinput_write_event(keyboard.get(), EV_SYN, SYN_REPORT, 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (messages.size() < 4 && EventReader::WaitReadable(button->Fd(), deadline)) ASSERT_TRUE(button->Dispatch());
  EXPECT_EQ(messages, (std::vector<std::pair<int, uint32_t>>{{kScanId, VK_F24 << 16},
                                                             {kScanId, (VK_F24 << 16) | MOD_KEYUP},
                                                             {kOrangeId, VK_F22 << 16},
                                                             {kOrangeId, (VK_F22 << 16) | MOD_KEYUP}}));
  EXPECT_EQ(desktop.ReadKeys(pressed.size()), pressed) << "the shared keyboard no longer reaches the desktop";
}

}  // namespace
}  // namespace platform
