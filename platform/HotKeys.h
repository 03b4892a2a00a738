#pragma once
// Global hot keys: the device's scan button (F24) and the orange key with the scan button
// (F22) reach the main window as hot key messages even when it is hidden.

#include <cstdint>
#include <functional>

namespace platform {

// Virtual-key codes and modifiers of the keys the program takes.
inline constexpr unsigned VK_F22 = 0x85;
inline constexpr unsigned VK_F24 = 0x87;
inline constexpr unsigned MOD_KEYUP = 0x1000;  // also report the release

class IHotKeys {
 public:
  // A hot key message: its id, and the modifier word (low 16 bits, MOD_KEYUP for a release)
  // with the virtual-key code (high 16 bits).
  using Sink = std::function<void(int id, uint32_t lparam)>;

  virtual ~IHotKeys() = default;
  virtual void SetSink(Sink sink) = 0;
  // Frees a key from the system's own use before it is registered. Returns false when the
  // platform has no such step; registering goes on without it.
  virtual bool ReleaseFromSystem(unsigned modifiers, unsigned vk) = 0;
  virtual bool Register(int id, unsigned modifiers, unsigned vk) = 0;
  virtual bool Unregister(int id) = 0;
};

}  // namespace platform
