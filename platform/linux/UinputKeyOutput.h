#pragma once
// Key output through a virtual keyboard of the kernel (/dev/uinput), for systems without an
// X display: the keys reach whatever reads the input devices (a Wayland compositor, the
// console).
//
// Virtual keys become the Linux keys of the virtual-key table; characters become the keys
// of a US keyboard, with Shift held around the ones that need it. What a key finally types
// is up to the layout of the program that reads the device, so characters come out right
// under a US layout. A character a US keyboard has no key for, a control character and a
// virtual key without Linux key are skipped. Virtual key 0x5F, the activity signal of the
// receive loop, sends nothing: no key means "the user is busy" without reaching the focused
// application.
//
// Readers of input devices take a moment to notice a new device, and events written before
// that are lost, so the device is made once, when the program starts.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/KeyOutput.h"

namespace platform {

inline constexpr const char* kUinputPath = "/dev/uinput";

// The writes to a virtual keyboard, one call each, so that the key output above them can be
// tested without a kernel device.
class IUinputDevice {
 public:
  virtual ~IUinputDevice() = default;
  // Writes one input event. False when the device refused it.
  virtual bool WriteEvent(uint16_t type, uint16_t code, int32_t value) = 0;
  // Ends a report (SYN_REPORT): the events written since the last one reach the readers.
  virtual bool Sync() = 0;
};

// Makes a virtual keyboard through the uinput device at path (with libevdev), able to send
// every key the tables hold. Returns null, with the reason in error, when it cannot (no
// device, no permission: /dev/uinput usually belongs to root).
std::unique_ptr<IUinputDevice> CreateUinputKeyboard(const std::string& path, std::string& error);

class UinputKeyOutput final : public IKeyOutput {
 public:
  explicit UinputKeyOutput(std::unique_ptr<IUinputDevice> device);
  // A key output on a new virtual keyboard at path. Null, with the reason in error, when
  // the keyboard cannot be made.
  static std::unique_ptr<UinputKeyOutput> Create(std::string& error, const std::string& path = kUinputPath);

  // One key event of vk's Linux key, as one report; scan and extraInfo are not used.
  void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extraInfo) override;
  // Types the characters, each as its own press and release. window, vk, keyStateFlags and
  // shiftStates are not used. False when characters were given and none was typed, or when
  // the device refused a write.
  bool PostKeybdMessage(intptr_t window, unsigned vk, unsigned keyStateFlags, unsigned count,
                        const unsigned* shiftStates, const uint32_t* characters) override;

 private:
  enum class Move { Down, Up };
  // Writes one key event as a report of its own. False when the device refused a write.
  bool Key(uint16_t code, Move move);

  std::unique_ptr<IUinputDevice> device_;
};

}  // namespace platform
