#pragma once
// Turns each event into one JSON object (one line of JSON Lines) with the fields every
// event has, "time" (UTC, ISO 8601 with milliseconds), "seq", "port" and "event", and hands
// the line to each output in turn.
//
// "seq" grows by one per event over the program's whole life: the last one given is kept in
// a small file of the data folder, so that a consumer can find gaps and duplicates across
// restarts too.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "events/Events.h"
#include "platform/linux/UniqueFd.h"

namespace events {

// Where an event's line goes: a file, the scan history, the MQTT spool.
class IEventOutput {
 public:
  virtual ~IEventOutput() = default;
  // line: the JSON object without a line end.
  virtual void Write(const std::string& event, const std::string& line) = 0;
};

// The last seq given, kept in a file. Unreadable or missing: 0.
class SeqFile {
 public:
  explicit SeqFile(std::filesystem::path path);
  uint64_t Next();

 private:
  std::filesystem::path path_;
  platform::UniqueFd fd_;
  uint64_t last_ = 0;
};

class EventStream final : public IEvents {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  EventStream(std::filesystem::path seqFile, std::string port, Clock clock = std::chrono::system_clock::now);

  void AddOutput(IEventOutput& output) { outputs_.push_back(&output); }
  void RemoveOutput(IEventOutput& output) { std::erase(outputs_, &output); }
  void Emit(const std::string& event, const Fields& fields) override;

  // The time as the events write it: "2026-12-10T07:05:09.123Z".
  static std::string IsoTime(std::chrono::system_clock::time_point t);

 private:
  SeqFile seq_;
  std::string port_;
  Clock clock_;
  std::vector<IEventOutput*> outputs_;
};

}  // namespace events
