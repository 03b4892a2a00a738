// The default sounds as the build leaves them beside the programs: the program finds a file
// for every event that has one, and each is a short, audible, click-free WAV of the one
// format every player accepts (16-bit PCM, mono, 22050 Hz).

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/EventSound.h"
#include "platform/Sound.h"

namespace {

namespace fs = std::filesystem;

constexpr int kEventsWithFile = 9;
constexpr uint32_t kRate = 22050;
constexpr double kShortest = 0.05;
constexpr double kLongest = 0.4;
// Loud enough to be heard, and not clipped.
constexpr int kQuietestPeak = 4000;
constexpr int kFullScale = 32767;
// A sound that starts or ends further from silence than this clicks.
constexpr int kClickLimit = kFullScale / 100;

// Records the calls of the event sounds instead of playing them.
class RecordingSound : public platform::ISound {
 public:
  bool PlaySoundFile(const std::string& path) override {
    files.push_back(path);
    return true;
  }
  bool MessageBeep(uint32_t type) override {
    beeps.push_back(type);
    return true;
  }
  std::vector<std::string> files;
  std::vector<uint32_t> beeps;
};

struct Wav {
  std::string error;  // empty when the file is a 16-bit PCM WAV
  uint16_t format = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t bits = 0;
  std::vector<int16_t> samples;

  double Seconds() const { return rate == 0 ? 0 : static_cast<double>(samples.size()) / rate; }
};

uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

uint16_t Le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// Reads a RIFF/WAVE file chunk by chunk, as a player does, so that a chunk out of place or
// a size that does not fit the file shows as an error.
Wav ReadWav(const std::string& path) {
  Wav wav;
  std::ifstream in(path, std::ios::binary);
  std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) {
    wav.error = "no RIFF/WAVE header";
    return wav;
  }
  if (Le32(b, 4) != b.size() - 8) {
    wav.error = "the RIFF size does not match the file";
    return wav;
  }
  bool haveFormat = false;
  size_t at = 12;
  while (at + 8 <= b.size()) {
    std::string id = b.substr(at, 4);
    uint32_t size = Le32(b, at + 4);
    size_t body = at + 8;
    if (size > b.size() - body) {
      wav.error = "chunk \"" + id + "\" runs past the end of the file";
      return wav;
    }
    if (id == "fmt " && size >= 16) {
      wav.format = Le16(b, body);
      wav.channels = Le16(b, body + 2);
      wav.rate = Le32(b, body + 4);
      uint32_t byteRate = Le32(b, body + 8);
      uint16_t blockAlign = Le16(b, body + 12);
      wav.bits = Le16(b, body + 14);
      if (blockAlign != wav.channels * wav.bits / 8 || byteRate != wav.rate * blockAlign) {
        wav.error = "the byte rate or block size does not fit the format";
        return wav;
      }
      haveFormat = true;
    } else if (id == "data") {
      if (!haveFormat || wav.bits != 16 || size % 2 != 0) {
        wav.error = "no 16-bit format before the samples";
        return wav;
      }
      for (size_t i = 0; i < size; i += 2) {
        wav.samples.push_back(static_cast<int16_t>(Le16(b, body + i)));
      }
      return wav;
    }
    at = body + size + size % 2;
  }
  wav.error = "no samples";
  return wav;
}

// The calls the event sounds make with the folder where the build put the files.
RecordingSound PlayEventsWithAFile() {
  RecordingSound sound;
  for (int event = 0; event < kEventsWithFile; ++event) {
    device::PlayEventSound(sound, PELMOR_APP_DIR, event);
  }
  return sound;
}

TEST(DefaultSoundFilesTest, EveryEventWithAFileFindsIt) {
  RecordingSound sound = PlayEventsWithAFile();
  EXPECT_TRUE(sound.beeps.empty()) << sound.beeps.size() << " events fell back to a beep";
  ASSERT_EQ(sound.files.size(), static_cast<size_t>(kEventsWithFile));
  for (const std::string& file : sound.files) {
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
  }
}

TEST(DefaultSoundFilesTest, EachIsAShortAudibleMonoPcmWav) {
  // Which files are there is the test above's business; these look at every one found.
  std::vector<std::string> files = PlayEventsWithAFile().files;
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    Wav wav = ReadWav(file);
    ASSERT_EQ(wav.error, "");
    EXPECT_EQ(wav.format, 1);  // PCM
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.rate, kRate);
    EXPECT_EQ(wav.bits, 16);
    EXPECT_GE(wav.Seconds(), kShortest);
    EXPECT_LE(wav.Seconds(), kLongest);

    int peak = 0;
    for (int16_t s : wav.samples) {
      peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    EXPECT_GE(peak, kQuietestPeak);
    EXPECT_LT(peak, kFullScale);
    ASSERT_FALSE(wav.samples.empty());
    EXPECT_LE(std::abs(wav.samples.front()), kClickLimit);
    EXPECT_LE(std::abs(wav.samples.back()), kClickLimit);
  }
}

TEST(DefaultSoundFilesTest, NoTwoEventsSoundAlike) {
  std::vector<std::string> files = PlayEventsWithAFile().files;
  ASSERT_FALSE(files.empty());
  std::map<std::vector<int16_t>, std::string> seen;
  for (const std::string& file : files) {
    auto [it, added] = seen.emplace(ReadWav(file).samples, file);
    EXPECT_TRUE(added) << file << " holds the same sound as " << it->second;
  }
}

}  // namespace
