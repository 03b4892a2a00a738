#include "platform/linux/HotKeyBook.h"

#include <algorithm>
#include <utility>

#include "platform/HotKeys.h"

namespace platform {

bool HotKeyBook::Add(int id, unsigned modifiers, unsigned vk, std::vector<unsigned> codes) {
  if (codes.empty()) return false;
  for (unsigned code : codes) {
    int owner = 0;
    if (Owner(code, owner) && owner != id) return false;
  }
  Remove(id);
  entries_[id] = Entry{modifiers, vk, std::move(codes)};
  return true;
}

std::optional<std::vector<unsigned>> HotKeyBook::Remove(int id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return std::nullopt;
  std::vector<unsigned> codes = std::move(it->second.codes);
  entries_.erase(it);
  for (unsigned code : codes) down_.erase(code);
  return codes;
}

std::vector<unsigned> HotKeyBook::CodesOf(int id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? std::vector<unsigned>{} : it->second.codes;
}

bool HotKeyBook::Holds(unsigned code) const {
  int id = 0;
  return Owner(code, id) != nullptr;
}

const HotKeyBook::Entry* HotKeyBook::Owner(unsigned code, int& id) const {
  for (const auto& [entryId, entry] : entries_) {
    if (std::find(entry.codes.begin(), entry.codes.end(), code) != entry.codes.end()) {
      id = entryId;
      return &entry;
    }
  }
  return nullptr;
}

std::optional<HotKeyBook::Message> HotKeyBook::Press(unsigned code) {
  int id = 0;
  const Entry* entry = Owner(code, id);
  if (!entry || !down_.insert(code).second) return std::nullopt;
  return Message{id, entry->vk << 16};
}

std::optional<HotKeyBook::Message> HotKeyBook::Release(unsigned code) {
  int id = 0;
  const Entry* entry = Owner(code, id);
  if (!entry || down_.erase(code) == 0) return std::nullopt;
  if ((entry->modifiers & MOD_KEYUP) == 0) return std::nullopt;
  return Message{id, (entry->vk << 16) | MOD_KEYUP};
}

std::vector<HotKeyBook::Message> HotKeyBook::ReleaseAll() {
  std::vector<Message> messages;
  const std::set<unsigned> wasDown = down_;
  for (unsigned code : wasDown) {
    if (auto m = Release(code)) messages.push_back(*m);
  }
  return messages;
}

}  // namespace platform
