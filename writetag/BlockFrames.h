#pragma once
// Turns a transponder code into the 40-bit write frames the reader module sends to a
// writable transponder, one frame per data block.
//
// A frame is, from its most significant bit: 0 0, then 1 0 0, then the 32-bit data word,
// then the 3-bit block address. The data word holds eight rows of four bits: rows 0 to 6
// carry three data bits each (the first data bit of row 0 is always 0) followed by a bit
// that makes the row's count of ones odd; row 7 holds odd column parity over the data
// bits of rows 0 to 6, again followed by its own row parity. So every block carries 20
// code bits, and a pair of blocks carries five code bytes.
//
// Nothing here touches a dialog, a port or the platform: the Write Tag dialog keeps a
// BlockFrameSet as its `m_nBlockCount` and `m_blockFrames`, calls ComputeBlockFrames once
// per write run, and sends records 0 .. `m_nBlockCount` - 1 through WriteCommandFor.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace writetag {

// The longest code the dialog accepts, and the number of data blocks that holds it
// (6 blocks of 20 bits take 15 bytes). Blocks use addresses 2 to 7.
inline constexpr std::size_t MAX_CODE_CHARS = 15;
inline constexpr std::size_t MAX_DATA_BLOCKS = 6;
inline constexpr std::uint8_t kFirstDataBlockAddress = 2;

// Results as the write procedure tests them.
inline constexpr int kResultOk = 0;
inline constexpr int kResultOutOfRange = 5;

// Shown (formatted with the refused block count, caption "Help", one OK button) when a
// code needs more blocks than a transponder holds.
inline constexpr std::string_view kBlockCountMessageFormat =
    "Number of calculated blocks incorrect. \r\n%d blocks calculated.";
inline constexpr std::string_view kBlockCountMessageCaption = "Help";

// One stored frame: "w", the five frame bytes with the most significant first, and a
// carriage return.
inline constexpr std::size_t kFrameRecordSize = 7;
using BlockFrameRecord = std::array<std::uint8_t, kFrameRecordSize>;

// The dialog's block table. Both members start zeroed. Records at or beyond
// `m_nBlockCount` keep whatever an earlier run left and must not be sent; WriteCommandFor
// refuses them.
struct BlockFrameSet {
  std::uint8_t m_nBlockCount = 0;
  std::array<BlockFrameRecord, MAX_DATA_BLOCKS> m_blockFrames{};
};

// What ComputeBlockFrames did: result is kResultOk or kResultOutOfRange, and
// blocksCalculated the number of blocks the code needs (also when it was refused, so the
// caller can build the message from it).
struct BlockFramesOutcome {
  int result = kResultOk;
  std::size_t blocksCalculated = 0;
};

// Number of 20-bit blocks for a code of `length` characters: ceil(8 * length / 20).
// Exact for every length, with no overflow and no rounding.
std::size_t BlocksNeeded(std::size_t length);

// Encodes `code` into `set`. The code may be any UTF-16 text: each code unit contributes
// its low 8 bits, so a surrogate, paired or not, counts as one character of its own.
// A code needing at most MAX_DATA_BLOCKS blocks (up to 15 characters) stores its
// count and records 0 .. count - 1 and returns kResultOk; the empty code stores a count
// of 0 and no record. A longer code, however long, returns kResultOutOfRange and leaves
// `set` exactly as it was.
[[nodiscard]] BlockFramesOutcome ComputeBlockFrames(BlockFrameSet& set, std::u16string_view code);

// Stores `n` as the block count. More than MAX_DATA_BLOCKS returns kResultOutOfRange and
// stores nothing. The count is taken at full width, so no large value can wrap into range.
[[nodiscard]] int SetBlockCount(BlockFrameSet& set, std::size_t n);

// Writes record `index` from the low 40 bits of `frame`. An index of MAX_DATA_BLOCKS or
// more returns kResultOutOfRange and stores nothing.
[[nodiscard]] int StoreBlockFrame(BlockFrameSet& set, std::size_t index, std::uint64_t frame);

// The 32-bit data word of a block carrying the bits of c and d and bits 7..4 of e, with
// row and column parity filled in. Bits 3..0 of e are not carried.
std::uint32_t BlockDataWord(std::uint8_t c, std::uint8_t d, std::uint8_t e);

// The 40-bit frame of a data word written to block `address` (its low 3 bits).
std::uint64_t MakeFrame(std::uint32_t dataWord, std::uint8_t address);

// The frame that sets a transponder's block count (3, 5 or 7) through block address 0:
// the count stands in data word bits 7..5. Any other count gives no frame. This block
// has a layout of its own and does not follow the row and column parity of data blocks.
inline constexpr std::uint32_t kBlocksSettingWordBase = 0x00042002;
inline constexpr unsigned kBlocksSettingCountShift = 5;
std::optional<std::uint64_t> BlocksSettingFrame(int blockCount);

// The 40-bit frame a record holds.
std::uint64_t FrameOfRecord(const BlockFrameRecord& record);

// The 12 bytes sent to the reader for a frame: "w", ten upper-case hexadecimal digits of
// the low 40 bits, carriage return.
std::string FrameCommandText(std::uint64_t frame);

// The command for record `index` of `set`, or nothing when `index` is not below
// `m_nBlockCount`, so a frame that was not computed from the current code is never sent.
std::optional<std::string> WriteCommandFor(const BlockFrameSet& set, std::size_t index);

// kBlockCountMessageFormat formatted with `blocksCalculated` (8-bit text; counts beyond
// the range of an int are shown as the largest int).
std::string BlockCountMessage(std::size_t blocksCalculated);

}  // namespace writetag
