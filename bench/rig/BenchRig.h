#pragma once
// What the benchmark programs share: the figure lines they print, CPU time of the process
// and of single threads, a message loop on either host, and the main window running
// against the reader emulator over a real pseudo-terminal.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "bench/rig/PtyRelay.h"
#include "device/ReaderPower.h"
#include "framework/Dialog.h"
#include "tests/fakes/FakeServices.h"
#include "platform/linux/PosixSerialPorts.h"
#include "sim/PtyServer.h"

namespace bench {

// ---------------------------------------------------------------------------------------
// Figures

// One line: the figure, its limit and the ratio figure / limit. A ratio below 1 is within
// the limit, except for rates (higher is better), where the ratio is limit / figure so that
// the reading stays the same: 1 is the limit, below it is better than the limit allows.
void PrintFigure(const std::string& name, double value, const std::string& unit, double limit,
                 const std::string& limitName);
// A figure without a limit of its own, for context.
void PrintInfo(const std::string& name, double value, const std::string& unit);
// A rate: higher is better; the ratio printed is limit / value.
void PrintRate(const std::string& name, double value, const std::string& unit, double limit,
               const std::string& limitName);

// The value below which a share p (0..1) of the samples lie; nearest rank.
double Percentile(std::vector<double> samples, double p);

double Ms(Clock::duration d);

// Wire time of n bytes at 9600 baud, 8N1, in milliseconds.
double WireMs(double bytes);

// ---------------------------------------------------------------------------------------
// CPU time

// User plus system time of the whole process, in seconds.
double ProcessCpuSeconds();
// The run time of one thread of this process, in seconds (scheduler statistics, ns exact).
double ThreadCpuSeconds(pid_t tid);
// The threads of this process now.
std::set<pid_t> Threads();
// Times the calling thread went to sleep of its own accord (waiting for an event or a
// time-out): each is followed by a wake-up.
long VoluntarySwitches();
// Peak resident set size of the process, in KiB.
long PeakRssKiB();
// Resident set size now, in KiB.
long RssKiB();

// ---------------------------------------------------------------------------------------
// A message loop on one of the hosts, in real time.

class Loop {
 public:
  virtual ~Loop() = default;
  virtual fw::IHost& Host() = 0;
  // "qt" or "headless".
  virtual std::string Name() const = 0;
  // Runs the host's loop until done() holds or maxMs pass; true if done. done() is looked
  // at whenever the loop has handled what was due.
  virtual bool RunUntil(const std::function<bool()>& done, uint64_t maxMs) = 0;
  void RunFor(uint64_t ms) {
    RunUntil([] { return false; }, ms);
  }
  // Every message box is answered by this function from its caption and text (IDYES, IDNO
  // or IDOK), as a user would answer it.
  using BoxAnswer = std::function<int(const std::u16string& caption, const std::u16string& text)>;
  virtual void SetBoxAnswer(BoxAnswer answer) = 0;
  // Lets the host finish with windows that were closed.
  virtual void Settle() {}
};

// "headless": the headless host on its real-time loop. "qt": the Qt host; a QApplication
// must exist (Qt's offscreen platform when there is no display).
std::unique_ptr<Loop> MakeLoop(const std::string& host);
std::unique_ptr<Loop> MakeQtLoop();

// Reads "--host qt|headless" style options: the value after name, or fallback.
std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback);
long ArgNumber(int argc, char** argv, const std::string& name, long fallback);
bool HasFlag(int argc, char** argv, const std::string& name);

// ---------------------------------------------------------------------------------------
// Key output that notes when the first key of a code was typed.

class StampingKeyOutput : public platform::IKeyOutput {
 public:
  // Forgets the last stamp; the next key of a code sets it again.
  void Arm() { first_.reset(); }
  std::optional<Clock::time_point> First() const { return first_; }
  int Codes() const { return codes_; }

  void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extra) override;
  bool PostKeybdMessage(intptr_t window, unsigned vk, unsigned keyState, unsigned count, const unsigned* shifts,
                        const uint32_t* characters) override;

 private:
  void Stamp();
  std::optional<Clock::time_point> first_;
  int codes_ = 0;
};

// Sounds that are counted, not played and not kept, so that long runs stay the same size.
class SilentSound : public platform::ISound {
 public:
  bool PlaySoundFile(const std::string&) override {
    ++played;
    return true;
  }
  bool MessageBeep(uint32_t) override {
    ++played;
    return true;
  }
  long played = 0;
};

// ---------------------------------------------------------------------------------------
// The main window against the emulator.

struct RigOptions {
  sim::ServerOptions server;
  // Put the relay between the emulator and the program (needed for line times).
  bool relay = false;
  // With the relay: the program's commands reach the emulator at 9600 baud too.
  bool paceToReader = false;
  // The program's fixed waits (Sleep) return at once; for benchmarks of work, not of time.
  bool skipSleeps = false;
};

// A host that hands everything to another one except the blocking waits, which return at
// once. Its clock can be moved on by hand, to let time pass that a benchmark does not wait.
class SleeplessHost : public fw::IHost {
 public:
  explicit SleeplessHost(fw::IHost& inner) : inner_(inner) {}
  std::unique_ptr<fw::IWindow> CreateDialogWindow(fw::CDialog& dialog, const fw::DialogTemplate& tpl,
                                                  fw::CDialog* owner) override {
    return inner_.CreateDialogWindow(dialog, tpl, owner);
  }
  void RunModal(fw::CDialog& dialog) override { inner_.RunModal(dialog); }
  void EndModal(fw::CDialog& dialog) override { inner_.EndModal(dialog); }
  void Sleep(unsigned) override {}
  uint64_t NowMs() const override { return inner_.NowMs() + skippedMs_; }
  void WatchFd(int fd, std::function<void()> onReadable) override { inner_.WatchFd(fd, std::move(onReadable)); }
  void UnwatchFd(int fd) override { inner_.UnwatchFd(fd); }
  void SkipTime(uint64_t ms) { skippedMs_ += ms; }

 private:
  fw::IHost& inner_;
  uint64_t skippedMs_ = 0;
};

class AppRig {
 public:
  AppRig(Loop& loop, RigOptions options);
  ~AppRig();
  AppRig(const AppRig&) = delete;
  AppRig& operator=(const AppRig&) = delete;

  // Starts the emulator (and relay), makes the main window, shows it and runs it through
  // its start-up chain until the configuration reply has been handled. False with a
  // message on standard error when that fails.
  bool Start();
  // Closes the main window and everything below it.
  void Close();

  CMainDialog& Dialog() { return *dlg_; }
  sim::PtyServer& Server() { return server_; }
  PtyRelay& Relay() { return relay_; }
  Loop& LoopOf() { return loop_; }
  const std::filesystem::path& Dir() const { return dir_; }
  std::string Log() const;
  // Threads the rig started (emulator, relay): not part of the program's cost.
  const std::set<pid_t>& RigThreads() const { return rigThreads_; }
  // Process CPU time less the rig's threads, in seconds.
  double ProgramCpuSeconds() const;

  platform::FakeHotKeys hotKeys;
  StampingKeyOutput keys;
  SilentSound sound;

 private:
  Loop& loop_;
  RigOptions options_;
  std::filesystem::path dir_;
  sim::PtyServer server_;
  PtyRelay relay_;
  std::unique_ptr<platform::PosixSerialPorts> serial_;
  std::unique_ptr<device::SimPins> supply_;
  std::unique_ptr<SleeplessHost> sleepless_;
  std::unique_ptr<CMainDialog> dlg_;
  std::set<pid_t> rigThreads_;
};

// Writes a firmware file of the given record count into dir, split at splitRecord. False
// with a message on standard error when it cannot be made.
bool WriteFirmwareFile(const std::filesystem::path& file, size_t records, size_t splitRecord);

}  // namespace bench
