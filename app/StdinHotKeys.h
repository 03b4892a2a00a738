#pragma once
// The scan keys when no keyboard or button gives them: the headless terminal's "key F24
// down" commands, or (in a window without any key source) nothing at all, in which case
// taking the keys fails and the log says so at connect.

#include <map>
#include <string>

#include "platform/HotKeys.h"

namespace app {

class StdinHotKeys final : public platform::IHotKeys {
 public:
  enum class Source { Terminal, None };
  explicit StdinHotKeys(Source source) : source_(source) {}

  void SetSink(Sink sink) override { sink_ = std::move(sink); }
  // There is no system to free the keys from.
  bool ReleaseFromSystem(unsigned, unsigned) override { return false; }
  bool Register(int id, unsigned modifiers, unsigned vk) override;
  bool Unregister(int id) override { return keys_.erase(id) != 0; }

  // A press or release of "F22" or "F24" as the terminal names them. False with the reason
  // when the name is unknown or the key is not taken (not connected).
  bool Press(const std::string& name, bool down, std::string& error);

 private:
  struct Key {
    unsigned modifiers;
    unsigned vk;
  };
  Source source_;
  std::map<int, Key> keys_;
  Sink sink_;
};

}  // namespace app
