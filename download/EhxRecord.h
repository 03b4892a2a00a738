#pragma once
// The record of a firmware file (*.EHX): 44 bytes of 8-bit text.
//
//   offset  0..39  content: 20 bytes as pairs of hexadecimal digits, high digit first,
//                  each byte stored scrambled with the record's key
//   offset 40      key digit S, one hexadecimal digit: the amount added before rotating
//   offset 41      key digit R, one hexadecimal digit: the rotation count
//   offset 42..43  the line end (CR LF from our tools); never examined, never sent
//
// A stored byte v decodes to ror8(v, R) - S (mod 256); rotating 8 times is no rotation, so
// R from 8 to 15 acts like R - 8. A digit that is no hexadecimal digit counts as 0. The first
// 42 bytes go to the reader unchanged; the program itself decodes only content bytes 1 and
// 2, to find the split record. Everything here is pure and bounds-checked: a record may hold
// any bytes, and a piece shorter than a record is never read beyond its end.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace download {

inline constexpr size_t kRecordSize = 44;
// The part of a record that is sent to the reader: content and key.
inline constexpr size_t kRecordSentSize = 42;
inline constexpr size_t kContentBytes = 20;
inline constexpr size_t kKeySOffset = 40;
inline constexpr size_t kKeyROffset = 41;
// The decoded content bytes 1 and 2 of the split record, where the image's second part starts.
inline constexpr uint8_t kSplitByte1 = 0x10;
inline constexpr uint8_t kSplitByte2 = 0x00;

struct RecordKey {
  uint8_t s = 0;  // 0..15
  uint8_t r = 0;  // 0..15
};

// '0'..'9', 'a'..'f', 'A'..'F' give 0..15; any other byte gives 0.
uint8_t HexDigitValue(uint8_t c);

// Rotations within 8 bits; counts of 8 or more wrap.
uint8_t RotateRight8(uint8_t v, unsigned count);
uint8_t RotateLeft8(uint8_t v, unsigned count);

// One content byte: stored -> plain and plain -> stored. Only the low four bits of the key
// digits count, as only one digit is stored.
uint8_t DecodeContentByte(uint8_t stored, RecordKey key);
uint8_t EncodeContentByte(uint8_t plain, RecordKey key);

// The key of a record from its digits at offsets 40 and 41; a digit beyond the end of a
// short piece counts as 0.
RecordKey KeyOf(std::span<const uint8_t> record);

// Writes a full record: 20 plain content bytes scrambled with key, as upper-case digits,
// the two key digits, then CR LF.
std::array<uint8_t, kRecordSize> EncodeRecord(std::span<const uint8_t, kContentBytes> content, RecordKey key);

// The 20 plain content bytes of a record, with the digit rule above. A piece shorter than
// 42 bytes decodes as if its missing characters were '0'.
std::array<uint8_t, kContentBytes> DecodeRecord(std::span<const uint8_t> record);

// The split test: decoded content byte 1 is 0x10 and byte 2 is 0x00. Reads offsets 2 to 5,
// 40 and 41 only; false for a piece shorter than 42 bytes.
bool IsSplitRecord(std::span<const uint8_t> record);

// True when the 42 bytes sent of a record hold no control character (0x00..0x1F, 0x7F).
// A carriage return or line feed inside the sent part would end the reader's line in the
// middle of the frame, and what followed it would reach the reader as a command of its own;
// a file whose records are shifted (other line ends than two bytes) shows the same way.
// False for a piece shorter than 42 bytes.
bool IsSendableRecord(std::span<const uint8_t> record);
// The offset of the first control character among the bytes sent of a record (the first
// 42, or fewer in a shorter piece), so that a refused record can be reported by what is
// wrong with it; nothing when there is none.
std::optional<size_t> FirstControlCharacter(std::span<const uint8_t> record);

}  // namespace download
