#pragma once
// Reads block write frames back: from the command text a reader receives to the block
// address, the data word and whether its parity holds, and from the data words of a
// transponder's data blocks back to the code they carry. The reader emulator stores
// written blocks and reports them as a tag code through these; the layout is the one
// BlockFrames.h writes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace writetag {

struct DecodedFrame {
  std::uint8_t address = 0;     // frame bits 2..0
  std::uint32_t dataWord = 0;   // frame bits 34..3
  bool headerOk = false;        // frame bits 39..35 read 0 0 1 0 0
  bool rowParityOk = false;     // each of the eight rows holds an odd number of ones
  bool columnParityOk = false;  // row 7 gives each data column an odd number of ones

  bool ParityOk() const { return rowParityOk && columnParityOk; }
};

// Splits a 40-bit frame into its fields and checks them.
DecodedFrame DecodeFrame(std::uint64_t frame);

// The frame of a write command: "w", exactly ten hexadecimal digits (either case), and
// an optional carriage return at the end. Any other text gives nothing.
std::optional<std::uint64_t> ParseFrameText(std::string_view text);

// ParseFrameText, then DecodeFrame.
std::optional<DecodedFrame> DecodeFrameText(std::string_view text);

// True for a frame a code write produces: the header, an address of 2 to 7, sound row
// and column parity, and a 0 as the first data bit of row 0.
bool IsDataBlockFrame(const DecodedFrame& frame);

// The 20 code bits a data word carries (the data bits of rows 0 to 6 after the leading
// 0), the first code bit in bit 19.
std::uint32_t BlockPayload(std::uint32_t dataWord);

// For a blocks setting frame (header, address 0, and every data bit other than bits 7..5
// as that command sets them), the block count standing in bits 7..5. Nothing otherwise.
std::optional<int> BlocksSettingCount(const DecodedFrame& frame);

// The code carried by the data words of consecutive data blocks, the first word from
// block address 2: the payloads joined into whole bytes, with the zero bytes that pad a
// code to its blocks taken off the end. A code that itself ends in characters whose low
// 8 bits are 0 therefore reads back without them.
std::string CodeFromBlockWords(std::span<const std::uint32_t> dataWords);

}  // namespace writetag
