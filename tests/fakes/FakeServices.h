#pragma once
// Recording fakes of the hot key, key output and sound services, for tests and for the
// headless terminal (which drives hot keys from its standard input).

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/HotKeys.h"
#include "platform/KeyOutput.h"
#include "platform/Sound.h"

namespace platform {

class FakeHotKeys : public IHotKeys {
 public:
  struct Registration {
    unsigned modifiers;
    unsigned vk;
  };
  bool failRegister = false;
  bool hasReleaseStep = true;
  std::map<int, Registration> registered;
  std::vector<std::pair<unsigned, unsigned>> released;  // ReleaseFromSystem calls
  int registerCalls = 0;

  void SetSink(Sink sink) override { sink_ = std::move(sink); }
  bool ReleaseFromSystem(unsigned modifiers, unsigned vk) override {
    released.emplace_back(modifiers, vk);
    return hasReleaseStep;
  }
  bool Register(int id, unsigned modifiers, unsigned vk) override {
    ++registerCalls;
    if (failRegister) return false;
    // Registering an id again for the same window keeps it, with the new key.
    registered[id] = {modifiers, vk};
    return true;
  }
  bool Unregister(int id) override { return registered.erase(id) != 0; }

  // Delivers a press or release of the key registered for vk. Returns false when no hot
  // key holds that key.
  bool Press(unsigned vk, bool down) {
    for (const auto& [id, reg] : registered) {
      if (reg.vk != vk) continue;
      if (!down && !(reg.modifiers & MOD_KEYUP)) return true;
      if (sink_) sink_(id, (vk << 16) | (down ? 0u : MOD_KEYUP));
      return true;
    }
    return false;
  }

 private:
  Sink sink_;
};

class RecordingKeyOutput : public IKeyOutput {
 public:
  struct KeyEvent {
    uint8_t vk;
    bool up;
    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
  };
  std::vector<KeyEvent> keys;
  std::vector<std::u32string> typed;  // one entry per PostKeybdMessage call
  // Everything in order as text: keys as "<XX>" / "</XX>", characters as they are.
  std::u32string stream;

  void KeybdEvent(uint8_t vk, uint8_t, uint32_t flags, uintptr_t) override {
    const bool up = (flags & KEYEVENTF_KEYUP) != 0;
    keys.push_back({vk, up});
    static const char* hex = "0123456789ABCDEF";
    std::u32string tag = up ? U"</" : U"<";
    tag += static_cast<char32_t>(hex[vk >> 4]);
    tag += static_cast<char32_t>(hex[vk & 15]);
    tag += U">";
    stream += tag;
  }
  bool PostKeybdMessage(intptr_t, unsigned, unsigned, unsigned count, const unsigned*,
                        const uint32_t* characters) override {
    std::u32string s;
    for (unsigned i = 0; i < count; ++i) s.push_back(static_cast<char32_t>(characters[i]));
    typed.push_back(s);
    stream += s;
    return true;
  }
};

class RecordingSound : public ISound {
 public:
  std::vector<std::string> played;
  std::vector<uint32_t> beeps;
  bool PlaySoundFile(const std::string& path) override {
    played.push_back(path);
    return true;
  }
  bool MessageBeep(uint32_t type) override {
    beeps.push_back(type);
    return true;
  }
};

}  // namespace platform
