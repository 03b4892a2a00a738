// CPU time of one receive tick of the main window (Google Benchmark): a tick with nothing to
// read, and a tick that reads one tag line and handles it, on both hosts.
//
// The main window is connected to a pseudo-terminal whose other end this program holds, so
// each tick makes its real system calls. Before a line tick the line is written into the
// terminal (not timed) and the benchmark waits until the program's side can read it. The
// log is filled to its bound first, as after a long session. The fixed 10 ms wait before a
// tag is shown is skipped: it is time, not CPU; so are the 50 ms that keep a line from
// following the one before sooner (the host's clock is moved on by them, untimed). Painting
// is not part of a tick; it happens later in the event loop (see bench_log for an append
// with its painting).
//
// The figures printed after the benchmark's own table compare a tick with nothing to read
// to its share of the idle goal (0.3 % of one core at 20 ticks per second, 150 us) and a
// tick with a line to the receive period it must end within.
//
//   bench_tick [benchmark options]

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <array>
#include <cstdlib>
#include <map>

#include <benchmark/benchmark.h>

#include "bench/rig/BenchRig.h"
#include "framework/headless/HeadlessHost.h"
#include "resources/Resource.h"
#include "platform/linux/UniqueFd.h"

using namespace bench;

namespace {

constexpr double kIdleTickBudgetUs = 0.003 * 1e6 / (1000.0 / CMainDialog::kReceivePeriodMs);
constexpr double kLineTickBudgetUs = CMainDialog::kReceivePeriodMs * 1000.0;
constexpr int kFullLogLines = 3000;

class TickRig {
 public:
  explicit TickRig(fw::IHost& host) : host_(host) {}

  bool Start() {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    std::array<char, 128> path{};
    if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0 ||
        ::ptsname_r(master_.Get(), path.data(), path.size()) != 0)
      return false;
    // Held open so that the terminal never hangs up, and polled to see when a line written
    // into the master can be read on the program's side.
    slave_.Reset(::open(path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios t{};
    if (!slave_.Valid() || ::tcgetattr(slave_.Get(), &t) != 0) return false;
    ::cfmakeraw(&t);
    ::tcsetattr(slave_.Get(), TCSANOW, &t);
    serial_ = std::make_unique<platform::PosixSerialPorts>(path.data());
    dlg_ = std::make_unique<CMainDialog>(
        host_, MainDialogServices{*serial_, hotKeys_, keys_, sound_, pins_, std::filesystem::temp_directory_path()});
    if (!dlg_->Create(nullptr) || dlg_->m_hComm == 0) return false;
    dlg_->ShowWindow(true);
    for (int i = 0; i < kFullLogLines; ++i) dlg_->AppendLog(u"Tag found! (999000012345678) \r\n");
    Drain();
    return true;
  }

  void Close() {
    if (dlg_) dlg_->DestroyWindow();
    dlg_.reset();
  }

  // Puts a line into the terminal and waits until the program could read it.
  void Feed(const std::string& bytes) {
    [[maybe_unused]] const ssize_t n = ::write(master_.Get(), bytes.data(), bytes.size());
    pollfd p{slave_.Get(), POLLIN, 0};
    ::poll(&p, 1, 1000);
  }

  // Throws away what the program sent.
  void Drain() {
    std::array<char, 256> buffer{};
    while (::read(master_.Get(), buffer.data(), buffer.size()) > 0) {
    }
  }

  CMainDialog& Dialog() { return *dlg_; }
  void SkipReceivePeriod() { host_.SkipTime(CMainDialog::kReceivePeriodMs); }

 private:
  SleeplessHost host_;
  platform::UniqueFd master_;
  platform::UniqueFd slave_;
  std::unique_ptr<platform::PosixSerialPorts> serial_;
  platform::FakeHotKeys hotKeys_;
  StampingKeyOutput keys_;
  SilentSound sound_;
  device::AlwaysOnPins pins_;
  std::unique_ptr<CMainDialog> dlg_;
};

void TickNothingToRead(benchmark::State& state, TickRig* rig) {
  for (auto _ : state) rig->Dialog().OnTimer(CMainDialog::kReceiveTimerId);
}

void TickOneLine(benchmark::State& state, TickRig* rig) {
  const std::string line = sim::ReaderEmulator::TagLine({"08", "999000012345678"}) + "\r";
  for (auto _ : state) {
    state.PauseTiming();
    rig->Feed(line);
    rig->SkipReceivePeriod();
    state.ResumeTiming();
    rig->Dialog().OnTimer(CMainDialog::kReceiveTimerId);
  }
  if (rig->Dialog().GetDlgItemText(res::IDC_CODE).find(u"999000012345678") == std::u16string::npos)
    state.SkipWithError("the tag was not shown");
}

// The console table as usual, and the CPU time of each run kept for the figure lines.
class Reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> cpuUs;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      // The name without the "/iterations:N" the benchmark library adds.
      const std::string name = run.benchmark_name();
      cpuUs[name.substr(0, name.find('/'))] = run.cpu_accumulated_time / static_cast<double>(run.iterations) * 1e6;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);

  fw::HeadlessHost headless(fw::HeadlessHost::ClockKind::Real);
  auto qt = MakeQtLoop();
  TickRig onHeadless(headless);
  TickRig onQt(qt->Host());
  if (!onHeadless.Start() || !onQt.Start()) {
    std::fprintf(stderr, "the main window could not connect to its terminal\n");
    return 1;
  }
  for (auto [name, rig] : {std::pair{"headless", &onHeadless}, std::pair{"qt", &onQt}}) {
    benchmark::RegisterBenchmark((std::string("tick, nothing to read [") + name + "]").c_str(), TickNothingToRead, rig)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("tick, one tag line [") + name + "]").c_str(), TickOneLine, rig)
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(2000);
  }
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  onHeadless.Close();
  onQt.Close();
  qt->Settle();

  std::printf("\n");
  for (const auto& [name, us] : reporter.cpuUs) {
    const bool idle = name.find("nothing") != std::string::npos;
    PrintFigure(name + " CPU", us, "us", idle ? kIdleTickBudgetUs : kLineTickBudgetUs,
                idle ? "0.3 % of a core / 20 ticks" : "the 50 ms receive period");
  }
  return 0;
}
