#pragma once
// The sound service over libcanberra: WAV files played by name, and the message-beep types
// played as event sounds of the freedesktop sound theme.
//
// Both calls start the sound and return at once; playback runs on libcanberra's own
// threads. A new file sound stops the file sound still playing, so that the latest event is
// the one heard; beeps play over it. A path that is not a regular file this process may
// read (a missing file, a folder, a named pipe, whose opening would wait for a writer) plays
// nothing and gives false without calling the player.
//
// The libcanberra context is opened at the first call that needs it. If it cannot be opened
// (no driver at all), the service stays silent from then on and every call gives false at
// once, without trying again. On a machine without an audio device the context opens but
// every sound fails quickly; that failure is only the return value: nothing is printed. To
// that end the error printer of the ALSA library, which libcanberra's ALSA driver loads into
// the process, is replaced by one that prints nothing (the program itself does not use ALSA).
//
// libcanberra's driver modules stay loaded once the context has loaded them, even after the
// service is destroyed: a playback thread may still be running in their code then.
//
// Beep types and the event sounds they play (all of them part of the freedesktop theme that
// comes with libcanberra; unknown types play the sound of type 0):
//   0           default sound        "bell"
//   0x10        MB_ICONHAND          "dialog-error"
//   0x20        MB_ICONQUESTION      "message-new-instant" (the theme has no "dialog-question")
//   0x30        MB_ICONEXCLAMATION   "dialog-warning"
//   0x40        MB_ICONASTERISK      "dialog-information"
//   0xFFFFFFFF  simple beep          "message"
//
// libcanberra reads the environment when the context is created: CANBERRA_DRIVER picks its
// driver, and the ALSA driver follows the ALSA configuration (ALSA_CONFIG_PATH).
//
// Not thread-safe; used from the user-interface thread only.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Sound.h"

// libcanberra's context, complete only in the implementation.
struct ca_context;

namespace platform {

// The freedesktop event sound id played for a message-beep type; never null.
const char* BeepSoundId(uint32_t type);

class CanberraSound : public ISound {
 public:
  CanberraSound();
  ~CanberraSound() override;
  CanberraSound(CanberraSound&&) noexcept;
  CanberraSound& operator=(CanberraSound&&) noexcept;
  CanberraSound(const CanberraSound&) = delete;
  CanberraSound& operator=(const CanberraSound&) = delete;

  bool PlaySoundFile(const std::string& path) override;
  bool MessageBeep(uint32_t type) override;

 private:
  struct ContextDeleter {
    void operator()(ca_context* context) const;
  };
  enum class ContextState { kNotOpened, kOpen, kFailed };

  // The open context, opening it on first use; null once opening has failed.
  ca_context* Context();

  std::unique_ptr<ca_context, ContextDeleter> context_;
  ContextState state_ = ContextState::kNotOpened;
};

}  // namespace platform
