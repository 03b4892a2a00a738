#pragma once
// Assembles the reader's lines from the bytes the port has buffered, one timer tick at a
// time: bytes in, whole lines out.
//
// A line is everything the reader sent before a carriage return, at most kMaxLine bytes.
// At most one line comes out per tick; what follows its carriage return stays in the
// port's buffer for later ticks.
//
// Bytes that arrive without their carriage return are kept for the next tick, so a line
// that straddles a tick is delivered whole. They are kept for one tick only: a line in
// progress never pauses for a whole tick (at 9600 baud a byte takes about 1 ms), so a
// partial line to which a tick added nothing is noise (a power-on glitch, say) and is
// dropped rather than glued in front of the next real line.
//
// A run of kBufferBytes bytes without a carriage return cannot be a reader line: it is
// dropped and the tick ends; the bytes after it make a line of their own.
//
// An empty line right after another empty line is skipped without using up the tick, so
// a burst of bare carriage returns cannot hold back the lines behind it.
//
// A port that is watched for input is read with Feed as its bytes arrive, under the same
// rules; Expire then stands in for the tick's staleness check, once per tick period.

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
  // Bytes taken from the port in one tick at most, so a tick stays short even when the
  // line floods with carriage returns.
  static constexpr size_t kMaxReadsPerTick = 1024;
  static constexpr uint8_t kCarriageReturn = 13;

  enum class ReadResult { Byte, Empty, Failed };
  // Reads one byte into its argument. Empty: nothing is buffered. Failed: the port could
  // not be read; a partial line is then dropped, as it cannot be continued reliably.
  using ReadByte = std::function<ReadResult(uint8_t&)>;

  // One tick: reads bytes until a carriage return completes a line, the port has nothing
  // more, kBufferBytes bytes without one are dropped, or the tick's budget is spent. A line is cut at its first zero
  // byte, as the reader's text ends there.
  std::optional<std::string> Tick(const ReadByte& read);

  // Reads as Tick does, without its staleness check: for a port read as its bytes arrive.
  std::optional<std::string> Feed(const ReadByte& read);
  // The staleness check of a tick for a port read with Feed: drops a partial line to which
  // no byte was added since the previous check.
  void Expire();

  // Forgets a partial line (connect, disconnect).
  void Reset();

  bool HasPartial() const { return !buffer_.empty(); }

 private:
  std::string buffer_;
  // The last line handed over was empty and nothing has come since.
  bool afterEmptyLine_ = false;
  // A byte was taken since the last tick or Expire.
  bool added_ = false;
};

}  // namespace readerlink
