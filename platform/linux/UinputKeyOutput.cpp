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

class LibevdevUinputDevice final : public IUinputDevice {
 public:
  // The uinput device is destroyed before its descriptor is closed (members go in reverse).
  LibevdevUinputDevice(UniqueFd fd, UinputPtr uinput) : fd_(std::move(fd)), uinput_(std::move(uinput)) {}

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
  libevdev_set_name(device.get(), kUinputKeyboardName);
  libevdev_enable_event_type(device.get(), EV_KEY);
  // Every key of a PC keyboard, not only those of the virtual-key table: a layout may type a
  // character on any of them (the extra key of ISO keyboards, AltGr).
  for (unsigned key = KEY_ESC; key <= KEY_MICMUTE; ++key)
    libevdev_enable_event_code(device.get(), EV_KEY, key, nullptr);

  libevdev_uinput* raw = nullptr;
  const int rc = libevdev_uinput_create_from_device(device.get(), fd.Get(), &raw);
  if (rc != 0) {
    error = "cannot create a virtual keyboard on " + path + ": " + std::strerror(-rc);
    return nullptr;
  }
  return std::make_unique<LibevdevUinputDevice>(std::move(fd), UinputPtr(raw));
}

UinputKeyOutput::UinputKeyOutput(std::unique_ptr<IUinputDevice> device, KeyLayout layout, MissingReport report)
    : device_(std::move(device)), layout_(std::move(layout)), report_(std::move(report)) {}

std::unique_ptr<UinputKeyOutput> UinputKeyOutput::Create(std::string& error, const std::string& path) {
  std::unique_ptr<IUinputDevice> device = CreateUinputKeyboard(path, error);
  if (!device) return nullptr;
  return std::make_unique<UinputKeyOutput>(std::move(device));
}

void UinputKeyOutput::ReportMissing(uint32_t character) {
  if (reported_.insert(character).second && report_) report_(character);
}

std::vector<KeyStep> UinputKeyOutput::CharacterSteps(uint32_t character) {
  std::vector<KeyStep> steps = CharacterKeySteps(layout_, character);
  if (steps.empty() && !IsUntypable(character)) ReportMissing(character);
  return steps;
}

std::vector<KeyStep> UinputKeyOutput::VirtualKeySteps(uint8_t vk, KeyMove move) {
  uint32_t missing = 0;
  std::vector<KeyStep> steps = VirtualKeyKeySteps(layout_, vk, move, &missing);
  if (missing != 0) ReportMissing(missing);
  return steps;
}

bool UinputKeyOutput::Send(const KeyStep& step) {
  const bool written = device_->WriteEvent(EV_KEY, step.key, step.move == KeyMove::Down ? 1 : 0);
  return device_->Sync() && written;
}

void UinputKeyOutput::KeybdEvent(uint8_t vk, uint8_t, uint32_t flags, uintptr_t) {
  if (IsActivityKey(vk)) return;
  pacer_.VirtualKey(vk, (flags & KEYEVENTF_KEYUP) == 0 ? KeyMove::Down : KeyMove::Up);
}

bool UinputKeyOutput::PostKeybdMessage(intptr_t, unsigned, unsigned, unsigned count, const unsigned*,
                                       const uint32_t* characters) {
  return pacer_.Characters(characters, count);
}

}  // namespace platform
