#include "platform/linux/UinputKeyOutput.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/UniquePtr.h"
#include "platform/linux/VirtualKeys.h"

namespace platform {
namespace {

using UinputPtr = UniquePtr<libevdev_uinput, libevdev_uinput_destroy>;

constexpr const char* kDeviceName = "pelmor virtual keyboard";

class LibevdevUinputDevice final : public IUinputDevice {
 public:
  // The uinput device is destroyed before its descriptor is closed (members go in reverse).
  LibevdevUinputDevice(UniqueFd fd, UinputPtr uinput)
      : fd_(std::move(fd)), uinput_(std::move(uinput)) {}

  bool WriteEvent(uint16_t type, uint16_t code, int32_t value) override {
    return libevdev_uinput_write_event(uinput_.get(), type, code, value) == 0;
  }
  bool Sync() override { return WriteEvent(EV_SYN, SYN_REPORT, 0); }

 private:
  UniqueFd fd_;
  UinputPtr uinput_;
};

}  // namespace

std::unique_ptr<IUinputDevice> CreateUinputKeyboard(const std::string& path, std::string& error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  UniquePtr<libevdev, libevdev_free> device(libevdev_new());
  if (!device) {
    error = "cannot describe the virtual keyboard: out of memory";
    return nullptr;
  }
  libevdev_set_name(device.get(), kDeviceName);
  libevdev_enable_event_type(device.get(), EV_KEY);
  for (unsigned vk = 0; vk <= 0xFF; ++vk) {
    if (auto key = LinuxKeyForVk(static_cast<uint8_t>(vk)))
      libevdev_enable_event_code(device.get(), EV_KEY, *key, nullptr);
  }
  for (uint32_t c = 0x20; c <= 0x7E; ++c) {
    if (auto key = UsKeyForCharacter(c)) libevdev_enable_event_code(device.get(), EV_KEY, key->code, nullptr);
  }
  libevdev_enable_event_code(device.get(), EV_KEY, KEY_LEFTSHIFT, nullptr);

  libevdev_uinput* raw = nullptr;
  const int rc = libevdev_uinput_create_from_device(device.get(), fd.Get(), &raw);
  if (rc != 0) {
    error = "cannot create a virtual keyboard on " + path + ": " + std::strerror(-rc);
    return nullptr;
  }
  return std::make_unique<LibevdevUinputDevice>(std::move(fd),
                                                UinputPtr(raw));
}

UinputKeyOutput::UinputKeyOutput(std::unique_ptr<IUinputDevice> device) : device_(std::move(device)) {}

std::unique_ptr<UinputKeyOutput> UinputKeyOutput::Create(std::string& error, const std::string& path) {
  std::unique_ptr<IUinputDevice> device = CreateUinputKeyboard(path, error);
  if (!device) return nullptr;
  return std::make_unique<UinputKeyOutput>(std::move(device));
}

bool UinputKeyOutput::Key(uint16_t code, Move move) {
  const bool written = device_->WriteEvent(EV_KEY, code, move == Move::Down ? 1 : 0);
  return device_->Sync() && written;
}

void UinputKeyOutput::KeybdEvent(uint8_t vk, uint8_t, uint32_t flags, uintptr_t) {
  if (IsActivityKey(vk)) return;
  const std::optional<uint16_t> key = LinuxKeyForVk(vk);
  if (!key) return;
  Key(*key, (flags & KEYEVENTF_KEYUP) == 0 ? Move::Down : Move::Up);
}

bool UinputKeyOutput::PostKeybdMessage(intptr_t, unsigned, unsigned, unsigned count, const unsigned*,
                                       const uint32_t* characters) {
  if (count == 0) return true;
  if (!characters) return false;
  bool ok = true;
  unsigned typed = 0;
  for (unsigned i = 0; i < count && ok; ++i) {
    const std::optional<UsKey> key = UsKeyForCharacter(characters[i]);
    if (!key) continue;
    // Every key pressed is released again, even after a refused write, so that no key or
    // Shift stays down in the readers.
    if (key->shift) ok = Key(KEY_LEFTSHIFT, Move::Down) && ok;
    ok = Key(key->code, Move::Down) && ok;
    ok = Key(key->code, Move::Up) && ok;
    if (key->shift) ok = Key(KEY_LEFTSHIFT, Move::Up) && ok;
    if (ok) ++typed;
  }
  return ok && typed > 0;
}

}  // namespace platform
