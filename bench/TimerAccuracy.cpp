// Timer accuracy of a host: how late the ticks of a window timer come against the times
// they are due. The receive timer's 50 ms and the procedures' 1 ms are measured on an
// empty dialog, so nothing but the host's loop is in the figures. Lateness is counted
// against the period from the tick before (the hosts start the next period when a tick
// fires), and a tick's lateness adds directly to the time a reader line waits to be read.
//
//   bench_timers [--host qt|headless] [--ticks N]

#include <QApplication>
#include <cstdio>
#include <memory>

#include "bench/rig/BenchRig.h"
#include "resources/Templates.h"

using namespace bench;

namespace {

class TickingDialog : public fw::CDialog {
 public:
  TickingDialog(fw::IHost& host) : fw::CDialog(host, res::DownloadTemplate()) {}
  std::vector<Clock::time_point> ticks;

 protected:
  void OnTimer(unsigned) override { ticks.push_back(Clock::now()); }
  void OnCancel() override {}
};

void Measure(Loop& loop, unsigned periodMs, long ticks) {
  TickingDialog dlg(loop.Host());
  dlg.Create(nullptr);
  dlg.ShowWindow(true);
  dlg.SetTimer(1, periodMs);
  loop.RunUntil([&] { return static_cast<long>(dlg.ticks.size()) > ticks; },
                static_cast<uint64_t>(ticks) * (periodMs + 20) + 2000);
  dlg.KillTimer(1);
  std::vector<double> late;
  for (size_t i = 1; i < dlg.ticks.size(); ++i) late.push_back(Ms(dlg.ticks[i] - dlg.ticks[i - 1]) - periodMs);
  dlg.DestroyWindow();
  loop.Settle();

  const std::string name = "timer " + std::to_string(periodMs) + " ms, tick lateness";
  const std::string tag = " [" + loop.Name() + "]";
  double sum = 0;
  for (double l : late) sum += l;
  PrintInfo(name + " mean" + tag, late.empty() ? 0 : sum / static_cast<double>(late.size()), "ms");
  PrintInfo(name + " p99" + tag, Percentile(late, 0.99), "ms");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string host = Arg(argc, argv, "--host", "qt");
  const long ticks = ArgNumber(argc, argv, "--ticks", 200);
  std::unique_ptr<QApplication> app;
  if (host == "qt") app = std::make_unique<QApplication>(argc, argv);
  auto loop = MakeLoop(host);
  Measure(*loop, CMainDialog::kReceivePeriodMs, ticks);
  Measure(*loop, 1, ticks * 10);
  return 0;
}
