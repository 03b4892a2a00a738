#pragma once
// The events on their way to the broker, kept in a file of the data folder until the
// broker has taken each one (its PUBACK): they survive a broker that is away and a restart
// of the program. The file holds one "event<TAB>json" line per event; a second file holds
// the offset of the first one not yet taken. Bounded: beyond kMaxBytes the oldest go.

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>

#include "platform/linux/UniqueFd.h"

namespace events {

class Spool {
 public:
  static constexpr uint64_t kMaxBytes = uint64_t{100} << 20;
  // The part of the file already taken that makes it worth moving the rest to the start.
  static constexpr uint64_t kCompactBytes = uint64_t{1} << 20;
  // Read beyond the bound at start, for a last line cut by a stop.
  static constexpr uint64_t kReadSlack = uint64_t{64} << 10;

  struct Entry {
    uint64_t id;  // increasing, for the acknowledgement
    std::string event, line;
    uint64_t end;  // file offset after its line
    bool sent = false;
    bool acked = false;
  };

  Spool(std::filesystem::path path, uint64_t maxBytes = kMaxBytes);
  // Reads what an earlier run left. False with the reason when the file cannot be used;
  // the spool then keeps its events in memory only.
  bool Open(std::string& error);

  // Adds an event at the end; returns how many of the oldest were dropped for the bound.
  size_t Append(const std::string& event, const std::string& line);
  // The broker took the entry: it and any taken before it leave the file.
  void Acknowledge(uint64_t id);
  // The connection is gone: whatever was sent and not taken is sent again.
  void Unsend();

  std::deque<Entry>& Entries() { return entries_; }
  uint64_t PendingBytes() const { return end_ - start_; }
  static std::filesystem::path PositionPath(const std::filesystem::path& path);

 private:
  void SavePosition();
  void Compact();

  std::filesystem::path path_;
  uint64_t maxBytes_;
  platform::UniqueFd file_, position_;
  std::deque<Entry> entries_;
  uint64_t start_ = 0;  // offset of the first entry kept
  uint64_t end_ = 0;    // offset after the last
  uint64_t nextId_ = 1;
};

}  // namespace events
