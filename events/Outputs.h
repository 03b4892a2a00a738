#pragma once
// The event lines as files: every event to a JSON Lines file or standard output, and the
// tags to the scan history, a CSV file.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "events/EventStream.h"
#include "platform/linux/UniqueFd.h"

namespace events {

// Appends each event's line and a line feed with one write(), so that `tail -f` and a
// pipe only ever see whole lines.
class JsonLinesOutput final : public IEventOutput {
 public:
  // path "-": standard output. Null with the reason in error when the file cannot be opened.
  static std::unique_ptr<JsonLinesOutput> Open(const std::string& path, std::string& error);
  void Write(const std::string& event, const std::string& line) override;

 private:
  explicit JsonLinesOutput(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  platform::UniqueFd fd_;
};

// One CSV field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line
// break, a quote inside doubled.
std::string CsvField(const std::string& text);

// "time,type,code" rows of every tag event, each ended by CR LF, with that header on a new
// file. At kMaxBytes the file becomes name.1.csv (the one before it is dropped) and a new
// one begins.
class HistoryOutput final : public IEventOutput {
 public:
  static constexpr uint64_t kMaxBytes = uint64_t{10} << 20;
  explicit HistoryOutput(std::filesystem::path path, uint64_t maxBytes = kMaxBytes);
  void Write(const std::string& event, const std::string& line) override;
  // The file a full one is renamed to: reads.csv -> reads.1.csv.
  static std::filesystem::path RotatedPath(const std::filesystem::path& path);
  // The last failure to write, for one line on standard error; empty when none.
  const std::string& Error() const { return error_; }

 private:
  std::filesystem::path path_;
  uint64_t maxBytes_;
  std::string error_;
};

}  // namespace events
