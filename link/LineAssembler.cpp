#include "link/LineAssembler.h"

namespace readerlink {

std::optional<std::string> LineAssembler::Tick(const ReadByte& read) {
  for (size_t n = 0; n < kMaxReadsPerTick; ++n) {
    uint8_t byte = 0;
    const ReadResult r = read(byte);
    if (r == ReadResult::Empty) return std::nullopt;
    if (r == ReadResult::Failed) {
      Reset();
      return std::nullopt;
    }
    if (discarding_) {
      if (byte == kCarriageReturn) discarding_ = false;
      continue;
    }
    if (byte == kCarriageReturn) {
      std::string line;
      line.swap(buffer_);
      const size_t zero = line.find('\0');
      if (zero != std::string::npos) line.resize(zero);
      return line;
    }
    buffer_.push_back(static_cast<char>(byte));
    if (buffer_.size() >= kBufferBytes) {
      buffer_.clear();
      discarding_ = true;
    }
  }
  return std::nullopt;
}

void LineAssembler::Reset() {
  buffer_.clear();
  discarding_ = false;
}

}  // namespace readerlink
