#include "app/StdinHotKeys.h"

namespace app {

bool StdinHotKeys::Register(int id, unsigned modifiers, unsigned vk) {
  if (source_ == Source::None) return false;
  keys_[id] = {modifiers, vk};
  return true;
}

bool StdinHotKeys::Press(const std::string& name, bool down, std::string& error) {
  unsigned vk = 0;
  if (name == "F22") {
    vk = platform::VK_F22;
  } else if (name == "F24") {
    vk = platform::VK_F24;
  } else {
    error = "unknown key '" + name + "', expected F22 or F24";
    return false;
  }
  for (const auto& [id, key] : keys_) {
    if (key.vk != vk) continue;
    // A key taken without its release gets no release message.
    if (!down && !(key.modifiers & platform::MOD_KEYUP)) return true;
    if (sink_) sink_(id, (vk << 16) | (down ? 0u : platform::MOD_KEYUP));
    return true;
  }
  error = "key " + name + " is not taken (not connected)";
  return false;
}

}  // namespace app
