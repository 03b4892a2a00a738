#include "link/LineAssembler.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace {

using readerlink::LineAssembler;
using Result = LineAssembler::ReadResult;

// A port whose buffer the test fills between ticks.
struct Port {
  std::deque<uint8_t> bytes;
  bool fail = false;
  int reads = 0;
  void Add(const std::string& s) {
    for (char c : s) bytes.push_back(static_cast<uint8_t>(c));
  }
  LineAssembler::ReadByte Reader() {
    return [this](uint8_t& b) {
      ++reads;
      if (fail) return Result::Failed;
      if (bytes.empty()) return Result::Empty;
      b = bytes.front();
      bytes.pop_front();
      return Result::Byte;
    };
  }
};

// Runs ticks until the port is empty and a few more, collecting every line delivered.
std::vector<std::string> Drain(LineAssembler& a, Port& p, int ticks = 8) {
  std::vector<std::string> lines;
  for (int i = 0; i < ticks; ++i)
    if (auto line = a.Tick(p.Reader())) lines.push_back(*line);
  return lines;
}

TEST(LineAssembler, DeliversOneLinePerTick) {
  LineAssembler a;
  Port p;
  p.Add("S1\r0812345\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("S1"));
  // The second line is still in the port's buffer after the first tick.
  EXPECT_EQ(p.bytes.size(), 8u);
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("0812345"));
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
}

TEST(LineAssembler, LineStraddlingTicksIsDeliveredWhole) {
  // Dropping the first part would turn "0812345678" into "345678", a line of another type.
  LineAssembler a;
  Port p;
  p.Add("0812");
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  EXPECT_TRUE(a.HasPartial());
  p.Add("345678\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("0812345678"));
  EXPECT_FALSE(a.HasPartial());
}

struct Case {
  const char* name;
  std::string input;
  std::vector<std::string> lines;
};

class LineAssemblerCases : public ::testing::TestWithParam<Case> {};

TEST_P(LineAssemblerCases, Lines) {
  LineAssembler a;
  Port p;
  p.Add(GetParam().input);
  EXPECT_EQ(Drain(a, p), GetParam().lines);
}

const std::string k34(34, 'A');
const std::string k35(35, 'B');

INSTANTIATE_TEST_SUITE_P(
    Edges, LineAssemblerCases,
    ::testing::Values(Case{"LoneCarriageReturn", "\r", {""}},
                      Case{"LineFeedStartsNextLine", "V1\r\nX2\r", {"V1", "\nX2"}},
                      Case{"LongestLine", k34 + "\r", {k34}},
                      // 35 bytes without a carriage return are no line; what follows them is one of its own.
                      Case{"OverlongDroppedCarriageReturnAloneFollows", k35 + "\r", {""}},
                      Case{"OverlongThenRestIsALine", k35 + "CCC\rS0\r", {"CCC", "S0"}},
                      Case{"RunOfEmptyLinesHandsOverOne", "\r\r\r\r0812\r\r", {"", "0812", ""}},
                      Case{"ZeroByteEndsTheText", std::string("08AB\0CD\r", 8), {"08AB"}},
                      Case{"NothingWithoutCarriageReturn", "0812345", {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LineAssembler, PartialLineThatAWholeTickLeftAloneIsDropped) {
  // A stray byte (a power-on glitch) used to be glued in front of the next real line.
  LineAssembler a;
  Port p;
  p.Add("\xFF");
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  EXPECT_FALSE(a.HasPartial());
  p.Add("V1\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("V1"));
}

TEST(LineAssembler, EmptyLinesBehindEachOtherCostNoTicks) {
  // Four hundred bare carriage returns used to hold a tag back for 400 ticks (20 s).
  LineAssembler a;
  Port p;
  p.Add(std::string(400, '\r') + "0812345\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>(""));
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("0812345"));
  // An empty line after a pause is a line of its own again.
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  p.Add("\r\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>(""));
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
}

TEST(LineAssembler, ReadFailureDropsPartialLine) {
  LineAssembler a;
  Port p;
  p.Add("0812");
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  p.fail = true;
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  p.fail = false;
  p.Add("34\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("34"));
}

TEST(LineAssembler, ResetForgetsPartialLine) {
  LineAssembler a;
  Port p;
  p.Add("0812");
  EXPECT_EQ(a.Tick(p.Reader()), std::nullopt);
  a.Reset();
  p.Add("S1\r");
  EXPECT_EQ(a.Tick(p.Reader()), std::optional<std::string>("S1"));
}

TEST(LineAssembler, TickReadsABoundedNumberOfBytes) {
  LineAssembler a;
  Port p;
  p.Add(std::string(1000, 'Z'));
  a.Tick(p.Reader());
  EXPECT_EQ(p.reads, static_cast<int>(LineAssembler::kBufferBytes));
  p.bytes.clear();
  p.Add(std::string(5000, '\r'));
  a.Tick(p.Reader());
  p.reads = 0;
  a.Tick(p.Reader());
  EXPECT_EQ(p.reads, static_cast<int>(LineAssembler::kMaxReadsPerTick));
}

}  // namespace
