#pragma once
// The bookkeeping shared by the hot key backends (X11 key grabs and an evdev scan button):
// which hot key id a key code belongs to, which keys are down, and which hot key message a
// press or a release gives. Key codes are the backend's own (X keycodes or Linux KEY_*
// codes); the book does no I/O.
//
// Each press of a key gives one message with modifier word 0, and its release one with
// MOD_KEYUP when the hot key was registered with MOD_KEYUP. A press while the key is down
// (auto-repeat) gives nothing, and so does a release of a key the book never saw go down
// (held before it was registered), so that presses and releases always come in pairs.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace platform {

class HotKeyBook {
 public:
  struct Message {
    int id;
    uint32_t lparam;  // (vk << 16) | modifier word
    friend bool operator==(const Message&, const Message&) = default;
  };

  // Holds the key codes for id, in place of what id held before. Fails when a code is
  // already held by another id, or when no code is given.
  bool Add(int id, unsigned modifiers, unsigned vk, std::vector<unsigned> codes);
  // Forgets id, with the down state of its codes. Returns the codes it held; nothing when
  // id is unknown.
  std::optional<std::vector<unsigned>> Remove(int id);
  // The codes held for id; empty when id is unknown.
  std::vector<unsigned> CodesOf(int id) const;
  bool Holds(unsigned code) const;
  bool IsDown(unsigned code) const { return down_.count(code) != 0; }

  // The message of a press or a release of code, if it gives one.
  std::optional<Message> Press(unsigned code);
  std::optional<Message> Release(unsigned code);
  // Releases every key that is down, as when the device that has them went away, and
  // returns their release messages.
  std::vector<Message> ReleaseAll();

 private:
  struct Entry {
    unsigned modifiers;
    unsigned vk;
    std::vector<unsigned> codes;
  };
  const Entry* Owner(unsigned code, int& id) const;

  std::map<int, Entry> entries_;
  std::set<unsigned> down_;
};

}  // namespace platform
