#include "device/EventSound.h"

#include <system_error>

namespace device {
namespace {

struct EventEntry {
  const char* file;
  uint32_t beep;
};

constexpr EventEntry kEvents[] = {
    {"ConnectComOK.wav", 0},           {"DisconnectComOK.wav", 0},
    {"ConnectComErr.wav", 0x10},       {"StartScanning.wav", 0x20},
    {"StopScanning.wav", kBeepSimple}, {"NoTagFound.wav", 0x30},
    {"SameTagFound.wav", 0x30},        {"TagFound.wav", 0x40},
    {"InvalidTagFound.wav", 0x30},
};

}  // namespace

void PlayEventSound(platform::ISound& sound, const std::filesystem::path& appDir, int event) {
  std::filesystem::path path = appDir / "Sound";
  uint32_t beep = 0;
  if (event >= 0 && event < static_cast<int>(std::size(kEvents))) {
    path /= kEvents[event].file;
    beep = kEvents[event].beep;
  } else if (event == kSoundStartUp) {
    sound.MessageBeep(kBeepSimple);
  }
  std::error_code ec;
  // Anything that exists goes to the player. For events without a file that is the folder
  // itself, in which the player finds nothing to play, so those events stay silent.
  if (std::filesystem::exists(path, ec)) {
    sound.PlaySoundFile(path.string());
  } else {
    sound.MessageBeep(beep);
  }
}

}  // namespace device
