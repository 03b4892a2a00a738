// The sound service over libcanberra's ALSA driver, with an ALSA configuration of the
// test's choosing so that the results do not depend on the machine: no device at all (as on
// a machine without sound card, where ALSA reports every failure on standard error), or the
// null device, where every sound plays into nothing. libcanberra and ALSA read the
// environment when the service opens its context, so each test sets it before the service
// makes its first call.

#include "platform/linux/CanberraSound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

// A call must never hold up the user interface. The first call also loads and opens
// libcanberra's driver; both bounds leave room for sanitizers on a busy machine and are
// still below a call that waits for its sound: TagFound.wav lasts 0.38 s.
constexpr milliseconds kFirstCallLimit{200};
constexpr milliseconds kRepeatLimit{2000};
constexpr int kRepeatCount = 100;
// How long a call on a path that could block is given before the test counts it as hung.
constexpr milliseconds kHangLimit{2000};
// Services that go away while their sound still plays: enough of them, with a pause after
// each in which nothing loads libcanberra's driver again, to catch a playback thread that
// outlives its driver's code.
constexpr int kShortLivedServices = 50;
constexpr milliseconds kPauseAfterService{10};

constexpr uint32_t kBeepTypes[] = {0, 0x10, 0x20, 0x30, 0x40, 0xFFFFFFFFu};

const std::string kSoundDir = PELMOR_SOUND_SOURCE_DIR;
const std::string kTagFound = kSoundDir + "/TagFound.wav";

milliseconds Since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); }

// Standard error goes into a temporary file while the object lives. A file, unlike a pipe,
// never makes a writer wait, however much is printed.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_ = ::dup(STDERR_FILENO);
    if (file_ != nullptr && saved_ >= 0) {
      ::dup2(::fileno(file_), STDERR_FILENO);
    }
  }
  ~StderrCapture() {
    Restore();
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Ends the capture and gives everything written to standard error meanwhile.
  std::string Text() {
    Restore();
    std::string text;
    if (file_ == nullptr) {
      return "(standard error could not be captured)";
    }
    int fd = ::fileno(file_);
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

 private:
  void Restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }

  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

// Sets an environment variable for the life of the object and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A folder of the test's own, removed at the end.
struct TempDir {
  fs::path path;
  TempDir() {
    char pattern[] = "/tmp/pelmor-sound-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) {
      path = pattern;
    }
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// libcanberra's ALSA driver over an ALSA configuration written by the test.
class SoundTest : public ::testing::Test {
 protected:
  explicit SoundTest(const std::string& alsaConfig, const std::string& driver = "alsa")
      : config_(WriteConfig(alsaConfig)),
        driver_("CANBERRA_DRIVER", driver),
        alsa_("ALSA_CONFIG_PATH", config_.string()) {}

  fs::path WriteConfig(const std::string& text) {
    fs::path file = dir_.path / "asound.conf";
    std::ofstream(file) << text;
    return file;
  }

  TempDir dir_;
  fs::path config_;
  ScopedEnv driver_;
  ScopedEnv alsa_;
  CanberraSound sound_;
};

// An empty configuration knows no device, so every sound fails the way it does on a
// machine without sound card, with ALSA's complaints about the missing default device.
class NoAudioDeviceTest : public SoundTest {
 protected:
  NoAudioDeviceTest() : SoundTest("") {}
};

class NullAudioDeviceTest : public SoundTest {
 protected:
  NullAudioDeviceTest() : SoundTest("pcm.!default { type null }\n") {}
};

// A driver name that libcanberra does not know: the context cannot be opened at all.
class NoSoundDriverTest : public SoundTest {
 protected:
  NoSoundDriverTest() : SoundTest("pcm.!default { type null }\n", "no-such-driver") {}
};

TEST(BeepSoundIdTest, TheSixBeepTypesSoundDifferent) {
  std::set<std::string> ids;
  for (uint32_t type : kBeepTypes) {
    ids.insert(BeepSoundId(type));
  }
  EXPECT_EQ(ids.size(), std::size(kBeepTypes));
}

TEST(BeepSoundIdTest, UnknownTypesSoundLikeTheDefault) {
  for (uint32_t type : {1u, 0x11u, 0x50u, 0xFFFFFFFEu}) {
    EXPECT_STREQ(BeepSoundId(type), BeepSoundId(0)) << "type " << type;
  }
}

TEST_F(NoAudioDeviceTest, SoundsFailPromptlyAndPrintNothing) {
  StderrCapture capture;
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(sound_.PlaySoundFile(kTagFound));
  milliseconds first = Since(start);
  for (uint32_t type : kBeepTypes) {
    EXPECT_FALSE(sound_.MessageBeep(type)) << "type " << type;
  }
  EXPECT_EQ(capture.Text(), "");
  EXPECT_LT(first, kFirstCallLimit);
}

TEST_F(NoAudioDeviceTest, RepeatedSoundsStayFast) {
  StderrCapture capture;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kRepeatCount; ++i) {
    sound_.PlaySoundFile(kTagFound);
    sound_.MessageBeep(kBeepTypes[i % std::size(kBeepTypes)]);
  }
  EXPECT_LT(Since(start), kRepeatLimit);
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(NullAudioDeviceTest, AWavFilePlaysAndTheCallReturnsAtOnce) {
  StderrCapture capture;
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(sound_.PlaySoundFile(kTagFound));
  EXPECT_LT(Since(start), kFirstCallLimit);
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(NullAudioDeviceTest, PathsThatAreNoSoundFilePlayNothingQuietly) {
  fs::path noSound = dir_.path / "NotASound.wav";
  std::ofstream(noSound) << "not a sound";

  StderrCapture capture;
  EXPECT_FALSE(sound_.PlaySoundFile(kSoundDir + "/NoSuchSound.wav"));
  EXPECT_FALSE(sound_.PlaySoundFile(kSoundDir));
  EXPECT_FALSE(sound_.PlaySoundFile(kSoundDir + "/"));
  EXPECT_FALSE(sound_.PlaySoundFile(""));
  EXPECT_FALSE(sound_.PlaySoundFile(noSound.string()));
  // None of them leaves the service unable to play the next sound.
  EXPECT_TRUE(sound_.PlaySoundFile(kTagFound));
  EXPECT_EQ(capture.Text(), "");
}

// Opening a named pipe waits for a writer, so a player that opened one would hang the user
// interface until someone writes into it.
TEST_F(NullAudioDeviceTest, ANamedPipeIsRefusedWithoutOpeningIt) {
  fs::path fifo = dir_.path / "Pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  std::future<bool> played = std::async(std::launch::async, [&] { return sound_.PlaySoundFile(fifo.string()); });
  bool returned = played.wait_for(kHangLimit) == std::future_status::ready;
  if (!returned) {
    // Give the hung open its writer, so the call can end and the test can report.
    int writer = ::open(fifo.c_str(), O_WRONLY);
    if (writer >= 0) {
      ::close(writer);
    }
  }
  bool result = played.get();
  EXPECT_TRUE(returned) << "the call waited on the pipe";
  EXPECT_FALSE(result);
}

TEST_F(NullAudioDeviceTest, EveryBeepTypeFindsItsSoundInTheTheme) {
  StderrCapture capture;
  for (uint32_t type : kBeepTypes) {
    EXPECT_TRUE(sound_.MessageBeep(type))
        << "type " << type << " plays \"" << BeepSoundId(type) << "\", which the sound theme does not have";
  }
  EXPECT_EQ(capture.Text(), "");
}

// Regression: the driver's code was unloaded with the service while a playback thread still
// ran in it, and the program crashed soon after a service had gone away.
TEST_F(NullAudioDeviceTest, AServiceGoingAwayWhileItsSoundPlaysDoesNotCrash) {
  int played = 0;
  for (int i = 0; i < kShortLivedServices; ++i) {
    {
      CanberraSound sound;
      played += sound.PlaySoundFile(kTagFound) ? 1 : 0;
    }
    std::this_thread::sleep_for(kPauseAfterService);
  }
  EXPECT_EQ(played, kShortLivedServices);
}

TEST_F(NullAudioDeviceTest, RepeatedSoundsStayFast) {
  int played = 0;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kRepeatCount; ++i) {
    played += sound_.PlaySoundFile(kTagFound) ? 1 : 0;
    played += sound_.MessageBeep(kBeepTypes[i % std::size(kBeepTypes)]) ? 1 : 0;
  }
  EXPECT_LT(Since(start), kRepeatLimit);
  EXPECT_EQ(played, 2 * kRepeatCount);
}

TEST_F(NoSoundDriverTest, AFailedOpenIsNotTriedAgain) {
  EXPECT_FALSE(sound_.MessageBeep(0));
  // A driver that would open now is not looked for: the service stays silent.
  ScopedEnv driver("CANBERRA_DRIVER", "alsa");
  EXPECT_FALSE(sound_.PlaySoundFile(kTagFound));
  EXPECT_FALSE(sound_.MessageBeep(0));
}

TEST_F(NoSoundDriverTest, EverythingFailsPromptlyAndQuietly) {
  StderrCapture capture;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kRepeatCount; ++i) {
    EXPECT_FALSE(sound_.PlaySoundFile(kTagFound));
    EXPECT_FALSE(sound_.MessageBeep(0));
  }
  EXPECT_LT(Since(start), kRepeatLimit);
  EXPECT_EQ(capture.Text(), "");
}

}  // namespace
}  // namespace platform
