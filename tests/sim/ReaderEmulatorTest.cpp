// The reader emulator's protocol engine, driven by its time argument alone.

#include "sim/ReaderEmulator.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace sim {
namespace {

using namespace std::chrono_literals;

EmulatorOptions Powered(EmulatorOptions options = {}) {
  options.powered = true;
  return options;
}

// Feeds the bytes at time at and returns what is due at that moment.
std::string Exchange(ReaderEmulator& reader, std::string_view bytes, Millis at = 0ms) {
  reader.Feed(bytes, at);
  return reader.Poll(at);
}

const Tag kIsoTag{"08", "999000012345678"};
const std::string kIsoTagLine = "089990000123456789\r";

struct CommandCase {
  const char* name;
  std::string command;
  std::string answer;
};

TEST(ReaderEmulatorCommands, EachCommandGetsItsExactAnswer) {
  const std::vector<CommandCase> cases = {
      {"version", "V\r", "VLF2.01 CRSWI\r"},
      {"configuration", "C\r", "C2000FFFF\r"},
      {"tag types", "R\r", "RFF80FF80\r"},
      {"trigger, status at once", "S\r", "S1\r"},
      {"line feed after CR ignored", "V\r\n", "VLF2.01 CRSWI\r"},
      {"write configuration", "cA00181xxxx\r", "cA00181xxxxOK\r"},
      {"write configuration, lower-case hex", "ca00181xxxx\r", "ca00181xxxxOK\r"},
      {"write configuration, short", "cA0018xxxx\r", "cA0018xxxxNO\r"},
      {"write configuration, long", "cA00181xxxxx\r", "cA00181xxxxxNO\r"},
      {"write configuration, tail not xxxx", "cA00181xxxy\r", "cA00181xxxyNO\r"},
      {"write configuration, not hex", "cG00181xxxx\r", "cG00181xxxxNO\r"},
      {"write configuration, bare letter", "c\r", "cNO\r"},
      {"write configuration, overlong echo cut", "c" + std::string(40, '0') + "\r",
       "c" + std::string(31, '0') + "NO\r"},
      {"write tag types", "r8100\r", "r8100OK\r"},
      {"write tag types, short", "r81\r", "r81NO\r"},
      {"write tag types, long", "r810000\r", "r810000NO\r"},
      {"write tag types, not hex", "r8G00\r", "r8G00NO\r"},
      {"query with parameters", "VX\r", ""},
      {"unknown letter", "Z\r", ""},
      {"query letter in lower case", "v\r", ""},
      {"empty line", "\r", ""},
      {"no carriage return yet", "V", ""},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader(Powered());
    EXPECT_EQ(Exchange(reader, c.command), c.answer);
  }
}

TEST(ReaderEmulatorCommands, VersionReportsConfiguredFirmware) {
  EmulatorOptions old;
  old.firmware = "LF2.00";
  old.commandSet = "CRS";
  ReaderEmulator oldReader(Powered(old));
  EXPECT_EQ(Exchange(oldReader, "V\r"), "VLF2.00 CRS\r");

  // However long the texts, the line stays within what the application can take.
  EmulatorOptions overlong;
  overlong.firmware = std::string(30, 'F');
  overlong.commandSet = "CRSWI";
  ReaderEmulator overlongReader(Powered(overlong));
  const std::string answer = Exchange(overlongReader, "V\r");
  EXPECT_EQ(answer, "V" + std::string(30, 'F') + " CR\r");
  EXPECT_EQ(answer.size(), kMaxLineLength + 1);
}

TEST(ReaderEmulatorCommands, SettingsWrittenAreReadBack) {
  ReaderEmulator reader(Powered());
  ASSERT_EQ(Exchange(reader, "cA00181xxxx\r"), "cA00181xxxxOK\r");
  EXPECT_EQ(Exchange(reader, "C\r"), "CA00181FF\r");
  ASSERT_EQ(Exchange(reader, "r4200\r"), "r4200OK\r");
  EXPECT_EQ(Exchange(reader, "R\r"), "R4200FF80\r");
  const ReaderConfig expected{0xA0, 0x01, 0x42, 0x00, 0xFF, 0x80};
  EXPECT_EQ(reader.Config(), expected);

  // A refused command leaves every setting as it was.
  ASSERT_EQ(Exchange(reader, "c0000zzxxxx\r"), "c0000zzxxxxNO\r");
  ASSERT_EQ(Exchange(reader, "r00\r"), "r00NO\r");
  EXPECT_EQ(reader.Config(), expected);
}

TEST(ReaderEmulatorInput, CommandsAssembleAcrossFeedsAndKeepTheirOrder) {
  ReaderEmulator reader(Powered());
  for (const char c : std::string("cA00181xxxx")) {
    EXPECT_EQ(Exchange(reader, std::string(1, c)), "");
  }
  EXPECT_EQ(Exchange(reader, "\rC\rV\r"), "cA00181xxxxOK\rCA00181FF\rVLF2.01 CRSWI\r");
  const std::vector<std::string> received(reader.ReceivedLines().begin(), reader.ReceivedLines().end());
  EXPECT_EQ(received, (std::vector<std::string>{"cA00181xxxx", "C", "V"}));
}

TEST(ReaderEmulatorInput, OverlongCommandIsDiscardedWhole) {
  ReaderEmulator reader(Powered());
  // Ends in a valid command, which must not be taken for one.
  EXPECT_EQ(Exchange(reader, std::string(kMaxCommandLength, 'Z') + "V\r"), "");
  EXPECT_EQ(Exchange(reader, "V\r"), "VLF2.01 CRSWI\r");
}

TEST(ReaderEmulatorScan, ResultFollowsAfterTheScanDelay) {
  ReaderEmulator reader(Powered());
  ASSERT_TRUE(reader.PutTag(kIsoTag));
  EXPECT_EQ(Exchange(reader, "S\r", 1000ms), "S1\r");
  EXPECT_EQ(reader.NextDue(), 1000ms + kScanDelay);
  EXPECT_EQ(reader.Poll(1099ms), "");
  EXPECT_EQ(reader.Poll(1100ms), kIsoTagLine);
  EXPECT_EQ(reader.NextDue(), std::nullopt);

  reader.RemoveTag();
  EXPECT_EQ(Exchange(reader, "S\r", 2000ms), "S1\r");
  EXPECT_EQ(reader.Poll(2100ms), "S0\r");
}

TEST(ReaderEmulatorScan, TagEnteringDuringTheScanIsRead) {
  ReaderEmulator reader(Powered());
  EXPECT_EQ(Exchange(reader, "S\r"), "S1\r");
  ASSERT_TRUE(reader.PutTag({"80", "AB12"}));
  EXPECT_EQ(reader.Poll(100ms), "80AB128\r");
}

TEST(ReaderEmulatorScan, CommandDuringScanIsAnsweredAfterTheResult) {
  ReaderEmulator reader(Powered());
  EXPECT_EQ(Exchange(reader, "S\r"), "S1\r");
  EXPECT_EQ(Exchange(reader, "V\r", 10ms), "");
  EXPECT_EQ(reader.Poll(100ms), "S0\rVLF2.01 CRSWI\r");
}

TEST(ReaderEmulatorScan, ReadOnceReportsTheSameTagAsSS) {
  ReaderEmulator reader(Powered());
  const auto scan = [&reader](Millis at) {
    reader.Feed("S\r", at);
    return reader.Poll(at + kScanDelay);
  };
  ASSERT_TRUE(reader.PutTag(kIsoTag));
  EXPECT_EQ(scan(0ms), "S1\r" + kIsoTagLine);
  EXPECT_EQ(scan(200ms), "S1\r" + kIsoTagLine) << "read once is off by default";

  ASSERT_EQ(Exchange(reader, "c4000FFxxxx\r", 400ms), "c4000FFxxxxOK\r");
  EXPECT_EQ(scan(400ms), "S1\rSS\r");
  ASSERT_TRUE(reader.PutTag({"08", "123"}));
  EXPECT_EQ(scan(600ms), "S1\r081238\r");
  ASSERT_TRUE(reader.PutTag(kIsoTag));
  EXPECT_EQ(scan(800ms), "S1\r" + kIsoTagLine);

  // The memory of the last tag does not survive losing the supply.
  reader.SetPowered(false);
  reader.SetPowered(true);
  EXPECT_EQ(scan(1000ms), "S1\r" + kIsoTagLine);
}

struct TypeCase {
  const char* name;
  Tag tag;
  ReaderConfig config;
  bool read;
};

TEST(ReaderEmulatorScan, OnlyTechnologiesSwitchedOnAndSupportedAreRead) {
  ReaderConfig psk1Only;
  psk1Only.tagTypes = 0x80;
  ReaderConfig flexOnly;
  flexOnly.tagTypes = 0x10;
  ReaderConfig psk1Unsupported;
  psk1Unsupported.supportedTypes = 0x7F;
  ReaderConfig hdxOff;
  hdxOff.hdx = 0x00;
  ReaderConfig hdxUnsupported;
  hdxUnsupported.hdxSupported = 0x00;
  ReaderConfig nothing;
  nothing.tagTypes = 0x00;
  nothing.hdx = 0x00;

  const std::vector<TypeCase> cases = {
      {"PSK1 on", {"80", "AB12"}, psk1Only, true},
      {"PSK2 off", {"40", "QQ"}, psk1Only, false},
      {"FLEX 5 blocks under the FLEX bit", {"15", "AB"}, flexOnly, true},
      {"ISO FDX-b off", {"08", "00"}, flexOnly, false},
      {"PSK1 on but unsupported", {"80", "AB12"}, psk1Unsupported, false},
      {"HDX on", {"A0", "XYZ"}, ReaderConfig{}, true},
      {"HDX off", {"A0", "XYZ"}, hdxOff, false},
      {"HDX-ISO unsupported", {"A7", "XYZ"}, hdxUnsupported, false},
      {"ISO Industrial has no bit", {"0F", "1"}, nothing, true},
  };
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatorOptions options;
    options.config = c.config;
    ReaderEmulator reader(Powered(options));
    ASSERT_TRUE(reader.PutTag(c.tag));
    reader.Feed("S\r", 0ms);
    const std::string expected = c.read ? ReaderEmulator::TagLine(c.tag) + "\r" : "S0\r";
    EXPECT_EQ(reader.Poll(kScanDelay), "S1\r" + expected);
  }
}

TEST(ReaderEmulatorScan, TagsMustFitATagLine) {
  const std::vector<std::pair<Tag, bool>> cases = {
      {{"08", "999000012345678"}, true},
      {{"80", ""}, true},
      {{"08", "0 12 345"}, true},
      {{"a0", "1"}, true},
      {{"0F", std::string(kMaxCodeLength, '9')}, true},
      {{"0F", std::string(kMaxCodeLength + 1, '9')}, false},
      {{"8", "1"}, false},
      {{"080", "1"}, false},
      {{" 8", "1"}, false},
      {{"S0", "1"}, false},
      {{"V1", "1"}, false},
      {{"w1", "1"}, false},
      {{"08", "12\r3"}, false},
      {{"08", "12\x7f"}, false},
  };
  for (const auto& [tag, valid] : cases) {
    SCOPED_TRACE(tag.type + "/" + tag.code);
    ReaderEmulator reader(Powered());
    ASSERT_TRUE(reader.PutTag(kIsoTag));
    EXPECT_EQ(reader.PutTag(tag), valid);
    EXPECT_EQ(reader.TagInField(), valid ? tag : kIsoTag);
  }
  const std::string longest = ReaderEmulator::TagLine({"0F", std::string(kMaxCodeLength, '9')});
  EXPECT_EQ(longest.size(), kMaxLineLength);
}

TEST(ReaderEmulatorPower, UnpoweredReaderDropsInputAndSendsNothing) {
  ReaderEmulator reader;  // Starts without supply, like a module in its slot.
  EXPECT_EQ(Exchange(reader, "V\r"), "");
  reader.SendResetReport(0ms);
  EXPECT_EQ(reader.Poll(1000ms), "");
  EXPECT_TRUE(reader.ReceivedLines().empty());

  reader.SetPowered(true);
  EXPECT_EQ(Exchange(reader, "V\r", 1000ms), "VLF2.01 CRSWI\r");
}

TEST(ReaderEmulatorPower, SwitchingOffLosesEverythingInFlight) {
  ReaderEmulator reader(Powered());
  ASSERT_TRUE(reader.PutTag(kIsoTag));
  EXPECT_EQ(Exchange(reader, "S\r"), "S1\r");
  reader.Feed("cA0", 10ms);
  reader.SetPowered(false);
  reader.SetPowered(true);
  EXPECT_EQ(reader.NextDue(), std::nullopt);
  // The half command is gone: its rest alone is not a command.
  EXPECT_EQ(Exchange(reader, "0181xxxx\r", 20ms), "");
  EXPECT_EQ(reader.Poll(1000ms), "");
  EXPECT_EQ(reader.Config(), ReaderConfig{});
}

TEST(ReaderEmulatorReset, ReportReplacesAnythingPending) {
  ReaderEmulator reader(Powered());
  EXPECT_EQ(Exchange(reader, "S\r"), "S1\r");
  reader.SendResetReport(50ms);
  EXPECT_EQ(reader.Poll(1000ms), "X reset\r");
}

struct FaultCase {
  const char* name;
  Fault fault;
  std::string command;
  // What Poll returns at each time, in order.
  std::vector<std::pair<Millis, std::string>> timeline;
};

TEST(ReaderEmulatorFaults, EachFaultShapesTheAnswer) {
  const std::vector<FaultCase> cases = {
      {"no answer", Fault::NoAnswer, "V\r", {{0ms, ""}, {1000ms, ""}}},
      {"no answer to a trigger", Fault::NoAnswer, "S\r", {{0ms, ""}, {1000ms, ""}}},
      {"refused", Fault::AnswerNO, "cA00181xxxx\r", {{0ms, "cA00181xxxxNO\r"}}},
      {"bad echo", Fault::BadEcho, "r8100\r", {{0ms, "r?100OK\r"}}},
      {"split", Fault::SplitBytes, "V\r", {{0ms, "VLF2.01"}, {79ms, ""}, {80ms, " CRSWI\r"}}},
      {"split scan status", Fault::SplitBytes, "S\r", {{0ms, "S"}, {80ms, "1\r"}, {99ms, ""}, {100ms, "S0\r"}}},
      {"dropped byte", Fault::DropByte, "V\r", {{0ms, "VLF2.0 CRSWI\r"}}},
      {"delay", Fault::Delay, "V\r", {{0ms, ""}, {499ms, ""}, {500ms, "VLF2.01 CRSWI\r"}}},
      {"delay of a scan", Fault::Delay, "S\r", {{0ms, ""}, {500ms, "S1\r"}, {599ms, ""}, {600ms, "S0\r"}}},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader(Powered());
    reader.SetFault(c.fault);
    reader.Feed(c.command, 0ms);
    for (const auto& [at, bytes] : c.timeline) {
      EXPECT_EQ(reader.Poll(at), bytes) << "at " << at.count() << " ms";
    }
    EXPECT_EQ(reader.ActiveFault(), Fault::None) << "a count of 1 is used up";
  }
}

TEST(ReaderEmulatorFaults, RefusedAndBadlyEchoedSettingsAreNotStored) {
  for (const Fault fault : {Fault::AnswerNO, Fault::BadEcho, Fault::NoAnswer}) {
    SCOPED_TRACE(static_cast<int>(fault));
    ReaderEmulator reader(Powered());
    reader.SetFault(fault, 2);
    const std::string first = Exchange(reader, "cA00181xxxx\r");
    EXPECT_NE(first, "cA00181xxxxOK\r");
    EXPECT_NE(Exchange(reader, "r8100\r"), "r8100OK\r");
    EXPECT_EQ(reader.Config(), ReaderConfig{});
    // The count is used up: the next command behaves.
    EXPECT_EQ(Exchange(reader, "cA00181xxxx\r"), "cA00181xxxxOK\r");
    EXPECT_EQ(reader.Config().option, 0xA0);
  }
}

TEST(ReaderEmulatorFaults, SetCommandFaultsLeaveQueriesAlone) {
  ReaderEmulator reader(Powered());
  reader.SetFault(Fault::BadEcho, 1);
  EXPECT_EQ(Exchange(reader, "V\r"), "VLF2.01 CRSWI\r");
  EXPECT_EQ(Exchange(reader, "Z\r"), "");
  EXPECT_EQ(reader.FaultCount(), 1) << "only a set command uses the fault up";
  EXPECT_EQ(Exchange(reader, "cA00181xxxx\r"), "c?00181xxxxOK\r");
  EXPECT_EQ(Exchange(reader, "cA00181xxxx\r"), "cA00181xxxxOK\r");
}

TEST(ReaderEmulatorFaults, GarbageReplacesTheWholeAnswerWithPrintableJunk) {
  ReaderEmulator reader(Powered());
  ASSERT_TRUE(reader.PutTag(kIsoTag));
  reader.SetFault(Fault::Garbage, 2);
  const std::vector<std::pair<std::string, std::string>> commands = {{"V\r", "VLF2.01 CRSWI\r"}, {"S\r", "S1\r"}};
  for (const auto& [command, normal] : commands) {
    SCOPED_TRACE(command);
    const std::string answer = Exchange(reader, command);
    EXPECT_NE(answer, normal);
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.find('\r'), answer.size() - 1) << "one line";
    EXPECT_LE(answer.size() - 1, kMaxLineLength);
    for (std::size_t i = 0; i + 1 < answer.size(); ++i) {
      EXPECT_TRUE(answer[i] > ' ' && answer[i] < 0x7F) << "byte " << int(answer[i]);
    }
    EXPECT_EQ(reader.NextDue(), std::nullopt) << "no scan result follows the junk";
  }
  EXPECT_EQ(Exchange(reader, "V\r"), "VLF2.01 CRSWI\r");
}

TEST(ReaderEmulatorFaults, EveryCommandUntilCleared) {
  ReaderEmulator reader(Powered());
  reader.SetFault(Fault::NoAnswer, kEveryCommand);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Exchange(reader, "V\r"), "");
  }
  reader.SetFault(Fault::None);
  EXPECT_EQ(Exchange(reader, "V\r"), "VLF2.01 CRSWI\r");
}

}  // namespace
}  // namespace sim
