// Idle cost: CPU time the program uses per second of wall time while it waits, connected to
// the emulator, in these situations one after the other (each the median of three windows):
//   - the main window shown, connected and idle;
//   - hidden, waiting for the scan button (the keyboard wedge's usual state);
//   - with a Write Tag and a Download Firmware dialog open and idle;
//   - after a finished download whose success question was answered Yes (the dialog closes);
//   - after a finished download answered No: the dialog stays open and idle, its 1 ms step
//     timer stopped until the next "Download".
// The CPU time is that of the whole process (getrusage) less the threads of the emulator
// and the relay, which stand in for the reader and are no part of the program. With the Qt
// host the windows are real Qt widgets on Qt's offscreen platform (QT_QPA_PLATFORM), so
// everything but the X connection is included.
//
//   bench_idle [--host qt|headless] [--seconds S]

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "bench/rig/BenchRig.h"
#include "download/DownloadDialog.h"
#include "download/DownloadStates.h"
#include "resources/Resource.h"
#include "writetag/WriteTagDialog.h"

using namespace bench;

namespace {

constexpr double kGoalPercent = 0.3;
constexpr char kFileName[] = "idle.EHX";
constexpr size_t kRecords = 20;
constexpr char16_t kSuccess[] = u"Hex file successfuly downloaded. Close Routine?";

struct Idle {
  double percent;  // CPU time per wall time
  double wakeUps;  // of the program's thread, per second
};

// The median of three windows of a third of the time each, so that a burst of other work
// on the machine spoils at most one of them.
Idle Measure(AppRig& rig, long seconds) {
  // Whatever the last step left behind settles first.
  rig.LoopOf().RunFor(1000);
  const uint64_t windowMs = std::max<uint64_t>(1000, static_cast<uint64_t>(seconds) * 1000 / 3);
  std::vector<double> percents, wakeUps;
  for (int i = 0; i < 3; ++i) {
    const double cpu0 = rig.ProgramCpuSeconds();
    const long switches0 = VoluntarySwitches();
    const Clock::time_point t0 = Clock::now();
    rig.LoopOf().RunFor(windowMs);
    const double cpu = rig.ProgramCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    percents.push_back(100.0 * cpu / wall);
    wakeUps.push_back(static_cast<double>(VoluntarySwitches() - switches0) / wall);
  }
  return {Percentile(percents, 0.5), Percentile(wakeUps, 0.5)};
}

void Print(const std::string& what, const Idle& idle) {
  PrintFigure("idle CPU, " + what, idle.percent, "%", kGoalPercent, "goal 0.3 % of one core");
  PrintInfo("  wake-ups per second, " + what, idle.wakeUps, "1/s");
}

bool Download(AppRig& rig, bool closeAfter) {
  CMainDialog& dlg = rig.Dialog();
  bool succeeded = false;
  rig.LoopOf().SetBoxAnswer([&](const std::u16string&, const std::u16string& text) {
    if (text == kSuccess) {
      succeeded = true;
      return closeAfter ? fw::IDYES : fw::IDNO;
    }
    return fw::IDNO;
  });
  dlg.DispatchCommand(res::IDC_FIRMWARE, fw::Notify::Clicked);
  CDownloadDialog* dl = dlg.DownloadDialog();
  if (!dl) return false;
  dl->DispatchCommand(res::IDC_DL_DOWNLOAD, fw::Notify::Clicked);
  const bool ended = rig.LoopOf().RunUntil(
      [&] { return succeeded && (!dl->IsWindow() || dl->m_nState == download::DL_STATE_IDLE); }, 30000);
  rig.LoopOf().SetBoxAnswer(nullptr);
  return ended && succeeded;
}

int Run(Loop& loop, long seconds) {
  RigOptions options;
  options.relay = true;  // the same threads in every run, so none of them is counted
  AppRig rig(loop, options);
  if (!WriteFirmwareFile(rig.Dir() / kFileName, kRecords, kRecords / 2)) return 1;
  if (!rig.Start()) return 1;
  CMainDialog& dlg = rig.Dialog();
  const std::string tag = " [" + loop.Name() + "]";

  Print("main window connected" + tag, Measure(rig, seconds));

  dlg.DispatchCommand(res::IDC_WRITE_TAG, fw::Notify::Clicked);
  dlg.DispatchCommand(res::IDC_FIRMWARE, fw::Notify::Clicked);
  if (!dlg.WriteTagDialog() || !dlg.DownloadDialog()) {
    std::fprintf(stderr, "the secondary dialogs did not open\n");
    return 1;
  }
  Print("Write Tag + Download open" + tag, Measure(rig, seconds));
  dlg.WriteTagDialog()->DestroyWindow();
  dlg.DownloadDialog()->DestroyWindow();
  loop.Settle();

  if (!Download(rig, true)) {
    std::fprintf(stderr, "the first download did not succeed\n");
    return 1;
  }
  Print("after a download (closed)" + tag, Measure(rig, seconds));

  if (!Download(rig, false)) {
    std::fprintf(stderr, "the second download did not succeed\n");
    return 1;
  }
  Print("after a download (left open)" + tag, Measure(rig, seconds));
  dlg.DownloadDialog()->DestroyWindow();
  loop.Settle();

  dlg.EnterHiddenMode();
  Print("hidden, waiting for the scan key" + tag, Measure(rig, seconds));
  rig.Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string host = Arg(argc, argv, "--host", "qt");
  const long seconds = ArgNumber(argc, argv, "--seconds", 10);
  std::unique_ptr<QApplication> app;
  if (host == "qt") app = std::make_unique<QApplication>(argc, argv);
  auto loop = MakeLoop(host);
  return Run(*loop, seconds);
}
