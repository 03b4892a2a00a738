#include "platform/linux/CanberraSound.h"

#include <canberra.h>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

namespace platform {
namespace {

// Sounds are told apart by these ids so that a new file sound can stop the previous one
// without touching a beep.
constexpr uint32_t kFileSoundId = 1;
constexpr uint32_t kBeepSoundId = 2;

constexpr uint32_t kBeepDefault = 0;
constexpr uint32_t kBeepHand = 0x10;
constexpr uint32_t kBeepQuestion = 0x20;
constexpr uint32_t kBeepExclamation = 0x30;
constexpr uint32_t kBeepAsterisk = 0x40;
constexpr uint32_t kBeepSimple = 0xFFFFFFFFu;

constexpr char kAlsaLibrary[] = "libasound.so.2";

// The signature of the ALSA library's error printer and of the call that replaces it, as
// its header declares them; the header itself is not needed for this one call.
using AlsaErrorHandler = void (*)(const char* file, int line, const char* function, int err, const char* format, ...);
using AlsaSetErrorHandler = int (*)(AlsaErrorHandler handler);

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// The ALSA library prints a paragraph to standard error for every device it fails to
// open, which on a machine without sound card is every sound. libcanberra gives the same
// failure back as a result, so the text tells nothing more; replace the printer if
// libcanberra loaded ALSA. The library is only looked up, never loaded here.
void SilenceAlsaErrors() {
  void* alsa = ::dlopen(kAlsaLibrary, RTLD_LAZY | RTLD_NOLOAD);
  if (alsa == nullptr) {
    return;
  }
  auto set = reinterpret_cast<AlsaSetErrorHandler>(::dlsym(alsa, "snd_lib_error_set_handler"));
  if (set != nullptr) {
    set(&IgnoreAlsaError);
  }
  // Dropping our reference leaves the library loaded: libcanberra's driver still holds it.
  ::dlclose(alsa);
}

// libcanberra loads its drivers as modules named "libcanberra-<driver>.so" and unloads them
// when the context is destroyed. The ALSA driver plays every sound on a detached thread of
// its own, which can still be running the module's code at that moment and would then jump
// into unmapped memory. Marking the loaded modules as never to be unloaded keeps their code
// in place for as long as the process lives; each is loaded only once anyway.
int PinDriverModule(dl_phdr_info* info, size_t, void*) {
  const char* path = info->dlpi_name;
  const char* slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
  if (slash != nullptr && std::strncmp(slash + 1, "libcanberra-", 12) == 0) {
    if (void* module = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
      ::dlclose(module);
    }
  }
  return 0;
}

void PinDriverModules() { ::dl_iterate_phdr(&PinDriverModule, nullptr); }

// Only a readable regular file is a sound file to play. A folder in particular is handed
// over by callers whose event has no file, and must stay silent; and the player would hang
// on a named pipe until something writes into it.
bool IsPlayableFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), R_OK) == 0;
}

}  // namespace

const char* BeepSoundId(uint32_t type) {
  switch (type) {
    case kBeepHand:
      return "dialog-error";
    case kBeepQuestion:
      return "message-new-instant";
    case kBeepExclamation:
      return "dialog-warning";
    case kBeepAsterisk:
      return "dialog-information";
    case kBeepSimple:
      return "message";
    case kBeepDefault:
    default:
      return "bell";
  }
}

void CanberraSound::ContextDeleter::operator()(ca_context* context) const { ca_context_destroy(context); }

CanberraSound::CanberraSound() = default;
CanberraSound::~CanberraSound() = default;

CanberraSound::CanberraSound(CanberraSound&& other) noexcept
    : context_(std::move(other.context_)), state_(std::exchange(other.state_, ContextState::kNotOpened)) {}

CanberraSound& CanberraSound::operator=(CanberraSound&& other) noexcept {
  context_ = std::move(other.context_);
  state_ = std::exchange(other.state_, ContextState::kNotOpened);
  return *this;
}

ca_context* CanberraSound::Context() {
  if (state_ == ContextState::kNotOpened) {
    // Opening loads and probes libcanberra's drivers. Whatever the outcome, it is done once:
    // a failure here means there is no driver, which does not change while the program runs.
    state_ = ContextState::kFailed;
    ca_context* raw = nullptr;
    if (ca_context_create(&raw) != CA_SUCCESS) {
      return nullptr;
    }
    std::unique_ptr<ca_context, ContextDeleter> context(raw);
    ca_context_change_props(context.get(), CA_PROP_APPLICATION_NAME, "pelmor", CA_PROP_APPLICATION_ID, "pelmor",
                            nullptr);
    if (ca_context_open(context.get()) != CA_SUCCESS) {
      return nullptr;
    }
    PinDriverModules();
    SilenceAlsaErrors();
    context_ = std::move(context);
    state_ = ContextState::kOpen;
  }
  return context_.get();
}

bool CanberraSound::PlaySoundFile(const std::string& path) {
  if (!IsPlayableFile(path)) {
    return false;
  }
  ca_context* context = Context();
  if (context == nullptr) {
    return false;
  }
  // Cancelling a sound that has ended or never started is harmless, so the result is not
  // looked at.
  ca_context_cancel(context, kFileSoundId);
  return ca_context_play(context, kFileSoundId, CA_PROP_MEDIA_FILENAME, path.c_str(), CA_PROP_MEDIA_ROLE, "event",
                         nullptr) == CA_SUCCESS;
}

bool CanberraSound::MessageBeep(uint32_t type) {
  ca_context* context = Context();
  if (context == nullptr) {
    return false;
  }
  return ca_context_play(context, kBeepSoundId, CA_PROP_EVENT_ID, BeepSoundId(type), CA_PROP_MEDIA_ROLE, "event",
                         nullptr) == CA_SUCCESS;
}

}  // namespace platform
