// Firmware files with arbitrary contents, read record by record as a download reads them
// (EhxFile, DecideRecord, IsSplitRecord, RecordFrame), and the record functions on pieces of
// every length. Reading ends after at most one read per record; a record put back after the
// split test reads the same again; and decoding a record and encoding it again with its own
// key gives the record's digits in their canonical form.

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <span>
#include <string>

#include "download/DownloadStates.h"
#include "download/EhxFile.h"
#include "download/EhxRecord.h"
#include "tests/app/Rig.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzzing::Check;

using namespace download;

void CheckRecord(std::span<const uint8_t> piece) {
  const bool full = piece.size() >= kRecordSentSize;
  if (!full) {
    Check(!IsSplitRecord(piece), "short piece is no split record");
    Check(!IsSendableRecord(piece), "short piece is not sent");
    Check(RecordFrame(piece).empty(), "short piece has no frame");
  }
  const auto content = DecodeRecord(piece);
  if (!full) return;
  Check(RecordFrame(piece).size() == kRecordSentSize + 2, "frame size");
  static const char* hex = "0123456789ABCDEF";
  const auto again = EncodeRecord(content, KeyOf(piece));
  for (size_t i = 0; i < kRecordSentSize; ++i)
    Check(again[i] == static_cast<uint8_t>(hex[HexDigitValue(piece[i])]), "decode and encode again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzing::ScratchDir dir;
  const std::filesystem::path path = dir.Path() / "F.EHX";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  const std::span<const uint8_t> bytes(data, size);
  for (size_t n = 0; n <= std::min(size, kRecordSize); ++n) CheckRecord(bytes.first(n));

  EhxFile file;
  Check(file.Open(path), "file opens");
  Check(file.Length() == size, "length");
  for (ImagePart part : {ImagePart::First, ImagePart::Second}) {
    Check(file.Seek(0), "rewind");
    size_t reads = 0;
    for (;;) {
      Check(++reads <= size / kRecordSize + 1, "reading ends");
      std::array<uint8_t, kRecordSize> buffer{};
      const uint64_t at = file.Position();
      const size_t got = file.Read(buffer);
      const std::span<const uint8_t> record(buffer.data(), got);
      CheckRecord(record);
      const RecordAction action = DecideRecord(part, record);
      if (action == RecordAction::SplitFound) {
        Check(file.Seek(at), "put back");
        std::array<uint8_t, kRecordSize> again{};
        Check(file.Read(again) == got && again == buffer, "read again the same");
        break;
      }
      if (action != RecordAction::Send) break;
    }
  }
  return 0;
}
