#pragma once
// Key output through a virtual keyboard of the kernel (/dev/uinput), for Wayland sessions and
// systems without an X display: the keys reach whatever reads the input devices (a Wayland
// compositor, the console).
//
// A key sends a position, not a character: what it types is up to the layout of the program
// that reads the device. So the characters of a code, and the virtual keys that stand for
// characters, are typed as the keys and modifiers of the user's layout (KeyLayout: the
// built-in US layout unless another is given); the other virtual keys (Enter, Tab, the
// function keys) are their Linux keys. A character the layout cannot type is skipped and
// told to the report function, once per character for the output's life. Control
// characters and virtual keys without Linux key are skipped. Virtual key 0x5F, the activity
// signal of the receive loop, sends nothing: no key means "the user is busy" without
// reaching the focused application.
//
// The key events go through a KeyPacer (Pacer()), which can space them with a delay.
//
// Readers of input devices take a moment to notice a new device, and events written before
// that are lost, so the device is made once, when the program starts.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/KeyOutput.h"
#include "platform/linux/KeyLayout.h"
#include "platform/linux/KeyPacer.h"

namespace platform {

inline constexpr const char* kUinputPath = "/dev/uinput";
inline constexpr const char* kUinputKeyboardName = "pelmor virtual keyboard";

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

// Makes a virtual keyboard through the uinput device at path (with libevdev), named
// kUinputKeyboardName, able to send every key of a PC keyboard (KEY_ESC to KEY_MICMUTE) so
// that any layout's keys can be typed. Returns null, with the reason in error, when it cannot (no
// device, no permission: /dev/uinput usually belongs to root).
std::unique_ptr<IUinputDevice> CreateUinputKeyboard(const std::string& path, std::string& error);

class UinputKeyOutput final : public IKeyOutput, private IKeySteps {
 public:
  // Called with a character the layout cannot type, the first time it is asked for.
  using MissingReport = std::function<void(uint32_t character)>;

  explicit UinputKeyOutput(std::unique_ptr<IUinputDevice> device, KeyLayout layout = KeyLayout::BuiltInUs(),
                           MissingReport report = {});
  // A key output on a new virtual keyboard at path, with the built-in US layout. Null, with
  // the reason in error, when the keyboard cannot be made.
  static std::unique_ptr<UinputKeyOutput> Create(std::string& error, const std::string& path = kUinputPath);

  // One key event of vk (see above); scan and extraInfo are not used.
  void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extraInfo) override;
  // Types the characters, each as its own press and release with its modifiers around it.
  // window, vk, keyStateFlags and shiftStates are not used. Without a delay: false when
  // characters were given and none was typed, or when the device refused a write; after a
  // refused write the rest of the code is not typed, but every key pressed is released.
  bool PostKeybdMessage(intptr_t window, unsigned vk, unsigned keyStateFlags, unsigned count,
                        const unsigned* shiftStates, const uint32_t* characters) override;

  KeyPacer& Pacer() { return pacer_; }
  const KeyLayout& Layout() const { return layout_; }

 private:
  std::vector<KeyStep> CharacterSteps(uint32_t character) override;
  std::vector<KeyStep> VirtualKeySteps(uint8_t vk, KeyMove move) override;
  // Writes one key event as a report of its own. False when the device refused a write.
  bool Send(const KeyStep& step) override;
  // The kernel hands each report to the readers as it is written.
  void Flush() override {}
  void ReportMissing(uint32_t character);

  std::unique_ptr<IUinputDevice> device_;
  KeyLayout layout_;
  MissingReport report_;
  std::set<uint32_t> reported_;
  // Last, so that it goes first and sends what it still holds through the device.
  KeyPacer pacer_{*this};
};

}  // namespace platform
