// The log: what one AppendLog costs once the log is long, and whether memory stays bounded
// over many reads.
//
// Reads: each read hands the two lines a read brings, "S1" and a tag line, to the main
// window's line handler, as the receive tick does, and lets the host process what they
// caused (layout and painting with the Qt host). The fixed 10 ms wait before a tag is shown
// is skipped here: it costs time, not work or memory.
//
// Appends: 100,000 lines go into the log, then single appends are timed, each including the
// events it causes. The limit is the cost of the same append into an empty log: an append
// should cost the same however much the log holds.
//
//   bench_log [--host qt|headless] [--lines N] [--reads N]

#include <time.h>

#include <QApplication>
#include <cstdio>
#include <memory>

#include "bench/rig/BenchRig.h"
#include "resources/Resource.h"

using namespace bench;

namespace {

constexpr char16_t kLine[] = u"Tag found! (999000012345678) \r\n";
constexpr long kTimedAppends = 500;
constexpr long kFullLogReads = 2000;  // the log is at its bound long before this

// CPU time of this thread, which runs the whole program.
double CpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The events an append leaves behind (layout, painting) are part of its cost.
void Settle(Loop& loop) { loop.RunFor(0); }

int Run(Loop& loop, long lines, long reads) {
  RigOptions options;
  options.skipSleeps = true;
  AppRig rig(loop, options);
  if (!rig.Start()) return 1;
  CMainDialog& dlg = rig.Dialog();
  const std::string tag = " [" + loop.Name() + "]";

  // Memory over reads.
  const std::string tagLine = sim::ReaderEmulator::TagLine({"08", "999000012345678"});
  long peakFull = 0;
  for (long i = 0; i < reads; ++i) {
    dlg.OnReaderLine("S1");
    dlg.OnReaderLine(tagLine);
    Settle(loop);
    if (i + 1 == kFullLogReads) peakFull = PeakRssKiB();
  }
  if (peakFull == 0) peakFull = PeakRssKiB();
  PrintFigure("peak RSS after " + std::to_string(reads) + " reads" + tag, static_cast<double>(PeakRssKiB()), "KiB",
              static_cast<double>(peakFull), "peak once the log is full (2,000)");

  // One append into an empty log.
  std::vector<double> empty;
  for (long i = 0; i < kTimedAppends; ++i) {
    dlg.OnClear();
    Settle(loop);
    const double t0 = CpuMs();
    dlg.AppendLog(kLine);
    Settle(loop);
    empty.push_back(CpuMs() - t0);
  }
  const double emptyMs = Percentile(empty, 0.5);

  // The log filled with lines, then single appends.
  dlg.OnClear();
  const Clock::time_point fillStart = Clock::now();
  for (long i = 0; i < lines; ++i) {
    dlg.AppendLog(kLine);
    if (i % 100 == 0) Settle(loop);
  }
  Settle(loop);
  const double fillSeconds = std::chrono::duration<double>(Clock::now() - fillStart).count();
  std::vector<double> full;
  for (long i = 0; i < kTimedAppends; ++i) {
    const double t0 = CpuMs();
    dlg.AppendLog(kLine);
    Settle(loop);
    full.push_back(CpuMs() - t0);
  }
  const std::string after = "AppendLog after " + std::to_string(lines) + " lines";
  PrintFigure(after + " p50" + tag, Percentile(full, 0.5), "ms", emptyMs, "the same into an empty log");
  PrintFigure(after + " p99" + tag, Percentile(full, 0.99), "ms", emptyMs, "the same into an empty log");
  PrintInfo("AppendLog into an empty log p50" + tag, emptyMs, "ms");
  PrintInfo("log filling, " + std::to_string(lines) + " appends" + tag, fillSeconds, "s");
  PrintInfo("log length" + tag, static_cast<double>(dlg.GetDlgItemText(res::IDC_LOG).size()), "char");
  rig.Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string host = Arg(argc, argv, "--host", "qt");
  const long lines = ArgNumber(argc, argv, "--lines", 100000);
  const long reads = ArgNumber(argc, argv, "--reads", 20000);
  std::unique_ptr<QApplication> app;
  if (host == "qt") app = std::make_unique<QApplication>(argc, argv);
  auto loop = MakeLoop(host);
  return Run(*loop, lines, reads);
}
