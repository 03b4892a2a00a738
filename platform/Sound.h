#pragma once
// Sound output: WAV files played by name in the background, and the system beeps.

#include <cstdint>
#include <string>

namespace platform {

class ISound {
 public:
  virtual ~ISound() = default;
  // Starts playing a sound file and returns at once; false when it cannot be started.
  virtual bool PlaySoundFile(const std::string& path) = 0;
  // One of the message-beep types: 0, 0x10, 0x20, 0x30, 0x40 or 0xFFFFFFFF.
  virtual bool MessageBeep(uint32_t type) = 0;
};

// Plays nothing; for machines and runs without sound.
class NullSound : public ISound {
 public:
  bool PlaySoundFile(const std::string&) override { return true; }
  bool MessageBeep(uint32_t) override { return true; }
};

}  // namespace platform
