#include "download/EhxRecord.h"

namespace download {
namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr unsigned kBitsPerByte = 8;
constexpr uint8_t kDigitMask = 0x0F;
constexpr uint8_t kCarriageReturn = 0x0D;
constexpr uint8_t kLineFeed = 0x0A;
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kDelete = 0x7F;

uint8_t PairValue(std::span<const uint8_t> record, size_t pair) {
  const size_t high = 2 * pair;
  const uint8_t hi = high < record.size() ? HexDigitValue(record[high]) : 0;
  const uint8_t lo = high + 1 < record.size() ? HexDigitValue(record[high + 1]) : 0;
  return static_cast<uint8_t>(hi * 16 + lo);
}

}  // namespace

uint8_t HexDigitValue(uint8_t c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0;
}

uint8_t RotateRight8(uint8_t v, unsigned count) {
  const unsigned n = count % kBitsPerByte;
  if (n == 0) return v;
  return static_cast<uint8_t>((v >> n) | (v << (kBitsPerByte - n)));
}

uint8_t RotateLeft8(uint8_t v, unsigned count) {
  const unsigned n = count % kBitsPerByte;
  if (n == 0) return v;
  return static_cast<uint8_t>((v << n) | (v >> (kBitsPerByte - n)));
}

uint8_t DecodeContentByte(uint8_t stored, RecordKey key) {
  const uint8_t rotated = RotateRight8(stored, key.r & kDigitMask);
  return static_cast<uint8_t>(rotated - (key.s & kDigitMask));
}

uint8_t EncodeContentByte(uint8_t plain, RecordKey key) {
  const uint8_t added = static_cast<uint8_t>(plain + (key.s & kDigitMask));
  return RotateLeft8(added, key.r & kDigitMask);
}

RecordKey KeyOf(std::span<const uint8_t> record) {
  RecordKey key;
  if (kKeySOffset < record.size()) key.s = HexDigitValue(record[kKeySOffset]);
  if (kKeyROffset < record.size()) key.r = HexDigitValue(record[kKeyROffset]);
  return key;
}

std::array<uint8_t, kRecordSize> EncodeRecord(std::span<const uint8_t, kContentBytes> content, RecordKey key) {
  std::array<uint8_t, kRecordSize> record{};
  for (size_t k = 0; k < kContentBytes; ++k) {
    const uint8_t stored = EncodeContentByte(content[k], key);
    record[2 * k] = static_cast<uint8_t>(kUpperHex[stored >> 4]);
    record[2 * k + 1] = static_cast<uint8_t>(kUpperHex[stored & kDigitMask]);
  }
  record[kKeySOffset] = static_cast<uint8_t>(kUpperHex[key.s & kDigitMask]);
  record[kKeyROffset] = static_cast<uint8_t>(kUpperHex[key.r & kDigitMask]);
  record[kRecordSentSize] = kCarriageReturn;
  record[kRecordSentSize + 1] = kLineFeed;
  return record;
}

std::array<uint8_t, kContentBytes> DecodeRecord(std::span<const uint8_t> record) {
  const RecordKey key = KeyOf(record);
  std::array<uint8_t, kContentBytes> content{};
  for (size_t k = 0; k < kContentBytes; ++k) content[k] = DecodeContentByte(PairValue(record, k), key);
  return content;
}

bool IsSplitRecord(std::span<const uint8_t> record) {
  if (record.size() < kRecordSentSize) return false;
  const RecordKey key = KeyOf(record);
  return DecodeContentByte(PairValue(record, 1), key) == kSplitByte1 &&
         DecodeContentByte(PairValue(record, 2), key) == kSplitByte2;
}

bool IsSendableRecord(std::span<const uint8_t> record) {
  return record.size() >= kRecordSentSize && !FirstControlCharacter(record);
}

std::optional<size_t> FirstControlCharacter(std::span<const uint8_t> record) {
  const size_t sent = record.size() < kRecordSentSize ? record.size() : kRecordSentSize;
  for (size_t i = 0; i < sent; ++i) {
    if (record[i] < kFirstPrintable || record[i] == kDelete) return i;
  }
  return std::nullopt;
}

}  // namespace download
