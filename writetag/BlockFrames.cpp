#include "writetag/BlockFrames.h"

#include <climits>
#include <cstdio>

namespace writetag {

namespace {

constexpr unsigned kDataRows = 7;
constexpr std::uint64_t kFrameMask = (std::uint64_t{1} << 40) - 1;
// Frame bits 39..35 read 0 0 1 0 0: the write opcode in front of the data word.
constexpr std::uint64_t kFrameHeader = std::uint64_t{4} << 32;

// Byte i of the code: the low 8 bits of its character i, and 0 past its end, so the
// block layout may reach beyond a short code without reading outside it.
std::uint8_t CodeByte(std::u16string_view code, std::size_t i) {
  return i < code.size() ? static_cast<std::uint8_t>(code[i] & 0xFF) : 0;
}

// A row of three data bits (in bits 2..0 of `bits`) followed by the bit that gives the
// four an odd number of ones.
std::uint32_t RowWithParity(unsigned bits) {
  const unsigned ones = ((bits >> 2) ^ (bits >> 1) ^ bits) & 1U;
  return ((bits & 7U) << 1) | (1U ^ ones);
}

}  // namespace

std::size_t BlocksNeeded(std::size_t length) {
  // Five characters fill two blocks exactly; the remainder 1..4 needs 1, 1, 2, 2 more.
  return length / 5 * 2 + ((length % 5) * 2 + 4) / 5;
}

std::uint32_t BlockDataWord(std::uint8_t c, std::uint8_t d, std::uint8_t e) {
  // The 21 bits 0, c7..c0, d7..d0, e7..e4 in order, three to a row.
  const std::uint32_t bits = (std::uint32_t{c} << 12) | (std::uint32_t{d} << 4) | (e >> 4U);
  std::uint32_t word = 0;
  unsigned columns = 0;
  for (unsigned row = 0; row < kDataRows; ++row) {
    const unsigned triple = (bits >> (3 * (kDataRows - 1 - row))) & 7U;
    columns ^= triple;
    word = (word << 4) | RowWithParity(triple);
  }
  // The last row makes every data column odd; the row parity bits are not covered.
  return (word << 4) | RowWithParity(columns ^ 7U);
}

std::uint64_t MakeFrame(std::uint32_t dataWord, std::uint8_t address) {
  return (((kFrameHeader | dataWord) << 3) | (address & 7U)) & kFrameMask;
}

std::optional<std::uint64_t> BlocksSettingFrame(int blockCount) {
  if (blockCount != 3 && blockCount != 5 && blockCount != 7) return std::nullopt;
  const auto word = kBlocksSettingWordBase | (static_cast<std::uint32_t>(blockCount) << kBlocksSettingCountShift);
  return MakeFrame(word, 0);
}

int SetBlockCount(BlockFrameSet& set, std::size_t n) {
  if (n > MAX_DATA_BLOCKS) return kResultOutOfRange;
  set.m_nBlockCount = static_cast<std::uint8_t>(n);
  return kResultOk;
}

int StoreBlockFrame(BlockFrameSet& set, std::size_t index, std::uint64_t frame) {
  if (index >= MAX_DATA_BLOCKS) return kResultOutOfRange;
  BlockFrameRecord& record = set.m_blockFrames[index];
  record[0] = 'w';
  for (std::size_t i = 0; i < 5; ++i) {
    record[1 + i] = static_cast<std::uint8_t>(frame >> (8 * (4 - i)));
  }
  record[6] = '\r';
  return kResultOk;
}

BlockFramesOutcome ComputeBlockFrames(BlockFrameSet& set, std::u16string_view code) {
  const std::size_t n = BlocksNeeded(code.size());
  // The count is checked before anything is stored, so a refused code leaves the table
  // as the previous run left it.
  if (SetBlockCount(set, n) != kResultOk) return {kResultOutOfRange, n};

  for (std::size_t j = 0; j < n; ++j) {
    // Blocks 2k and 2k + 1 share the five bytes from 5k: the even block takes two bytes
    // and the high half of the third, the odd block the low half and the last two.
    const std::size_t first = j / 2 * 5;
    std::uint8_t c, d, e;
    if (j % 2 == 0) {
      c = CodeByte(code, first);
      d = CodeByte(code, first + 1);
      e = CodeByte(code, first + 2);
    } else {
      const std::uint8_t b2 = CodeByte(code, first + 2);
      const std::uint8_t b3 = CodeByte(code, first + 3);
      const std::uint8_t b4 = CodeByte(code, first + 4);
      c = static_cast<std::uint8_t>((b2 << 4) | (b3 >> 4));
      d = static_cast<std::uint8_t>((b3 << 4) | (b4 >> 4));
      e = static_cast<std::uint8_t>(b4 << 4);
    }
    const auto address = static_cast<std::uint8_t>(kFirstDataBlockAddress + j);
    // n is at most MAX_DATA_BLOCKS here, so every index is accepted.
    (void)StoreBlockFrame(set, j, MakeFrame(BlockDataWord(c, d, e), address));
  }
  return {kResultOk, n};
}

std::uint64_t FrameOfRecord(const BlockFrameRecord& record) {
  std::uint64_t frame = 0;
  for (std::size_t i = 1; i <= 5; ++i) frame = (frame << 8) | record[i];
  return frame;
}

std::string FrameCommandText(std::uint64_t frame) {
  char text[16];
  std::snprintf(text, sizeof text, "w%010llX\r", static_cast<unsigned long long>(frame & kFrameMask));
  return text;
}

std::optional<std::string> WriteCommandFor(const BlockFrameSet& set, std::size_t index) {
  if (index >= set.m_nBlockCount || index >= MAX_DATA_BLOCKS) return std::nullopt;
  return FrameCommandText(FrameOfRecord(set.m_blockFrames[index]));
}

std::string BlockCountMessage(std::size_t blocksCalculated) {
  const std::size_t shown =
      blocksCalculated > static_cast<std::size_t>(INT_MAX) ? static_cast<std::size_t>(INT_MAX) : blocksCalculated;
  // The format holds exactly one "%d"; replacing it keeps the text byte for byte.
  std::string text(kBlockCountMessageFormat);
  const std::size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(shown));
  return text;
}

}  // namespace writetag
