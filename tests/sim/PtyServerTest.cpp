// The emulator served on a pseudo-terminal, talked to through the slave like the application
// talks to its serial port.

#include "sim/PtyServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "tests/sim/PtyTestUtil.h"
#include "writetag/BlockFrames.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using test::OpenLikeTheApplication;
using test::ReadFor;
using test::ReadLine;
using test::WriteAll;

ServerOptions Options(Pacing pacing, bool powered) {
  ServerOptions options;
  options.pacing = pacing;
  options.emulator.powered = powered;
  return options;
}

class PtyServerTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options) {
    server_ = std::make_unique<PtyServer>(std::move(options));
    ASSERT_EQ(server_->Start(), 0) << server_->ErrorText();
    port_ = OpenLikeTheApplication(server_->SlavePath());
    ASSERT_TRUE(port_.Valid()) << server_->SlavePath();
  }

  std::optional<std::string> Ask(std::string_view command) {
    if (!WriteAll(port_.Get(), command)) {
      return std::nullopt;
    }
    return ReadLine(port_.Get());
  }

  std::unique_ptr<PtyServer> server_;
  UniqueFd port_;
};

TEST_F(PtyServerTest, AnswersThroughTheSlave) {
  StartServer(Options(Pacing::Off, true));
  EXPECT_EQ(Ask("V\r"), "VLF2.01 CRSWI\r");
  EXPECT_EQ(Ask("cA00181xxxx\r"), "cA00181xxxxOK\r");
  EXPECT_EQ(server_->Config().option, 0xA0);
  EXPECT_EQ(server_->Config().tagTypes, 0x81);

  ASSERT_TRUE(server_->PutTag({"80", "AB12"}));
  EXPECT_EQ(Ask("S\r"), "S1\r");
  EXPECT_EQ(ReadLine(port_.Get()), "80AB128\r");
  server_->RemoveTag();
  EXPECT_EQ(Ask("S\r"), "S1\r");
  EXPECT_EQ(ReadLine(port_.Get()), "S0\r");

  server_->SendResetReport();
  EXPECT_EQ(ReadLine(port_.Get()), "X reset\r");
  EXPECT_EQ(server_->ReceivedLines(), (std::vector<std::string>{"V", "cA00181xxxx", "S", "S"}));
}

TEST_F(PtyServerTest, WritesATransponderAndReadsItBack) {
  StartServer(Options(Pacing::On, true));
  ASSERT_TRUE(server_->PutTransponder({}));

  // The commands of the Write Tag dialog: the code's blocks, then the block count.
  writetag::BlockFrameSet set;
  ASSERT_EQ(writetag::ComputeBlockFrames(set, u"AB12 34").result, writetag::kResultOk);
  ASSERT_EQ(set.m_nBlockCount, 3);
  std::vector<std::string> commands;
  for (std::size_t i = 0; i < set.m_nBlockCount; ++i) {
    commands.push_back(writetag::WriteCommandFor(set, i).value_or(""));
  }
  commands.push_back(writetag::FrameCommandText(writetag::BlocksSettingFrame(3).value_or(0)));
  for (const std::string& command : commands) {
    ASSERT_EQ(command.size(), 12u);
    EXPECT_EQ(Ask(command), command.substr(0, 11) + "OK\r");
  }
  EXPECT_EQ(server_->TransponderInField()->blockCount, 3);

  EXPECT_EQ(Ask("S\r"), "S1\r");
  EXPECT_EQ(ReadLine(port_.Get()), ReaderEmulator::TagLine({"13", "AB12 34"}) + "\r");
  EXPECT_EQ(server_->TagInField(), (Tag{"13", "AB12 34"}));

  ASSERT_TRUE(server_->SetWriteLock(WriteLock::On));
  EXPECT_EQ(Ask(commands.front()), commands.front().substr(0, 11) + "NO\r");
  server_->RemoveTag();
  EXPECT_EQ(server_->TransponderInField(), std::nullopt);
  EXPECT_FALSE(server_->SetWriteLock(WriteLock::Off));
  EXPECT_EQ(Ask(commands.front()), commands.front().substr(0, 11) + "NO\r");
}

TEST_F(PtyServerTest, SilentWhileUnpowered) {
  StartServer(Options(Pacing::Off, false));
  ASSERT_TRUE(WriteAll(port_.Get(), "V\r"));
  server_->SendResetReport();
  EXPECT_EQ(ReadFor(port_.Get(), test::kSilenceWindow), "");

  server_->SetPowered(true);
  EXPECT_EQ(Ask("C\r"), "C2000FFFF\r");
  EXPECT_EQ(server_->ReceivedLines(), std::vector<std::string>{"C"})
      << "the command sent without supply was never received";

  // A scan cut short by the supply going off sends no result, not even later.
  EXPECT_EQ(Ask("S\r"), "S1\r");
  server_->SetPowered(false);
  EXPECT_FALSE(server_->IsPowered());
  EXPECT_EQ(ReadFor(port_.Get(), test::kSilenceWindow), "");
}

TEST_F(PtyServerTest, FirmwareLoaderCollectsTheImageSentThroughTheSlave) {
  StartServer(Options(Pacing::On, true));
  server_->SetLoaderStatus(LoaderStatus::D);
  EXPECT_EQ(Ask("I\r"), "I:DOK\r");
  EXPECT_EQ(Ask("I0\r"), "I0OK\r");
  EXPECT_EQ(server_->CurrentLoaderStatus(), LoaderStatus::E);

  const std::string first(kRecordTextLength, 'A');
  // Key digits 0: content bytes 1 and 2 read 10 00 as they stand, the split record.
  const std::string split = "001000" + std::string(kRecordTextLength - 6, '0');
  ASSERT_TRUE(server_->SetRecordFault(Fault::AnswerNO, 1));
  EXPECT_EQ(Ask("I" + first + "\r"), "IOK\r");
  EXPECT_EQ(Ask("I" + first + "\r"), "INO\r");
  EXPECT_EQ(Ask("I1\r"), "I1OK\r");
  EXPECT_EQ(Ask("I" + split + "\r"), "IOK\r");
  EXPECT_EQ(Ask("I2\r"), "I2OK\r");

  const FirmwareImage image = server_->ReceivedImage();
  EXPECT_EQ(image.firstPart, std::vector<std::string>{first});
  EXPECT_EQ(image.secondPart, std::vector<std::string>{split});
  EXPECT_TRUE(image.complete);
  EXPECT_TRUE(SplitsAtMarkedRecord(image));
  EXPECT_EQ(server_->CurrentLoaderStatus(), LoaderStatus::D);
}

// Ten version commands in one write: 140 answer bytes.
constexpr int kBurstCommands = 10;

// Time from writing the burst of commands to the last answer byte read.
std::chrono::microseconds TimeBurst(int port) {
  std::string commands;
  for (int i = 0; i < kBurstCommands; ++i) {
    commands += "V\r";
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WriteAll(port, commands));
  for (int i = 0; i < kBurstCommands; ++i) {
    EXPECT_EQ(ReadLine(port), "VLF2.01 CRSWI\r");
  }
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
}

TEST_F(PtyServerTest, PacingHoldsAnswersToTheBaudRate) {
  StartServer(Options(Pacing::On, true));
  const std::size_t bytes = kBurstCommands * std::string("VLF2.01 CRSWI\r").size();
  const auto paced = TimeBurst(port_.Get());
  EXPECT_GE(paced, bytes * kByteTime);

  server_->SetPacing(Pacing::Off);
  const auto unpaced = TimeBurst(port_.Get());
  EXPECT_LT(unpaced, bytes * kByteTime);
}

TEST_F(PtyServerTest, PowerOffCutsAPacedAnswerShort) {
  StartServer(Options(Pacing::On, true));
  std::string commands;
  for (int i = 0; i < kBurstCommands; ++i) {
    commands += "V\r";
  }
  ASSERT_TRUE(WriteAll(port_.Get(), commands));
  EXPECT_EQ(ReadLine(port_.Get()), "VLF2.01 CRSWI\r");
  server_->SetPowered(false);
  // What was on the line when the supply went may still come; the rest of the burst not.
  const std::string rest = ReadFor(port_.Get(), test::kSilenceWindow);
  EXPECT_LT(rest.size(), (kBurstCommands - 2) * std::string("VLF2.01 CRSWI\r").size());
}

TEST_F(PtyServerTest, FaultsReachTheLine) {
  StartServer(Options(Pacing::Off, true));
  server_->SetFault(Fault::AnswerNO, 1);
  EXPECT_EQ(Ask("cA00181xxxx\r"), "cA00181xxxxNO\r");
  EXPECT_EQ(server_->Config(), ReaderConfig{});

  server_->SetFault(Fault::SplitBytes, 1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteAll(port_.Get(), "V\r"));
  EXPECT_EQ(ReadLine(port_.Get()), "VLF2.01 CRSWI\r");
  EXPECT_GE(std::chrono::steady_clock::now() - start, kSplitPause) << "the rest came late";

  server_->SetFault(Fault::NoAnswer, 1);
  ASSERT_TRUE(WriteAll(port_.Get(), "V\r"));
  EXPECT_EQ(ReadFor(port_.Get(), test::kSilenceWindow), "");
  EXPECT_EQ(Ask("V\r"), "VLF2.01 CRSWI\r");
}

TEST_F(PtyServerTest, SlaveCanBeClosedAndReopened) {
  StartServer(Options(Pacing::Off, true));
  EXPECT_EQ(Ask("V\r"), "VLF2.01 CRSWI\r");
  port_.Reset();
  // With no application on the slave the master would see a hang-up, unless the server
  // holds the slave open itself.
  int slaveDescriptors = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == server_->SlavePath()) {
      ++slaveDescriptors;
    }
  }
  EXPECT_EQ(slaveDescriptors, 1);
  EXPECT_TRUE(server_->IsRunning());
  port_ = OpenLikeTheApplication(server_->SlavePath());
  ASSERT_TRUE(port_.Valid());
  EXPECT_EQ(Ask("R\r"), "RFF80FF80\r");
}

TEST_F(PtyServerTest, StopEndsServingAndStartMakesANewTerminal) {
  StartServer(Options(Pacing::Off, true));
  EXPECT_EQ(server_->Start(), -1) << "already running";
  EXPECT_FALSE(server_->ErrorText().empty());

  server_->Stop();
  EXPECT_FALSE(server_->IsRunning());
  EXPECT_EQ(server_->SlavePath(), "");
  // The application's end sees the reader go away instead of waiting forever.
  pollfd p{port_.Get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, static_cast<int>(test::kAnswerTimeout.count())), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  server_->Stop();

  ASSERT_EQ(server_->Start(), 0) << server_->ErrorText();
  port_ = OpenLikeTheApplication(server_->SlavePath());
  ASSERT_TRUE(port_.Valid());
  EXPECT_EQ(Ask("V\r"), "VLF2.01 CRSWI\r");
}

}  // namespace
}  // namespace sim
