// The EHX record: digits, the key, the split test, the encoder the tools use, and the maker.

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "download/EhxMaker.h"
#include "download/EhxRecord.h"

namespace download {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A 44-byte record: content digits, then the key digits, then CR LF.
std::vector<uint8_t> Record(std::string content40, char s, char r) {
  content40.resize(40, '0');
  return Bytes(content40 + s + r + "\r\n");
}

TEST(EhxRecord, HexDigitValues) {
  const struct {
    uint8_t c;
    uint8_t value;
  } cases[] = {
      {'0', 0},
      {'9', 9},
      {'a', 10},
      {'f', 15},
      {'A', 10},
      {'F', 15},
      // Neighbours of the digit ranges and bytes beyond ASCII count as 0.
      {'/', 0},
      {':', 0},
      {'@', 0},
      {'G', 0},
      {'`', 0},
      {'g', 0},
      {' ', 0},
      {0x00, 0},
      {0xB0, 0},
      {0xC1, 0},
      {0xE6, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(HexDigitValue(c.c), c.value) << int(c.c);
}

TEST(EhxRecord, DecodingRotatesRightThenSubtracts) {
  const struct {
    uint8_t stored;
    RecordKey key;
    uint8_t plain;
  } cases[] = {
      {0x01, {0, 1}, 0x80},                         // bit 0 moves to bit 7
      {0x80, {0, 7}, 0x01},  {0x00, {1, 0}, 0xFF},  // the subtraction wraps
      {0x12, {2, 4}, 0x1F},                         // 0x21 - 2
      {0x34, {0, 0}, 0x34},                         // key 0 0: stored plain
      {0x34, {0, 8}, 0x34},                         // eight rotations are none
      {0x03, {15, 9}, 0x72},                        // R 9 acts as R 1: 0x81 - 15
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeContentByte(c.stored, c.key), c.plain)
        << int(c.stored) << " S" << int(c.key.s) << " R" << int(c.key.r);
  }
}

TEST(EhxRecord, EncodingIsTheInverseForEveryKey) {
  for (unsigned s = 0; s < 16; ++s) {
    for (unsigned r = 0; r < 16; ++r) {
      const RecordKey key{static_cast<uint8_t>(s), static_cast<uint8_t>(r)};
      for (unsigned v = 0; v < 256; ++v) {
        const auto plain = static_cast<uint8_t>(v);
        ASSERT_EQ(DecodeContentByte(EncodeContentByte(plain, key), key), plain) << s << " " << r << " " << v;
      }
    }
  }
}

TEST(EhxRecord, RotationCountsFromEightActLikeEightLess) {
  for (uint8_t r = 8; r < 16; ++r) {
    for (unsigned v = 0; v < 256; ++v) {
      ASSERT_EQ(DecodeContentByte(static_cast<uint8_t>(v), {5, r}),
                DecodeContentByte(static_cast<uint8_t>(v), {5, static_cast<uint8_t>(r - 8)}));
    }
  }
  // A split record keyed with R 1 stays one with the key digit 9, and with neither else.
  const auto content = EncodeRecord(std::array<uint8_t, kContentBytes>{0x00, 0x10, 0x00}, {3, 1});
  std::vector<uint8_t> record(content.begin(), content.end());
  EXPECT_TRUE(IsSplitRecord(record));
  record[kKeyROffset] = '9';
  EXPECT_TRUE(IsSplitRecord(record));
  record[kKeyROffset] = '2';
  EXPECT_FALSE(IsSplitRecord(record));
}

TEST(EhxRecord, SplitTest) {
  const struct {
    const char* what;
    std::vector<uint8_t> record;
    bool split;
  } cases[] = {
      {"plain 10 00 with key 0 0", Record("AA1000", '0', '0'), true},
      {"byte 2 is not 00", Record("AA1001", '0', '0'), false},
      {"byte 1 is not 10", Record("AA1100", '0', '0'), false},
      {"10 00 at bytes 0 and 1", Record("1000AA", '0', '0'), false},
      {"key digits that are no digits count as 0", Record("AA1000", 'G', 'z'), true},
      {"S 1: stored 11 01", Record("001101", '1', '0'), true},
      {"S 1 R 1: stored 22 02", Record("002202", '1', '1'), true},
      {"lower-case digits", Record("ff2202", '1', '1'), true},
      {"non-digits in the content count as 0", Record("..1G0Z", '0', '0'), true},
      {"a non-digit as the high digit of byte 1", Record("..G000", '0', '0'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSplitRecord(c.record), c.split) << c.what;

  // A piece without its key is no record; a record without its line end still is one.
  const auto full = Record("AA1000", '0', '0');
  EXPECT_TRUE(IsSplitRecord(std::span<const uint8_t>(full).first(kRecordSentSize)));
  EXPECT_FALSE(IsSplitRecord(std::span<const uint8_t>(full).first(kRecordSentSize - 1)));
  EXPECT_FALSE(IsSplitRecord({}));
}

TEST(EhxRecord, EncodedLayout) {
  std::array<uint8_t, kContentBytes> content{};
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(0xA0 + i);
  const auto record = EncodeRecord(content, {0, 0});
  const std::string text(record.begin(), record.end());
  EXPECT_EQ(text,
            "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3"
            "00\r\n");
  const auto keyed = EncodeRecord(content, {0xB, 0xE});
  EXPECT_EQ(keyed[kKeySOffset], 'B');
  EXPECT_EQ(keyed[kKeyROffset], 'E');
  EXPECT_EQ(DecodeRecord(keyed), content);
  EXPECT_EQ(KeyOf(keyed).s, 0xB);
  EXPECT_EQ(KeyOf(keyed).r, 0xE);
}

TEST(EhxRecord, OnlyTextRecordsAreSent) {
  auto record = Record("AA1000", '0', '0');
  EXPECT_TRUE(IsSendableRecord(record));
  record[5] = 0xE9;  // 8-bit text passes
  EXPECT_TRUE(IsSendableRecord(record));
  for (uint8_t bad : {uint8_t{'\r'}, uint8_t{'\n'}, uint8_t{0}, uint8_t{0x1F}, uint8_t{0x7F}}) {
    for (size_t at : {size_t{0}, size_t{20}, kKeyROffset}) {
      auto copy = record;
      copy[at] = bad;
      EXPECT_FALSE(IsSendableRecord(copy)) << int(bad) << " at " << at;
      EXPECT_EQ(FirstControlCharacter(copy), at) << int(bad);
      copy[kKeyROffset] = '\n';  // the first one is named, not the last
      EXPECT_EQ(FirstControlCharacter(copy), at) << int(bad);
    }
  }
  // The line end itself is not sent and may be anything.
  record[kRecordSentSize] = 0;
  EXPECT_TRUE(IsSendableRecord(record));
  EXPECT_EQ(FirstControlCharacter(record), std::nullopt);
  EXPECT_FALSE(IsSendableRecord(std::span<const uint8_t>(record).first(kRecordSentSize - 1)));
  // A short piece is looked at as far as it goes.
  record[3] = '\t';
  EXPECT_EQ(FirstControlCharacter(std::span<const uint8_t>(record).first(4)), 3u);
  EXPECT_EQ(FirstControlCharacter(std::span<const uint8_t>(record).first(3)), std::nullopt);
}

// ---------------------------------------------------------------------------------------
// The maker

std::vector<uint8_t> Image(size_t bytes) {
  std::vector<uint8_t> image(bytes);
  for (size_t i = 0; i < bytes; ++i) image[i] = static_cast<uint8_t>(0x21 + i * 7);
  return image;
}

std::vector<std::array<uint8_t, kContentBytes>> Decoded(const std::vector<uint8_t>& file) {
  std::vector<std::array<uint8_t, kContentBytes>> records;
  for (size_t at = 0; at + kRecordSize <= file.size(); at += kRecordSize)
    records.push_back(DecodeRecord(std::span<const uint8_t>(file).subspan(at, kRecordSize)));
  return records;
}

TEST(EhxMaker, RecordsHoldTheImageAndTheSplitMarksOneRecord) {
  const auto image = Image(95);  // four full records and a piece of 15 bytes
  EhxMakeOptions options;
  options.keys = EhxMakeOptions::Keys::Random;
  options.seed = 42;
  options.splitRecord = 2;
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(MakeEhx(image, options, file, error)) << error;
  ASSERT_EQ(file.size(), 5 * kRecordSize);
  const auto records = Decoded(file);
  std::set<std::pair<int, int>> keys;
  for (size_t r = 0; r < records.size(); ++r) {
    const auto record = std::span<const uint8_t>(file).subspan(r * kRecordSize, kRecordSize);
    EXPECT_EQ(record[42], '\r');
    EXPECT_EQ(record[43], '\n');
    EXPECT_TRUE(IsSendableRecord(record));
    EXPECT_EQ(IsSplitRecord(record), r == 2) << r;
    keys.insert({KeyOf(record).s, KeyOf(record).r});
    for (size_t k = 0; k < kContentBytes; ++k) {
      const size_t at = r * kContentBytes + k;
      uint8_t expected = at < image.size() ? image[at] : kPadByte;
      if (r == 2 && k == 1) expected = kSplitByte1;
      if (r == 2 && k == 2) expected = kSplitByte2;
      EXPECT_EQ(records[r][k], expected) << r << ":" << k;
    }
  }
  EXPECT_GT(keys.size(), 1u);  // the keys differ from record to record

  // The same seed gives the same file; another seed another one.
  std::vector<uint8_t> again;
  ASSERT_TRUE(MakeEhx(image, options, again, error));
  EXPECT_EQ(again, file);
  options.seed = 43;
  ASSERT_TRUE(MakeEhx(image, options, again, error));
  EXPECT_NE(again, file);
}

TEST(EhxMaker, RefusesWhatTheLoaderWouldSplitElsewhere) {
  auto image = Image(100);
  image[20 * 1 + 1] = 0x10;  // record 1 reads as a split record by chance
  image[20 * 1 + 2] = 0x00;
  std::vector<uint8_t> file;
  std::string error;
  EhxMakeOptions options;
  options.splitRecord = 3;
  EXPECT_FALSE(MakeEhx(image, options, file, error));
  EXPECT_NE(error.find("record 1"), std::string::npos) << error;
  // Split there or before it: record 1 is the split record or belongs to the second part.
  for (size_t split : {size_t{0}, size_t{1}}) {
    options.splitRecord = split;
    EXPECT_TRUE(MakeEhx(image, options, file, error)) << split;
  }
  options.splitRecord.reset();
  EXPECT_FALSE(MakeEhx(image, options, file, error));
  options.splitRecord = 5;  // the image has records 0 to 4
  EXPECT_FALSE(MakeEhx(image, options, file, error));
  EXPECT_NE(error.find("beyond"), std::string::npos) << error;
  // An empty image makes an empty file, and has no record to split at.
  options.splitRecord.reset();
  EXPECT_TRUE(MakeEhx({}, options, file, error));
  EXPECT_TRUE(file.empty());
  options.splitRecord = 0;
  EXPECT_FALSE(MakeEhx({}, options, file, error));
}

}  // namespace
}  // namespace download
