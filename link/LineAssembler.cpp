#include "link/LineAssembler.h"

namespace readerlink {

std::optional<std::string> LineAssembler::Tick(const ReadByte& read) {
  auto line = Feed(read);
  // Feed ends without a line and with the partial line kept only when the port had
  // nothing more; a partial line this tick added nothing to is noise.
  Expire();
  return line;
}

void LineAssembler::Expire() {
  if (!added_) buffer_.clear();
  added_ = false;
}

std::optional<std::string> LineAssembler::Feed(const ReadByte& read) {
  for (size_t n = 0; n < kMaxReadsPerTick; ++n) {
    uint8_t byte = 0;
    const ReadResult r = read(byte);
    if (r == ReadResult::Failed) {
      Reset();
      return std::nullopt;
    }
    if (r == ReadResult::Empty) {
      afterEmptyLine_ = false;
      return std::nullopt;
    }
    added_ = true;
    if (byte == kCarriageReturn) {
      if (buffer_.empty() && afterEmptyLine_) continue;
      std::string line;
      line.swap(buffer_);
      const size_t zero = line.find('\0');
      if (zero != std::string::npos) line.resize(zero);
      afterEmptyLine_ = line.empty();
      return line;
    }
    afterEmptyLine_ = false;
    buffer_.push_back(static_cast<char>(byte));
    if (buffer_.size() >= kBufferBytes) {
      buffer_.clear();
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void LineAssembler::Reset() {
  buffer_.clear();
  afterEmptyLine_ = false;
  added_ = false;
}

}  // namespace readerlink
