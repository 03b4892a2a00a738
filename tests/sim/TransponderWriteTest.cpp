// Block writes ('w') to the writable transponder in the emulator's field, and reading that
// transponder back, driven by the engine's time argument alone. Frames are built with the
// application's own encoder, so a write here is byte for byte what the Write Tag dialog sends.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/ReaderEmulator.h"
#include "writetag/BlockFrameDecoder.h"
#include "writetag/BlockFrames.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

ReaderEmulator PoweredReader(EmulatorOptions options = {}) {
  options.powered = true;
  return ReaderEmulator(std::move(options));
}

std::string Exchange(ReaderEmulator& reader, std::string_view bytes, Millis at = 0ms) {
  reader.Feed(bytes, at);
  return reader.Poll(at);
}

// The answer a block write gets when it is carried out or refused.
std::string Accepted(std::string_view command) { return std::string(command.substr(0, command.size() - 1)) + "OK\r"; }
std::string Refused(std::string_view command) { return std::string(command.substr(0, command.size() - 1)) + "NO\r"; }

// The two blocks of the code "12345" as the Write Tag dialog sends them.
const std::string kFirstOf12345 = "w20E91443A2\r";
const std::string kSecondOf12345 = "w20EBA0EDBB\r";
constexpr uint64_t kFirstFrameOf12345 = 0x20E91443A2;

std::string SettingCommand(int count) {
  const auto frame = writetag::BlocksSettingFrame(count);
  return frame ? writetag::FrameCommandText(*frame) : std::string();
}

// The commands the Write Tag dialog sends for code, one per block.
std::vector<std::string> CodeCommands(std::string_view code) {
  writetag::BlockFrameSet set;
  const std::u16string text(code.begin(), code.end());
  EXPECT_EQ(writetag::ComputeBlockFrames(set, text).result, writetag::kResultOk) << code;
  std::vector<std::string> commands;
  for (std::size_t i = 0; i < set.m_nBlockCount; ++i) {
    commands.push_back(writetag::WriteCommandFor(set, i).value_or(""));
  }
  return commands;
}

// Sends each command and expects it carried out.
void WriteAll(ReaderEmulator& reader, const std::vector<std::string>& commands) {
  for (const std::string& command : commands) {
    ASSERT_EQ(Exchange(reader, command), Accepted(command));
  }
}

// A trigger at time at and everything the scan sends.
std::string Scan(ReaderEmulator& reader, Millis at = 0ms) {
  reader.Feed("S\r", at);
  return reader.Poll(at + kScanDelay);
}

std::string ScanOf(const Tag& tag) { return "S1\r" + ReaderEmulator::TagLine(tag) + "\r"; }

struct FrameCase {
  const char* name;
  std::string command;
  bool accepted;
  int countAfter;     // the transponder starts with 5 blocks
  int storedAddress;  // 0: no data block stored
};

TEST(TransponderWrite, EachFrameIsAcceptedOrRefusedByItsLayout) {
  const uint32_t word = writetag::BlockDataWord('1', '2', '3');
  const auto dataAt = [word](uint8_t address) {
    return writetag::FrameCommandText(writetag::MakeFrame(word, address));
  };
  const std::vector<FrameCase> cases = {
      {"data block", kFirstOf12345, true, 5, 2},
      {"data block, lower-case hex", "w20e91443a2\r", true, 5, 2},
      {"data block at the last address", dataAt(7), true, 5, 7},
      {"data block at address 0", dataAt(0), false, 5, 0},
      {"data block at address 1", dataAt(1), false, 5, 0},
      {"blocks setting 3", "w2000210310\r", true, 3, 0},
      {"blocks setting 5", "w2000210510\r", true, 5, 0},
      {"blocks setting 7", "w2000210710\r", true, 7, 0},
      {"blocks setting 0", "w2000210010\r", false, 5, 0},
      {"blocks setting 2", "w2000210210\r", false, 5, 0},
      {"blocks setting 4", "w2000210410\r", false, 5, 0},
      {"blocks setting 6", "w2000210610\r", false, 5, 0},
      {"blocks setting at address 1", "w2000210311\r", false, 5, 0},
      {"nine digits", "w20E91443A\r", false, 5, 0},
      {"eleven digits", "w20E91443A20\r", false, 5, 0},
      {"bare letter", "w\r", false, 5, 0},
      {"not hex", "w20E9144GA2\r", false, 5, 0},
      {"blank inside", "w20E9 443A2\r", false, 5, 0},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader = PoweredReader();
    ASSERT_TRUE(reader.PutTransponder({.blockCount = 5}));
    EXPECT_EQ(Exchange(reader, c.command), c.accepted ? Accepted(c.command) : Refused(c.command));
    const Transponder& after = *reader.TransponderInField();
    EXPECT_EQ(after.blockCount, c.countAfter);
    for (std::size_t i = 0; i < kTransponderBlocks; ++i) {
      const bool stored = c.storedAddress == static_cast<int>(i + kFirstTransponderBlock);
      EXPECT_EQ(after.blocks[i].has_value(), stored) << "address " << i + 2;
      if (stored) {
        EXPECT_EQ(after.blocks[i], word) << "the data word of the frame";
      }
    }
  }
}

TEST(TransponderWrite, AnOverlongWriteGetsAnEchoCutToTheLine) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_TRUE(reader.PutTransponder({}));
  EXPECT_EQ(Exchange(reader, "w" + std::string(40, '0') + "\r"), "w" + std::string(31, '0') + "NO\r");
}

TEST(TransponderWrite, EverySingleBitErrorIsRefusedUnlessItOnlyMovesTheAddress) {
  for (unsigned bit = 0; bit < 40; ++bit) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    const uint64_t frame = kFirstFrameOf12345 ^ (uint64_t{1} << bit);
    const std::string command = writetag::FrameCommandText(frame);
    ReaderEmulator reader = PoweredReader();
    ASSERT_TRUE(reader.PutTransponder({}));
    // Address 2 is 010: flipping bit 0 or 2 gives another data address (3 or 6), flipping
    // bit 1 gives address 0; every other bit breaks the header or a parity.
    const bool movesAddress = bit == 0 || bit == 2;
    EXPECT_EQ(Exchange(reader, command), movesAddress ? Accepted(command) : Refused(command));
    Transponder expected;
    if (movesAddress) {
      expected.blocks[(frame & 7) - kFirstTransponderBlock] = writetag::DecodeFrame(frame).dataWord;
    }
    EXPECT_EQ(reader.TransponderInField(), expected);
  }
}

TEST(TransponderWrite, WritesAreRefusedWithoutAWritableTransponder) {
  struct FieldCase {
    const char* name;
    void (*prepare)(ReaderEmulator&);
  };
  const std::vector<FieldCase> cases = {
      {"empty field", [](ReaderEmulator&) {}},
      {"read-only tag",
       [](ReaderEmulator& r) {
         ASSERT_TRUE(r.PutTag({"08", "999000012345678"}));
       }},
      {"read-only FLEX tag",
       [](ReaderEmulator& r) {
         ASSERT_TRUE(r.PutTag({"15", "AB"}));
       }},
      {"locked transponder", [](ReaderEmulator& r) { ASSERT_TRUE(r.PutTransponder({.lock = WriteLock::On})); }},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader = PoweredReader();
    c.prepare(reader);
    const auto before = reader.TagInField();
    for (const std::string& command : {kFirstOf12345, SettingCommand(3)}) {
      EXPECT_EQ(Exchange(reader, command), Refused(command));
    }
    EXPECT_EQ(reader.TagInField(), before) << "nothing in the field changed";
  }
}

TEST(TransponderWrite, UnlockingLetsWritesThroughAgainAndKeepsTheBlocks) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_TRUE(reader.PutTransponder({}));
  WriteAll(reader, {kFirstOf12345});
  ASSERT_TRUE(reader.SetWriteLock(WriteLock::On));
  EXPECT_EQ(Exchange(reader, kSecondOf12345), Refused(kSecondOf12345));
  EXPECT_EQ(Scan(reader), ScanOf({"17", "12"})) << "only the first block was written";
  ASSERT_TRUE(reader.SetWriteLock(WriteLock::Off));
  WriteAll(reader, {kSecondOf12345});
  EXPECT_EQ(Scan(reader, 1000ms), ScanOf({"17", "12345"}));
}

TEST(TransponderReadBack, CodesOfEveryLengthComeBackAsWritten) {
  const std::vector<std::string> codes = {
      "1",
      "A",
      "12",
      "123",
      "12345",
      "AB12 34",
      "ABCDEFGHIJ",
      "12345678901",
      "123456789012",
      "1234567890123",
      " LEAD",
      "TRAIL ",
      "A B C D E F G",
      "123456789012345",
      "~!@#$%^&*()_+{}",
  };
  for (const std::string& code : codes) {
    SCOPED_TRACE("'" + code + "'");
    ReaderEmulator reader = PoweredReader();
    ASSERT_TRUE(reader.PutTransponder({}));
    WriteAll(reader, CodeCommands(code));
    const std::string scan = Scan(reader);
    EXPECT_EQ(scan, ScanOf({"17", code}));
    // The application's reading of a tag line: the type, then the code from position 2 up
    // to the last character, within the longest line it takes.
    const std::string line = scan.substr(3, scan.size() - 4);
    EXPECT_LE(line.size(), kMaxLineLength);
    EXPECT_EQ(line.substr(0, 2), "17");
    EXPECT_EQ(line.substr(2, line.size() - 3), code);
  }
}

TEST(TransponderReadBack, TheFirstBlocksOf12345ReadAsTheDialogWroteThem) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_TRUE(reader.PutTransponder({}));
  WriteAll(reader, {kFirstOf12345, kSecondOf12345});
  // Check character: the XOR of "1712345" is 0x37, so its low digit is 7.
  EXPECT_EQ(Scan(reader), "S1\r17123457\r");
}

struct CountCase {
  int count;
  std::string written;
  std::string type;
  std::string read;
};

TEST(TransponderReadBack, TheBlockCountSetsTheTypeAndHowManyBlocksAreRead) {
  const std::vector<CountCase> cases = {
      {3, "AB12 34", "13", "AB12 34"},
      {3, "123456789012345", "13", "1234567"},
      {5, "12345", "15", "12345"},
      {5, "123456789012345", "15", "123456789012"},
      {7, "123456789012345", "17", "123456789012345"},
      {7, "AB", "17", "AB"},
  };
  // The count may be set before or after the code is written.
  for (const bool countFirst : {true, false}) {
    for (const CountCase& c : cases) {
      SCOPED_TRACE(std::to_string(c.count) + " blocks, " + c.written + (countFirst ? ", count first" : ", code first"));
      ReaderEmulator reader = PoweredReader();
      ASSERT_TRUE(reader.PutTransponder({.blockCount = c.count == 7 ? 3 : 7}));
      std::vector<std::string> commands = CodeCommands(c.written);
      const auto where = countFirst ? commands.begin() : commands.end();
      commands.insert(where, SettingCommand(c.count));
      WriteAll(reader, commands);
      EXPECT_EQ(Scan(reader), ScanOf({c.type, c.read}));
    }
  }
}

TEST(TransponderReadBack, BlocksHiddenByASmallCountAreKept) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_TRUE(reader.PutTransponder({}));
  WriteAll(reader, CodeCommands("123456789012345"));
  WriteAll(reader, {SettingCommand(3)});
  EXPECT_EQ(Scan(reader), ScanOf({"13", "1234567"}));
  WriteAll(reader, {SettingCommand(7)});
  EXPECT_EQ(Scan(reader, 1000ms), ScanOf({"17", "123456789012345"}));
}

TEST(TransponderReadBack, AShorterCodeKeepsTheRestOfTheLongerOne) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_TRUE(reader.PutTransponder({}));
  WriteAll(reader, CodeCommands("123456789012345"));
  WriteAll(reader, CodeCommands("AB"));
  // "AB" fills block 2 only; the byte it shares with the old block 3 is 0x03, which is sent
  // as '?' so the line stays printable.
  EXPECT_EQ(Scan(reader), ScanOf({"17", "AB?456789012345"}));
}

TEST(TransponderReadBack, ReadingStopsAtTheFirstBlockNeverWritten) {
  const std::vector<std::string> blocks = CodeCommands("123456789012345");
  struct GapCase {
    const char* name;
    std::vector<std::string> written;
    std::string read;
  };
  const std::vector<GapCase> cases = {
      {"blank", {}, ""},
      {"address 3 alone", {blocks[1]}, ""},
      {"addresses 2 and 4", {blocks[0], blocks[2]}, "12"},
      {"addresses 2, 3 and 7", {blocks[0], blocks[1], blocks[5]}, "12345"},
  };
  for (const GapCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader = PoweredReader();
    ASSERT_TRUE(reader.PutTransponder({}));
    WriteAll(reader, c.written);
    EXPECT_EQ(Scan(reader), ScanOf({"17", c.read}));
  }
}

TEST(TransponderReadBack, ReadOnceSeesARewrittenTransponderAsANewTag) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_EQ(Exchange(reader, "c4000FFxxxx\r"), "c4000FFxxxxOK\r");
  ASSERT_TRUE(reader.PutTransponder({}));
  WriteAll(reader, CodeCommands("12345"));
  EXPECT_EQ(Scan(reader, 0ms), ScanOf({"17", "12345"}));
  EXPECT_EQ(Scan(reader, 200ms), "S1\rSS\r");
  WriteAll(reader, CodeCommands("54321"));
  EXPECT_EQ(Scan(reader, 400ms), ScanOf({"17", "54321"}));
}

TEST(TransponderReadBack, FlexSwitchedOffIsNotRead) {
  EmulatorOptions options;
  options.config.tagTypes = 0xEF;
  ReaderEmulator reader = PoweredReader(options);
  ASSERT_TRUE(reader.PutTransponder({}));
  WriteAll(reader, CodeCommands("12345"));
  EXPECT_EQ(Scan(reader), "S1\rS0\r");
}

TEST(TransponderField, OneTransponderAtATime) {
  ReaderEmulator reader = PoweredReader();
  for (const int count : {-1, 0, 1, 2, 4, 6, 8}) {
    EXPECT_FALSE(reader.PutTransponder({.blockCount = count})) << count;
  }
  EXPECT_EQ(reader.TransponderInField(), std::nullopt);
  EXPECT_FALSE(reader.SetWriteLock(WriteLock::On)) << "no transponder to lock";

  ASSERT_TRUE(reader.PutTag({"08", "999000012345678"}));
  ASSERT_TRUE(reader.PutTransponder({.blockCount = 3}));
  EXPECT_EQ(reader.TagInField(), (Tag{"13", ""})) << "the transponder replaced the tag";
  ASSERT_TRUE(reader.PutTag({"08", "999000012345678"}));
  EXPECT_EQ(reader.TransponderInField(), std::nullopt) << "the tag replaced the transponder";
  ASSERT_TRUE(reader.PutTransponder({}));
  reader.RemoveTag();
  EXPECT_EQ(reader.TransponderInField(), std::nullopt);
  EXPECT_EQ(reader.TagInField(), std::nullopt);
  EXPECT_EQ(Exchange(reader, kFirstOf12345), Refused(kFirstOf12345));
}

struct WriteFaultCase {
  const char* name;
  Fault fault;
  WriteLock lock;
  std::vector<std::pair<Millis, std::string>> timeline;
  bool stored;
};

TEST(TransponderWriteFaults, EachFaultShapesTheWriteAnswer) {
  const std::vector<WriteFaultCase> cases = {
      {"no answer", Fault::NoAnswer, WriteLock::Off, {{0ms, ""}, {1000ms, ""}}, false},
      {"refused", Fault::AnswerNO, WriteLock::Off, {{0ms, "w20E91443A2NO\r"}}, false},
      {"bad echo", Fault::BadEcho, WriteLock::Off, {{0ms, "w?0E91443A2OK\r"}}, true},
      {"bad echo of a refusal", Fault::BadEcho, WriteLock::On, {{0ms, "w?0E91443A2NO\r"}}, false},
      {"dropped byte", Fault::DropByte, WriteLock::Off, {{0ms, "w20E9143A2OK\r"}}, true},
      {"split", Fault::SplitBytes, WriteLock::Off, {{0ms, "w20E914"}, {79ms, ""}, {80ms, "43A2OK\r"}}, true},
      {"delay", Fault::Delay, WriteLock::Off, {{0ms, ""}, {499ms, ""}, {500ms, "w20E91443A2OK\r"}}, true},
  };
  for (const WriteFaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderEmulator reader = PoweredReader();
    ASSERT_TRUE(reader.PutTransponder({.lock = c.lock}));
    reader.SetFault(c.fault);
    reader.Feed(kFirstOf12345, 0ms);
    for (const auto& [at, bytes] : c.timeline) {
      EXPECT_EQ(reader.Poll(at), bytes) << "at " << at.count() << " ms";
    }
    EXPECT_EQ(reader.TransponderInField()->blocks[0].has_value(), c.stored);
    EXPECT_EQ(reader.ActiveFault(), Fault::None) << "a count of 1 is used up";
  }
}

TEST(TransponderWriteFaults, GarbageIsAWriteAnswerThatIsNeitherOKNorNO) {
  // Many seeds, so that junk which would by chance end in OK or NO is met too (the junk of
  // seeds 2010 and 5770 does).
  for (uint32_t seed = 1; seed <= 6000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    EmulatorOptions options;
    options.seed = seed;
    ReaderEmulator reader = PoweredReader(options);
    ASSERT_TRUE(reader.PutTransponder({}));
    reader.SetFault(Fault::Garbage);
    const std::string answer = Exchange(reader, kFirstOf12345);
    ASSERT_GE(answer.size(), 4u);
    ASSERT_LE(answer.size(), kMaxLineLength + 1);
    EXPECT_EQ(answer.front(), 'w');
    EXPECT_EQ(answer.find('\r'), answer.size() - 1) << "one line";
    const std::string end = answer.substr(answer.size() - 3, 2);
    EXPECT_TRUE(end != "OK" && end != "NO") << answer;
    EXPECT_TRUE(reader.TransponderInField()->blocks[0].has_value()) << "carried out";
  }
}

TEST(TransponderWriteFaults, WriteFaultsAreUsedUpByWritesAndSettingsAlike) {
  ReaderEmulator reader = PoweredReader();
  ASSERT_TRUE(reader.PutTransponder({}));
  reader.SetFault(Fault::AnswerNO, 2);
  EXPECT_EQ(Exchange(reader, "V\r"), "VLF2.01 CRSWI\r");
  EXPECT_EQ(Exchange(reader, kFirstOf12345), Refused(kFirstOf12345));
  EXPECT_EQ(Exchange(reader, "r8100\r"), "r8100NO\r");
  EXPECT_EQ(reader.ActiveFault(), Fault::None);
  EXPECT_EQ(Exchange(reader, kFirstOf12345), Accepted(kFirstOf12345));
}

}  // namespace
}  // namespace sim
