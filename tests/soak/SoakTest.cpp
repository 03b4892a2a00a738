// A long day at the scanner: the program in hidden mode takes tag reads in bursts, the
// reader's lines split at random over the receive ticks, and every code reaches the key
// output exactly once, unchanged, with its prefix and suffix keys, while nothing is typed
// for a tag of unknown type and the program's memory stays flat.
//
// The count of reads comes from PELMOR_SOAK_READS (`make soak` asks for 20,000; ctest alone
// runs a short day). The reader is the fake serial port on the headless host's virtual
// clock: the same receive tick, line assembly, line handling and key output as over a real
// line, but without the 150 ms power-on wait and the 9600 baud pacing that would make
// 20,000 reads last more than an hour, and with full control over where lines are cut.

#include <malloc.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/StdinHotKeys.h"
#include "framework/headless/HeadlessTerminal.h"
#include "platform/NullKeyOutput.h"
#include "tests/app/Rig.h"

#if defined(__SANITIZE_ADDRESS__)
#define PELMOR_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELMOR_SOAK_ASAN 1
#endif
#endif

#ifdef PELMOR_SOAK_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using namespace res;
using testing_rig::Rig;

constexpr int kDefaultReads = 3000;
// Growth of the heap allowed between the end of the warm-up and the end of the day: room
// for allocator rounding, far below what one byte kept per read would add up to.
constexpr size_t kHeapSlackBytes = 4 * 1024;

// Bytes in use on the heap: the sanitizer's count where it replaces malloc, else glibc's.
// glibc counts the chunks its per-thread cache holds back as in use, and that cache fills
// slowly with chunks of every size over a long run; with the cache off (GLIBC_TUNABLES
// glibc.malloc.tcache_count=0, which the ctest entry sets) the count is exact.
bool HeapCountIsExact() {
#ifdef PELMOR_SOAK_ASAN
  return true;
#else
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return tunables && std::string(tunables).find("glibc.malloc.tcache_count=0") != std::string::npos;
#endif
}

size_t HeapInUse() {
#ifdef PELMOR_SOAK_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

size_t ResidentBytes() {
  long pages = 0;
  long resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

int ReadsAsked() {
  const char* text = std::getenv("PELMOR_SOAK_READS");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : kDefaultReads;
}

// Known type codes, and type codes that are none (the table compares exactly, so case and
// blanks count); none of them starts a line of another kind.
const char* const kKnownTypes[] = {"80", "40", "20", "13", "15", "17", "08", "04", "02", "01", "A0", "A7", "0F", "00"};
const char* const kUnknownTypes[] = {"99", "0A", "a0", "A1", "FF", "8 ", "10", "ZZ"};

char CheckCharacter(const std::string& text) {
  unsigned x = 0;
  for (char c : text) x ^= static_cast<unsigned char>(c);
  return "0123456789ABCDEF"[x & 15];
}

// The key output without the key-down events that holding the scan button injects every
// 600 ms in hidden mode: they belong to the button, not to a code.
std::u32string WithoutScanKeyEvents(std::u32string stream) {
  const std::u32string event = U"<5F>";
  for (size_t at = stream.find(event); at != std::u32string::npos; at = stream.find(event, at))
    stream.erase(at, event.size());
  return stream;
}

struct Day {
  std::mt19937 rng{20260412};
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

  // A code as readers send them: mostly digits, some letters and blanks, 1 to 31 characters.
  std::string Code() {
    static const char kChars[] = "0123456789012345678901234567890123456789ABCDEFXYZ abc";
    std::string code(static_cast<size_t>(Pick(1, 31)), '0');
    for (char& c : code) c = kChars[Pick(0, sizeof kChars - 2)];
    return code;
  }
  std::string TagLine(const char* type, const std::string& code) {
    const std::string text = type + code;
    return text + CheckCharacter(text) + "\r";
  }
};

TEST(Soak, EveryCodeIsTypedOnceAndMemoryStaysFlat) {
  ASSERT_TRUE(HeapCountIsExact()) << "run through ctest, or with GLIBC_TUNABLES=glibc.malloc.tcache_count=0";
  const int reads = ReadsAsked();
  // The first half is the warm-up, in which whatever the program keeps within bounds
  // reaches its full size; the second half is measured.
  const int warmUp = reads / 2;
  Rig r;
  r.Start();
  // Escape before each code and Enter after it, as a wedge set-up would have it.
  r.SetCheck(IDC_PREFIX, true);
  r.dlg->m_editPrefix.SetWindowText(u"1B");
  r.SetCheck(IDC_CR, true);
  r.Click(IDC_HIDE);
  ASSERT_TRUE(r.dlg->m_bHidden);
  r.host.ClearMessageBoxes();
  // The log starts full, so that its growth to its bound is no part of what is measured.
  r.dlg->AppendLog(std::u16string(CMainDialog::kMaxLogChars, u'.') + u"\r\n");

  Day day;
  int done = 0;
  int unknown = 0;
  size_t heapAfterWarmUp = 0;
  int measuredFrom = 0;
  size_t residentAfterWarmUp = 0;
  while (done < reads) {
    // One press of the scan button; the reader reports a burst of reads, with now and then
    // a tag of unknown type or a scan status among them.
    ASSERT_TRUE(r.hotKeys.Press(platform::VK_F24, true));
    std::string stream;
    std::u32string expected;
    const int burst = std::min(day.Pick(1, 8), reads - done);
    for (int i = 0; i < burst; ++i) {
      stream += "S1\r";
      if (day.Pick(0, 7) == 0) {
        stream += day.TagLine(kUnknownTypes[day.Pick(0, std::size(kUnknownTypes) - 1)], day.Code());
        ++unknown;
      }
      if (day.Pick(0, 15) == 0) stream += "SS\r";
      const std::string code = day.Code();
      stream += day.TagLine(kKnownTypes[day.Pick(0, std::size(kKnownTypes) - 1)], code);
      expected += U"<1B></1B>" + std::u32string(code.begin(), code.end()) + U"<0D></0D>";
    }
    // The bytes arrive in pieces of random size, one piece per tick, so lines are cut
    // anywhere, and more than one line may wait in the port.
    for (size_t at = 0; at < stream.size();) {
      const size_t piece = std::min(stream.size() - at, static_cast<size_t>(day.Pick(1, 48)));
      r.Feed(stream.substr(at, piece));
      at += piece;
      r.Ticks(1);
    }
    ASSERT_TRUE(r.hotKeys.Press(platform::VK_F24, false));
    // A line per tick: the rest is read within as many ticks as lines can be left.
    for (size_t n = r.serial.Pending() + 2; n > 0 && r.serial.Pending() > 0; --n) r.Ticks(1);
    r.Ticks(1);
    ASSERT_EQ(r.serial.Pending(), 0u);
    ASSERT_EQ(WithoutScanKeyEvents(r.keys.stream), expected) << "after " << done << " reads";
    done += burst;

    // The test's own records start afresh, with their memory given back, so that whatever
    // grows is the program's.
    r.keys = platform::RecordingKeyOutput();
    r.sound = platform::RecordingSound();
    std::vector<bool>().swap(r.supply.calls);
    std::vector<unsigned>().swap(r.host.sleeps);
    r.serial.ClearWritten();
    if (measuredFrom == 0 && done >= warmUp) {
      measuredFrom = done;
      heapAfterWarmUp = HeapInUse();
      residentAfterWarmUp = ResidentBytes();
    }
  }
  EXPECT_TRUE(r.host.MessageBoxes().empty());
  EXPECT_TRUE(r.dlg->m_bHidden);
  EXPECT_LE(r.dlg->GetDlgItemText(IDC_LOG).size(), CMainDialog::kMaxLogChars);

  const size_t heapAtEnd = HeapInUse();
  const size_t residentAtEnd = ResidentBytes();
#ifdef PELMOR_SOAK_ASAN
  // The sanitizer holds freed memory back for a while, so the resident size grows with it.
  const char* residentNote = " (with AddressSanitizer's quarantine)";
#else
  const char* residentNote = "";
#endif
  std::printf(
      "soak: %d reads, %d tags of unknown type; heap in use %zu -> %zu bytes, resident %zu -> %zu KiB%s "
      "(from read %d to the end)\n",
      done, unknown, heapAfterWarmUp, heapAtEnd, residentAfterWarmUp / 1024, residentAtEnd / 1024, residentNote,
      measuredFrom);
  EXPECT_LE(heapAtEnd, heapAfterWarmUp + kHeapSlackBytes);
}

// The headless terminal as `pelmor --headless --keys none` puts it together: the scan key
// from its standard input, a key output that types nothing, the log printed. Regression:
// --keys none used a recording output that kept every code for the program's whole life.
TEST(Soak, TerminalWithoutKeyOutputKeepsNothingPerRead) {
  ASSERT_TRUE(HeapCountIsExact()) << "run through ctest, or with GLIBC_TUNABLES=glibc.malloc.tcache_count=0";
  const int reads = ReadsAsked();
  fw::HeadlessHost host;
  std::ostringstream printed;
  fw::HeadlessTerminal terminal(host, printed);
  host.SetDefaultRetryLimit(3);
  platform::FakeSerialPorts serial;
  app::StdinHotKeys keys(app::StdinHotKeys::Source::Terminal);
  platform::NullKeyOutput output;
  platform::RecordingSound sound;
  testing_rig::FakeSupply supply;
  testing_rig::TempDir dir;
  CMainDialog dlg(host, {serial, keys, output, sound, supply, dir.Path()});
  dlg.SetLogObserver([&terminal](const fw::WString& text) { terminal.PrintLog(text); });
  dlg.Create(nullptr);
  dlg.ShowWindow(true);
  host.Advance(0);
  dlg.DispatchCommand(IDC_HIDE, fw::Notify::Clicked);
  ASSERT_TRUE(dlg.m_bHidden);
  // The log starts full: its growth to its bound is no part of what is measured.
  dlg.AppendLog(std::u16string(CMainDialog::kMaxLogChars, u'.') + u"\r\n");

  Day day;
  size_t heapAfterWarmUp = 0;
  std::string error;
  for (int done = 0; done < reads; ++done) {
    ASSERT_TRUE(keys.Press("F24", true, error)) << error;
    serial.Feed("S1\r" + day.TagLine("08", day.Code()));
    host.Advance(3 * CMainDialog::kReceivePeriodMs);
    ASSERT_TRUE(keys.Press("F24", false, error)) << error;
    ASSERT_EQ(serial.Pending(), 0u);
    // What the test itself keeps starts afresh; what grows is the program's.
    sound = platform::RecordingSound();
    std::vector<bool>().swap(supply.calls);
    serial.ClearWritten();
    printed.str({});
    if (done == reads / 2) heapAfterWarmUp = HeapInUse();
  }
  const size_t heapAtEnd = HeapInUse();
  std::printf("soak: terminal, %d reads; heap in use %zu -> %zu bytes (second half)\n", reads, heapAfterWarmUp,
              heapAtEnd);
  EXPECT_LE(heapAtEnd, heapAfterWarmUp + kHeapSlackBytes);
}

}  // namespace
