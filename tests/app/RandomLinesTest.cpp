// Reader lines are outside input: any line of 0 to 34 bytes is handled without a crash or
// a read out of bounds (the sanitizers watch), in every state the main window can be in.

#include <gtest/gtest.h>

#include <random>

#include "tests/app/Rig.h"
#include "download/DownloadDialog.h"
#include "writetag/WriteTagDialog.h"

namespace {

using namespace res;
using testing_rig::Rig;

std::string RandomLine(std::mt19937& rng) {
  // Lines start with every possible byte, with a bias towards the letters that select a
  // handling, so each branch sees many odd lines.
  static const char kFirst[] = "VSXCRcrIw0812A";
  std::uniform_int_distribution<int> len(0, 34);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string line(static_cast<size_t>(len(rng)), '\0');
  for (auto& c : line) c = static_cast<char>(byte(rng));
  if (!line.empty() && byte(rng) < 160) line[0] = kFirst[static_cast<size_t>(byte(rng)) % (sizeof kFirst - 1)];
  return line;
}

TEST(RandomLines, AnyLineInAnyStateIsHandled) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 8; ++round) {
    Rig r;
    r.Start();
    r.dlg->m_bTypeConfig = (round & 1) != 0;
    r.dlg->m_bHidden = (round & 2) != 0;
    r.SetCheck(IDC_NO_SPACE, (round & 4) != 0);
    r.SetCheck(IDC_PREFIX, true);
    r.dlg->m_editPrefix.SetWindowText(u"41:zz::1FF");
    if (round & 1) {
      r.Click(IDC_WRITE_TAG);
      r.Click(IDC_FIRMWARE);
    }
    r.Click(IDC_WRITE);  // echo checks have a command to compare with
    for (int i = 0; i < 1500; ++i) r.dlg->OnReaderLine(RandomLine(rng));
    // Still a working window: a known line does what it should.
    r.dlg->m_bHidden = false;
    r.ClearLog();
    r.SetCheck(IDC_NO_SPACE, false);
    r.dlg->OnReaderLine("Xok");
    EXPECT_EQ(r.Log(), "Reset Reader:\r\nXok");
  }
}

TEST(RandomLines, ByteStreamThroughTheReceiveLoop) {
  std::mt19937 rng(7);
  Rig r;
  r.Start();
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> chunk(0, 80);
  for (int i = 0; i < 400; ++i) {
    std::string bytes(static_cast<size_t>(chunk(rng)), '\0');
    for (auto& c : bytes) c = byte(rng) < 20 ? '\r' : static_cast<char>(byte(rng));
    r.Feed(bytes);
    r.Ticks(1);
  }
  // One line per tick: the rest of the stream is read out first (bounded: every tick takes
  // at least one byte while bytes are pending).
  for (int i = 0; i < 20000 && r.serial.Pending() > 0; ++i) r.Ticks(1);
  ASSERT_EQ(r.serial.Pending(), 0u);
  r.Feed("\rXend\r");
  r.Ticks(3);
  const std::string log = r.Log();
  EXPECT_EQ(log.substr(log.size() - std::string("Reset Reader:\r\nXend").size()), "Reset Reader:\r\nXend");
}

}  // namespace
