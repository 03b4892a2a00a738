#pragma once
// Key strokes into the application that has the keyboard focus.

#include <cstdint>

namespace platform {

inline constexpr uint32_t KEYEVENTF_KEYUP = 0x2;

class IKeyOutput {
 public:
  virtual ~IKeyOutput() = default;
  // One key event of a virtual-key code: flags 0 for down, KEYEVENTF_KEYUP for up.
  virtual void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extraInfo) = 0;
  // A run of characters typed into the focus window: count characters, each with its
  // shift state. Returns false when nothing could be typed.
  virtual bool PostKeybdMessage(intptr_t window, unsigned vk, unsigned keyStateFlags, unsigned count,
                                const unsigned* shiftStates, const uint32_t* characters) = 0;
};

}  // namespace platform
