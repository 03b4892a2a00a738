#include "writetag/BlockFrameDecoder.h"

#include "writetag/BlockFrames.h"

namespace writetag {

namespace {

constexpr std::size_t kFrameDigits = 10;
constexpr std::uint64_t kHeaderBits = 0x04;  // frame bits 39..35
constexpr unsigned kPayloadBits = 20;

std::optional<unsigned> HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return static_cast<unsigned>(ch - '0');
  if (ch >= 'A' && ch <= 'F') return static_cast<unsigned>(ch - 'A' + 10);
  if (ch >= 'a' && ch <= 'f') return static_cast<unsigned>(ch - 'a' + 10);
  return std::nullopt;
}

unsigned Row(std::uint32_t dataWord, unsigned row) { return (dataWord >> (4 * (7 - row))) & 0xFU; }

bool OddOnes(unsigned bits) {
  unsigned ones = 0;
  for (; bits != 0; bits >>= 1) ones ^= bits & 1U;
  return ones == 1;
}

}  // namespace

DecodedFrame DecodeFrame(std::uint64_t frame) {
  DecodedFrame out;
  out.address = static_cast<std::uint8_t>(frame & 7U);
  out.dataWord = static_cast<std::uint32_t>(frame >> 3);
  out.headerOk = ((frame >> 35) & 0x1F) == kHeaderBits && (frame >> 40) == 0;

  out.rowParityOk = true;
  unsigned columns = 0;
  for (unsigned row = 0; row < 8; ++row) {
    const unsigned bits = Row(out.dataWord, row);
    if (!OddOnes(bits)) out.rowParityOk = false;
    // Only the data bits (3..1) of every row, row 7 included, make up the columns.
    columns ^= bits >> 1;
  }
  out.columnParityOk = columns == 7U;
  return out;
}

std::optional<std::uint64_t> ParseFrameText(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.size() != 1 + kFrameDigits || text.front() != 'w') return std::nullopt;
  std::uint64_t frame = 0;
  for (char ch : text.substr(1)) {
    const auto digit = HexValue(ch);
    if (!digit) return std::nullopt;
    frame = (frame << 4) | *digit;
  }
  return frame;
}

std::optional<DecodedFrame> DecodeFrameText(std::string_view text) {
  const auto frame = ParseFrameText(text);
  if (!frame) return std::nullopt;
  return DecodeFrame(*frame);
}

bool IsDataBlockFrame(const DecodedFrame& frame) {
  const bool leadingZero = (frame.dataWord & 0x80000000U) == 0;
  return frame.headerOk && frame.ParityOk() && leadingZero && frame.address >= kFirstDataBlockAddress &&
         frame.address < kFirstDataBlockAddress + MAX_DATA_BLOCKS;
}

std::uint32_t BlockPayload(std::uint32_t dataWord) {
  std::uint32_t bits = 0;
  for (unsigned row = 0; row < 7; ++row) bits = (bits << 3) | (Row(dataWord, row) >> 1);
  // 21 data bits, of which the first is the fixed leading 0.
  return bits & ((1U << kPayloadBits) - 1);
}

std::optional<int> BlocksSettingCount(const DecodedFrame& frame) {
  constexpr std::uint32_t kCountMask = 7U << kBlocksSettingCountShift;
  if (!frame.headerOk || frame.address != 0) return std::nullopt;
  if ((frame.dataWord & ~kCountMask) != kBlocksSettingWordBase) return std::nullopt;
  return static_cast<int>((frame.dataWord & kCountMask) >> kBlocksSettingCountShift);
}

std::string CodeFromBlockWords(std::span<const std::uint32_t> dataWords) {
  std::string code;
  std::uint32_t pending = 0;  // bits not yet making a whole byte
  unsigned pendingBits = 0;
  for (std::uint32_t word : dataWords) {
    pending = (pending << kPayloadBits) | BlockPayload(word);
    pendingBits += kPayloadBits;
    while (pendingBits >= 8) {
      pendingBits -= 8;
      code.push_back(static_cast<char>((pending >> pendingBits) & 0xFF));
    }
    // At most 7 bits stay behind, so the shift above never loses a pending bit.
    pending &= (1U << pendingBits) - 1;
  }
  while (!code.empty() && code.back() == '\0') code.pop_back();
  return code;
}

}  // namespace writetag
