#pragma once
// Making firmware files from a binary image: the inverse of reading them. Used by the
// pelmor-ehx tool and by the tests, which need files with known content and keys.
//
// The image is cut into records of 20 content bytes; a last shorter piece is filled up with
// kPadByte. Every record is written with EncodeRecord (key digits, CR LF). One record may be
// made the split record, where the image's second part begins: its content bytes 1 and 2
// are set to 0x10 and 0x00, replacing the image's bytes there. Since the loader takes the
// first record that reads so as the split, the maker refuses an image in which an earlier
// record (or, without a split, any record) already reads as one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "download/EhxRecord.h"

namespace download {

inline constexpr uint8_t kPadByte = 0xFF;

struct EhxMakeOptions {
  enum class Keys { Fixed, Random };
  Keys keys = Keys::Fixed;
  RecordKey key;      // Keys::Fixed: every record's key
  uint32_t seed = 0;  // Keys::Random: seed of the per-record keys (std::mt19937)
  // The index of the split record; none: no record marks a second part.
  std::optional<size_t> splitRecord;
};

// The record count of an image of this many bytes.
size_t RecordCountFor(size_t imageBytes);

// The file bytes for an image. False with a reason in error when the split record lies
// beyond the image or another record would be taken for the split.
bool MakeEhx(std::span<const uint8_t> image, const EhxMakeOptions& options, std::vector<uint8_t>& file,
             std::string& error);

}  // namespace download
