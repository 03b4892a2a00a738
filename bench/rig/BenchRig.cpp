#include "bench/rig/BenchRig.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "download/EhxMaker.h"
#include "download/EhxRecord.h"
#include "framework/headless/HeadlessHost.h"
#include "resources/Resource.h"

namespace bench {

// ---------------------------------------------------------------------------------------
// Figures

namespace {

// Small figures keep four decimals, so that seconds per block still show milliseconds.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 10 && value > -10 ? "%.4f" : "%.1f", value);
  return text;
}

void PrintLine(const std::string& name, double value, const std::string& unit, double limit,
               const std::string& limitName, double ratio) {
  std::printf("%-48s %10s %-4s limit %10s %-4s %-36s ratio %5.2f\n", name.c_str(), Number(value).c_str(), unit.c_str(),
              Number(limit).c_str(), unit.c_str(), ("(" + limitName + ")").c_str(), ratio);
  std::fflush(stdout);
}

}  // namespace

void PrintFigure(const std::string& name, double value, const std::string& unit, double limit,
                 const std::string& limitName) {
  PrintLine(name, value, unit, limit, limitName, limit > 0 ? value / limit : 0.0);
}

void PrintRate(const std::string& name, double value, const std::string& unit, double limit,
               const std::string& limitName) {
  PrintLine(name, value, unit, limit, limitName, value > 0 ? limit / value : 0.0);
}

void PrintInfo(const std::string& name, double value, const std::string& unit) {
  std::printf("%-48s %10s %-4s\n", name.c_str(), Number(value).c_str(), unit.c_str());
  std::fflush(stdout);
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0.0;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(p * static_cast<double>(samples.size()));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double WireMs(double bytes) { return bytes * 10.0 * 1000.0 / 9600.0; }

// ---------------------------------------------------------------------------------------
// CPU time

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ThreadCpuSeconds(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  unsigned long long ns = 0;
  in >> ns;
  return static_cast<double>(ns) / 1e9;
}

std::set<pid_t> Threads() {
  std::set<pid_t> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec))
    out.insert(static_cast<pid_t>(std::atol(entry.path().filename().c_str())));
  return out;
}

long VoluntarySwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

long PeakRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Loops

namespace {

class HeadlessLoop : public Loop {
 public:
  fw::IHost& Host() override { return host_; }
  std::string Name() const override { return "headless"; }
  bool RunUntil(const std::function<bool()>& done, uint64_t maxMs) override { return host_.RunUntil(done, maxMs); }
  void SetBoxAnswer(BoxAnswer answer) override {
    host_.SetMessageBoxHook([answer](const fw::MessageBoxRecord& box) { return answer(box.caption, box.text); });
  }

 private:
  fw::HeadlessHost host_{fw::HeadlessHost::ClockKind::Real};
};

}  // namespace

std::unique_ptr<Loop> MakeLoop(const std::string& host) {
  if (host == "qt") return MakeQtLoop();
  return std::make_unique<HeadlessLoop>();
}

std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (argv[i] == name) return argv[i + 1];
  return fallback;
}

long ArgNumber(int argc, char** argv, const std::string& name, long fallback) {
  const std::string text = Arg(argc, argv, name, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return end && *end == '\0' && value > 0 ? value : fallback;
}

bool HasFlag(int argc, char** argv, const std::string& name) {
  for (int i = 1; i < argc; ++i)
    if (argv[i] == name) return true;
  return false;
}

// ---------------------------------------------------------------------------------------
// Key output

namespace {

// The key the receive tick injects while the scan button is held; it is no key of a code.
constexpr uint8_t kScanKeyVk = CMainDialog::kScanKeyVk;

}  // namespace

void StampingKeyOutput::Stamp() {
  if (!first_) {
    first_ = Clock::now();
    ++codes_;
  }
}

void StampingKeyOutput::KeybdEvent(uint8_t vk, uint8_t, uint32_t, uintptr_t) {
  if (vk != kScanKeyVk) Stamp();
}

bool StampingKeyOutput::PostKeybdMessage(intptr_t, unsigned, unsigned, unsigned, const unsigned*, const uint32_t*) {
  Stamp();
  return true;
}

// ---------------------------------------------------------------------------------------
// The main window against the emulator

namespace {

std::filesystem::path MakeTempDir() {
  static std::atomic<int> counter{0};
  auto path = std::filesystem::temp_directory_path() /
              ("pelmor-bench-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path);
  return path;
}

// The start-up chain sends 'V', then 'C' 300 ms after the version report; the reply to 'C'
// comes within a few receive ticks.
constexpr uint64_t kStartBudgetMs = 5000;
constexpr uint64_t kConfigReplyMs = 400;

}  // namespace

AppRig::AppRig(Loop& loop, RigOptions options)
    : loop_(loop), options_(options), dir_(MakeTempDir()), server_(options.server) {}

AppRig::~AppRig() {
  Close();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

bool AppRig::Start() {
  const std::set<pid_t> before = Threads();
  if (server_.Start() != 0) {
    std::fprintf(stderr, "emulator: %s\n", server_.ErrorText().c_str());
    return false;
  }
  std::string port = server_.SlavePath();
  if (options_.relay) {
    if (relay_.Start(port, options_.paceToReader) != 0) {
      std::fprintf(stderr, "relay: %s\n", relay_.ErrorText().c_str());
      return false;
    }
    port = relay_.SlavePath();
  }
  for (pid_t t : Threads())
    if (!before.count(t)) rigThreads_.insert(t);

  serial_ = std::make_unique<platform::PosixSerialPorts>(port);
  supply_ = std::make_unique<device::SimPins>([this](bool on) { server_.SetPowered(on); },
                                              [this] { return server_.IsPowered(); });
  fw::IHost* host = &loop_.Host();
  if (options_.skipSleeps) {
    sleepless_ = std::make_unique<SleeplessHost>(loop_.Host());
    host = sleepless_.get();
  }
  dlg_ = std::make_unique<CMainDialog>(*host, MainDialogServices{*serial_, hotKeys, keys, sound, *supply_, dir_});
  if (!dlg_->Create(nullptr) || dlg_->OpenFailed()) {
    std::fprintf(stderr, "the main window did not start\n");
    return false;
  }
  dlg_->ShowWindow(true);
  auto asked = [this] {
    for (const auto& line : server_.ReceivedLines())
      if (line == "C") return true;
    return false;
  };
  if (!loop_.RunUntil(asked, kStartBudgetMs)) {
    std::fprintf(stderr, "the start-up chain did not reach the configuration:\n%s\n", Log().c_str());
    return false;
  }
  loop_.RunFor(kConfigReplyMs);
  return true;
}

void AppRig::Close() {
  if (dlg_) {
    dlg_->DestroyWindow();
    loop_.Settle();
    dlg_.reset();
    loop_.Settle();
  }
  relay_.Stop();
  server_.Stop();
}

std::string AppRig::Log() const { return dlg_ ? fw::ToUtf8(dlg_->GetDlgItemText(res::IDC_LOG)) : std::string(); }

double AppRig::ProgramCpuSeconds() const {
  double cpu = ProcessCpuSeconds();
  for (pid_t t : rigThreads_) cpu -= ThreadCpuSeconds(t);
  return cpu;
}

bool WriteFirmwareFile(const std::filesystem::path& path, size_t records, size_t splitRecord) {
  std::vector<uint8_t> image(records * download::kContentBytes);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + i / 256);
  download::EhxMakeOptions options;
  options.keys = download::EhxMakeOptions::Keys::Random;
  options.seed = 7;
  options.splitRecord = splitRecord;
  std::vector<uint8_t> file;
  std::string error;
  if (!download::MakeEhx(image, options, file, error)) {
    std::fprintf(stderr, "firmware file: %s\n", error.c_str());
    return false;
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return out.good();
}

}  // namespace bench
