// pelmor-ehx: makes a firmware file (*.EHX) from a binary image, for trying the Download
// Firmware dialog against the reader emulator or a reader, and for tests.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/EhxMaker.h"
#include "download/EhxRecord.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Reader firmware is a few hundred kilobytes at most; anything far larger is a wrong file.
constexpr size_t kMaxImageBytes = 64u * 1024u * 1024u;
constexpr size_t kReadChunk = 64 * 1024;

constexpr std::string_view kUsage =
    "usage: pelmor-ehx [--key SR | --seed N] (--split N | --no-split) IMAGE OUTPUT\n"
    "Makes a firmware file (*.EHX) from the binary IMAGE.\n"
    "The image is cut into records of 20 content bytes; a last shorter piece is filled\n"
    "with FF. Each record of OUTPUT is 44 bytes: the 20 bytes as 40 hexadecimal digits,\n"
    "each byte scrambled with the record's key (add S, then rotate left R times within\n"
    "8 bits), the key digits S and R, and CR LF.\n"
    "  --key SR     the same key for every record: two hexadecimal digits, S then R\n"
    "               (default 00: the content stays readable)\n"
    "  --seed N     a pseudo-random key for every record, from the seed N (0..4294967295)\n"
    "  --split N    record N (counted from 0) begins the image's second part: its content\n"
    "               bytes 1 and 2 are set to 10 00, which marks it (the image's two bytes\n"
    "               there are replaced). Refused when an earlier record already has 10 00\n"
    "               there, since the loader would split at that one.\n"
    "  --no-split   no record marks a second part (the loader refuses such a file);\n"
    "               refused when a record has 10 00 there by chance\n"
    "  --help       this text\n"
    "Exit status: 0 done, 1 the image cannot be read or made or OUTPUT cannot be written,\n"
    "2 a bad command line.\n";

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void Complain(const std::string& text) { std::fprintf(stderr, "pelmor-ehx: %s\n", text.c_str()); }

int UsageError(const std::string& text) {
  Complain(text);
  std::fputs("Try 'pelmor-ehx --help'.\n", stderr);
  return kExitUsage;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool ReadImage(const std::string& path, std::vector<uint8_t>& image) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  std::vector<uint8_t> chunk(kReadChunk);
  for (;;) {
    const size_t n = std::fread(chunk.data(), 1, chunk.size(), f.get());
    image.insert(image.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (image.size() > kMaxImageBytes) return false;
    if (n < chunk.size()) return std::ferror(f.get()) == 0;
  }
}

bool WriteOutput(const std::string& path, const std::vector<uint8_t>& bytes) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return false;
  return std::fclose(f.release()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  download::EhxMakeOptions options;
  bool keyGiven = false;
  bool seedGiven = false;
  bool noSplit = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      return kExitOk;
    } else if (arg == "--key") {
      if (!hasValue) return UsageError("--key needs two hexadecimal digits");
      const std::string_view key = argv[++i];
      if (key.size() != 2 || !IsHexDigit(key[0]) || !IsHexDigit(key[1]))
        return UsageError("--key needs two hexadecimal digits, not '" + std::string(key) + "'");
      options.key = {download::HexDigitValue(static_cast<uint8_t>(key[0])),
                     download::HexDigitValue(static_cast<uint8_t>(key[1]))};
      keyGiven = true;
    } else if (arg == "--seed") {
      const auto seed = hasValue ? ParseNumber<uint32_t>(argv[i + 1]) : std::nullopt;
      if (!seed) return UsageError("--seed needs a number from 0 to 4294967295");
      ++i;
      options.keys = download::EhxMakeOptions::Keys::Random;
      options.seed = *seed;
      seedGiven = true;
    } else if (arg == "--split") {
      const auto split = hasValue ? ParseNumber<size_t>(argv[i + 1]) : std::nullopt;
      if (!split) return UsageError("--split needs a record number");
      ++i;
      options.splitRecord = *split;
    } else if (arg == "--no-split") {
      noSplit = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option '" + std::string(arg) + "'");
    } else {
      files.emplace_back(arg);
    }
  }
  if (keyGiven && seedGiven) return UsageError("--key and --seed exclude each other");
  if (options.splitRecord.has_value() == noSplit) return UsageError("give either --split N or --no-split");
  if (files.size() != 2) return UsageError("give the image and the output file");

  std::vector<uint8_t> image;
  if (!ReadImage(files[0], image)) {
    Complain("cannot read the image '" + files[0] + "' (or it is larger than 64 MiB)");
    return kExitFailure;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!download::MakeEhx(image, options, bytes, error)) {
    Complain(error);
    return kExitFailure;
  }
  if (!WriteOutput(files[1], bytes)) {
    Complain("cannot write '" + files[1] + "'");
    return kExitFailure;
  }
  std::printf("%zu records, %zu bytes\n", bytes.size() / download::kRecordSize, bytes.size());
  return kExitOk;
}
