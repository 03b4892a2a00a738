// Start-up: from exec of the real pelmor program to the first 'V' byte on the wire.
//
// The emulator runs in this process, powered from the start (the program is told that its
// reader is powered on its own: --power always-on), behind the relay, which notes when the
// program's first byte arrives. The start sequence waits 100 ms before it connects, the
// power-on pause is 150 ms and the version command follows the connect after 200 ms, so the
// program cannot send 'V' before 450 ms.
//
//   bench_startup [--program PATH] [--runs N] [--gui]
//
// Without --gui the program runs headless (--headless); with it, its windows are made on
// Qt's offscreen platform.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "bench/rig/BenchRig.h"

extern char** environ;

using namespace bench;

namespace {

constexpr double kLimitMs =
    static_cast<double>(CMainDialog::kStartDelayMs + device::kPowerOnSettle.count() + CMainDialog::kVersionDelayMs);
constexpr auto kBudget = std::chrono::seconds(10);

// One start: the time to the first byte, or nothing when none came.
std::optional<double> StartOnce(const std::string& program, bool gui) {
  sim::ServerOptions serverOptions;
  serverOptions.emulator.powered = true;
  sim::PtyServer server(serverOptions);
  PtyRelay relay;
  if (server.Start() != 0 || relay.Start(server.SlavePath(), false) != 0) {
    std::fprintf(stderr, "emulator: %s %s\n", server.ErrorText().c_str(), relay.ErrorText().c_str());
    return std::nullopt;
  }
  std::vector<std::string> args = {program, "--port", relay.SlavePath(), "--power", "always-on"};
  if (!gui) args.push_back("--headless");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The program's output is not part of the figure; standard input stays open and empty,
  // so the headless terminal waits for commands instead of ending.
  int stdinPipe[2];
  if (::pipe2(stdinPipe, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, stdinPipe[0], STDIN_FILENO);

  pid_t pid = 0;
  const Clock::time_point exec = Clock::now();
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(stdinPipe[0]);
  if (spawned != 0) {
    ::close(stdinPipe[1]);
    std::fprintf(stderr, "%s: %s\n", program.c_str(), std::strerror(spawned));
    return std::nullopt;
  }
  std::optional<Clock::time_point> first;
  while (!first && Clock::now() - exec < kBudget) {
    first = relay.FirstByteFromProgram();
    if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::vector<PtyRelay::Line> sent = relay.TakeLinesToReader();
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(stdinPipe[1]);
  relay.Stop();
  server.Stop();
  if (!first) return std::nullopt;
  if (sent.empty() || sent.front().text != "V") {
    std::fprintf(stderr, "the first command was not 'V'\n");
    return std::nullopt;
  }
  return Ms(*first - exec);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = Arg(argc, argv, "--program", PELMOR_BENCH_PROGRAM);
  const long runs = ArgNumber(argc, argv, "--runs", 20);
  const bool gui = HasFlag(argc, argv, "--gui");
  if (gui) ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::vector<double> times;
  for (long i = 0; i < runs; ++i) {
    if (auto t = StartOnce(program, gui)) times.push_back(*t);
  }
  if (times.empty()) {
    std::fprintf(stderr, "no start reached 'V'\n");
    return 1;
  }
  const std::string tag = gui ? " [windows, offscreen]" : " [headless]";
  const std::string limit = "100 + 150 + 200 ms of fixed waits";
  PrintFigure("start-up, exec to first 'V' p50" + tag, Percentile(times, 0.5), "ms", kLimitMs, limit);
  PrintFigure("start-up, exec to first 'V' max" + tag, Percentile(times, 1.0), "ms", kLimitMs, limit);
  PrintInfo("start-up runs" + tag, static_cast<double>(times.size()), "");
  return times.size() == static_cast<size_t>(runs) ? 0 : 1;
}
