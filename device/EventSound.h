#pragma once
// The sounds of the program's events: a WAV file of the "Sound" folder beside the
// executable, or a system beep of the event's type when the file is not there.

#include <cstdint>
#include <filesystem>

#include "platform/Sound.h"

namespace device {

enum SoundEvent : int {
  kSoundConnectOk = 0,
  kSoundDisconnectOk = 1,
  kSoundConnectError = 2,
  kSoundStartScanning = 3,
  kSoundStopScanning = 4,
  kSoundNoTagFound = 5,
  kSoundSameTagFound = 6,
  kSoundTagFound = 7,
  kSoundInvalidTagFound = 8,
  kSoundStartUp = 9,
};

inline constexpr uint32_t kBeepSimple = 0xFFFFFFFFu;

// Plays the sound of an event; never reports an error. appDir is the application folder.
void PlayEventSound(platform::ISound& sound, const std::filesystem::path& appDir, int event);

}  // namespace device
