#pragma once
// Assembles the reader's lines from the bytes the port has buffered, one timer tick at a
// time: bytes in, whole lines out.
//
// A line is everything the reader sent before a carriage return, at most kMaxLine bytes.
// Bytes that arrive without their carriage return are kept for the next tick, so a line
// that straddles a tick is delivered whole. A run of kBufferBytes bytes without a
// carriage return cannot be a reader line: it is dropped together with everything up to
// and including its carriage return. At most one line comes out per tick; what follows its
// carriage return stays in the port's buffer for later ticks.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace readerlink {

class LineAssembler {
 public:
  static constexpr size_t kMaxLine = 34;
  static constexpr size_t kBufferBytes = kMaxLine + 1;
  // Bytes taken from the port in one tick at most, a little more than 50 ms of line time
  // at 9600 baud, so a tick stays short even when the line floods.
  static constexpr size_t kMaxReadsPerTick = 64;
  static constexpr uint8_t kCarriageReturn = 13;

  enum class ReadResult { Byte, Empty, Failed };
  // Reads one byte into its argument. Empty: nothing is buffered. Failed: the port could
  // not be read; a partial line is then dropped, as it cannot be continued reliably.
  using ReadByte = std::function<ReadResult(uint8_t&)>;

  // One tick: reads bytes until a carriage return completes a line, nothing is delivered,
  // or the tick's budget is spent. A line is cut at its first zero byte, as the reader's
  // text ends there.
  std::optional<std::string> Tick(const ReadByte& read);

  // Forgets a partial line (connect, disconnect).
  void Reset();

  bool HasPartial() const { return !buffer_.empty() || discarding_; }

 private:
  std::string buffer_;
  bool discarding_ = false;
};

}  // namespace readerlink
