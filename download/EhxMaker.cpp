#include "download/EhxMaker.h"

#include <algorithm>
#include <array>
#include <random>

namespace download {
namespace {

constexpr uint32_t kDigitMask = 0x0F;
constexpr unsigned kRBitsShift = 4;
constexpr size_t kSplitByte1Index = 1;
constexpr size_t kSplitByte2Index = 2;

bool ReadsAsSplit(const std::array<uint8_t, kContentBytes>& content) {
  return content[kSplitByte1Index] == kSplitByte1 && content[kSplitByte2Index] == kSplitByte2;
}

}  // namespace

size_t RecordCountFor(size_t imageBytes) { return (imageBytes + kContentBytes - 1) / kContentBytes; }

bool MakeEhx(std::span<const uint8_t> image, const EhxMakeOptions& options, std::vector<uint8_t>& file,
             std::string& error) {
  file.clear();
  const size_t records = RecordCountFor(image.size());
  if (options.splitRecord && *options.splitRecord >= records) {
    error = "the split record " + std::to_string(*options.splitRecord) + " lies beyond the image's " +
            std::to_string(records) + " records";
    return false;
  }
  std::mt19937 keys(options.seed);
  file.reserve(records * kRecordSize);
  for (size_t i = 0; i < records; ++i) {
    std::array<uint8_t, kContentBytes> content{};
    content.fill(kPadByte);
    const size_t start = i * kContentBytes;
    const size_t count = std::min(kContentBytes, image.size() - start);
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(start), count, content.begin());
    const bool isSplit = options.splitRecord && *options.splitRecord == i;
    const bool beforeSplit = !options.splitRecord || i < *options.splitRecord;
    if (isSplit) {
      content[kSplitByte1Index] = kSplitByte1;
      content[kSplitByte2Index] = kSplitByte2;
    } else if (beforeSplit && ReadsAsSplit(content)) {
      error = "record " + std::to_string(i) + " already reads as a split record (content bytes 1 and 2 are 10 00)";
      return false;
    }
    RecordKey key = options.key;
    if (options.keys == EhxMakeOptions::Keys::Random) {
      const uint32_t bits = keys();
      key = {static_cast<uint8_t>(bits & kDigitMask), static_cast<uint8_t>((bits >> kRBitsShift) & kDigitMask)};
    }
    const auto record = EncodeRecord(content, key);
    file.insert(file.end(), record.begin(), record.end());
  }
  return true;
}

}  // namespace download
