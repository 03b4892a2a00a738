// pelmor-sim as a program: its first output line, its stdin commands and how it ends.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/ReaderEmulator.h"
#include "tests/sim/PtyTestUtil.h"

extern char** environ;

namespace sim {
namespace {

using platform::UniqueFd;
using test::ReadFor;
using test::ReadLine;
using test::ReadUntil;
using test::WriteAll;

// The tool in a child process with pipes on its standard input and output.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    UniqueFd childIn(in[0]);
    UniqueFd childOut(out[1]);
    stdin_.Reset(in[1]);
    stdout_.Reset(out[0]);
    ::fcntl(stdout_.Get(), F_SETFL, O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.Get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOut.Get(), STDOUT_FILENO);
    args.insert(args.begin(), PELMOR_SIM_TOOL);
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, PELMOR_SIM_TOOL, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Started() const { return pid_ > 0; }

  std::optional<std::string> OutputLine() {
    auto line = ReadUntil(stdout_.Get(), '\n');
    if (line) {
      line->pop_back();
    }
    return line;
  }

  std::optional<std::string> Command(const std::string& command) {
    if (!WriteAll(stdin_.Get(), command + "\n")) {
      return std::nullopt;
    }
    return OutputLine();
  }

  void CloseInput() { stdin_.Reset(); }
  void Signal(int signal) const { ::kill(pid_, signal); }

  // Whether the process ends within timeout, seen as the end of its output (the exit
  // closes it). Output it still prints is a failure too.
  bool EndsWithin(std::chrono::milliseconds timeout) {
    const test::Deadline deadline = test::After(timeout);
    while (true) {
      char c = 0;
      const ssize_t got = ::read(stdout_.Get(), &c, 1);
      if (got == 0) {
        return true;
      }
      if (!test::WouldBlock(got) || !test::WaitReadable(stdout_.Get(), deadline)) {
        return false;
      }
    }
  }

  // Waits (bounded) for the process to end; its exit status, or -1 when it did not end or
  // ended abnormally.
  int ExitStatus() {
    if (!EndsWithin(test::kAnswerTimeout)) {
      return -1;
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) {
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
};

TEST(PelmorSimTool, ServesTheReaderAndTakesCommands) {
  SimProcess sim({"--no-pacing"});
  ASSERT_TRUE(sim.Started());
  const auto path = sim.OutputLine();
  ASSERT_TRUE(path.has_value());
  UniqueFd port = test::OpenLikeTheApplication(*path);
  ASSERT_TRUE(port.Valid()) << *path;

  // Powered from the start.
  ASSERT_TRUE(WriteAll(port.Get(), "V\r"));
  EXPECT_EQ(ReadLine(port.Get()), "VLF2.01 CRSWI\r");

  EXPECT_EQ(sim.Command("tag 08 0 12 345"), "ok");
  ASSERT_TRUE(WriteAll(port.Get(), "S\r"));
  EXPECT_EQ(ReadLine(port.Get()), "S1\r");
  EXPECT_EQ(ReadLine(port.Get()), ReaderEmulator::TagLine({"08", "0 12 345"}) + "\r");
  EXPECT_EQ(sim.Command("notag"), "ok");
  ASSERT_TRUE(WriteAll(port.Get(), "S\r"));
  EXPECT_EQ(ReadLine(port.Get()), "S1\r");
  EXPECT_EQ(ReadLine(port.Get()), "S0\r");

  EXPECT_EQ(sim.Command("reset"), "ok");
  EXPECT_EQ(ReadLine(port.Get()), "X reset\r");

  EXPECT_EQ(sim.Command("fault no 1"), "ok");
  ASSERT_TRUE(WriteAll(port.Get(), "r8100\r"));
  EXPECT_EQ(ReadLine(port.Get()), "r8100NO\r");

  ASSERT_TRUE(WriteAll(port.Get(), "cA00181xxxx\r"));
  EXPECT_EQ(ReadLine(port.Get()), "cA00181xxxxOK\r");
  EXPECT_EQ(sim.Command("config"), "option=A0 iso=01 types=81 hdx=80 supported=FF hdxsupported=80");
  EXPECT_EQ(sim.OutputLine(), "ok");

  for (const std::string bad : {"tag 8 1", "power maybe", "fault nonsense", "fault no x", "frob"}) {
    const auto answer = sim.Command(bad);
    ASSERT_TRUE(answer.has_value()) << bad;
    EXPECT_EQ(answer->rfind("error: ", 0), 0u) << bad << " -> " << *answer;
  }

  EXPECT_EQ(sim.Command("power off"), "ok");
  ASSERT_TRUE(WriteAll(port.Get(), "V\r"));
  EXPECT_EQ(ReadFor(port.Get(), test::kSilenceWindow), "");
  EXPECT_EQ(sim.Command("power on"), "ok");

  // End of input leaves it serving; a signal ends it.
  sim.CloseInput();
  EXPECT_FALSE(sim.EndsWithin(test::kSilenceWindow));
  ASSERT_TRUE(WriteAll(port.Get(), "V\r"));
  EXPECT_EQ(ReadLine(port.Get()), "VLF2.01 CRSWI\r");
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.ExitStatus(), 0);
}

TEST(PelmorSimTool, WritableTransponderCommands) {
  SimProcess sim({"--no-pacing"});
  ASSERT_TRUE(sim.Started());
  const auto path = sim.OutputLine();
  ASSERT_TRUE(path.has_value());
  UniqueFd port = test::OpenLikeTheApplication(*path);
  ASSERT_TRUE(port.Valid()) << *path;
  const auto write = [&port](const std::string& frame) {
    return WriteAll(port.Get(), "w" + frame + "\r") ? ReadLine(port.Get()) : std::nullopt;
  };

  EXPECT_EQ(sim.Command("transponder 5"), "ok");
  EXPECT_EQ(write("20E91443A2"), "w20E91443A2OK\r");
  EXPECT_EQ(sim.Command("blocks"), "count=5 lock=off 2=1D228874 3=- 4=- 5=- 6=- 7=-");
  EXPECT_EQ(sim.OutputLine(), "ok");

  EXPECT_EQ(sim.Command("lock on"), "ok");
  EXPECT_EQ(write("20EBA0EDBB"), "w20EBA0EDBBNO\r");
  EXPECT_EQ(sim.Command("lock off"), "ok");
  EXPECT_EQ(write("20EBA0EDBB"), "w20EBA0EDBBOK\r");
  ASSERT_TRUE(WriteAll(port.Get(), "S\r"));
  EXPECT_EQ(ReadLine(port.Get()), "S1\r");
  EXPECT_EQ(ReadLine(port.Get()), ReaderEmulator::TagLine({"15", "12345"}) + "\r");

  // A new blank transponder replaces the written one.
  EXPECT_EQ(sim.Command("transponder"), "ok");
  EXPECT_EQ(sim.Command("blocks"), "count=7 lock=off 2=- 3=- 4=- 5=- 6=- 7=-");
  EXPECT_EQ(sim.OutputLine(), "ok");

  EXPECT_EQ(sim.Command("notag"), "ok");
  EXPECT_EQ(write("20E91443A2"), "w20E91443A2NO\r");
  // "lock on" and "blocks" need a transponder in the field.
  for (const std::string bad : {"transponder 4", "transponder x", "lock maybe", "lock on", "blocks"}) {
    const auto answer = sim.Command(bad);
    ASSERT_TRUE(answer.has_value()) << bad;
    EXPECT_EQ(answer->rfind("error: ", 0), 0u) << bad << " -> " << *answer;
  }
  EXPECT_EQ(sim.Command("quit"), "ok");
  EXPECT_EQ(sim.ExitStatus(), 0);
}

TEST(PelmorSimTool, FirmwareLoaderCommands) {
  SimProcess sim({"--no-pacing"});
  ASSERT_TRUE(sim.Started());
  const auto path = sim.OutputLine();
  ASSERT_TRUE(path.has_value());
  UniqueFd port = test::OpenLikeTheApplication(*path);
  ASSERT_TRUE(port.Valid()) << *path;
  const auto ask = [&port](const std::string& line) {
    return WriteAll(port.Get(), line + "\r") ? ReadLine(port.Get()) : std::nullopt;
  };
  const auto image = [&sim] {
    const auto description = sim.Command("firmware image");
    EXPECT_EQ(sim.OutputLine(), "ok");
    return description;
  };

  EXPECT_EQ(ask("I"), "I:COK\r") << "a module running its firmware";
  EXPECT_EQ(sim.Command("firmware status old"), "ok");
  EXPECT_EQ(ask("I"), "INO\r");
  EXPECT_EQ(image(), "status=old first=0 second=0 complete=no restarts=0 split=no");

  EXPECT_EQ(sim.Command("firmware status E"), "ok");
  EXPECT_EQ(sim.Command("firmware fault no 1"), "ok");
  const std::string record(kRecordTextLength, 'A');
  // Key digits 0: content bytes 1 and 2 read 10 00 as they stand, the split record.
  const std::string split = "001000" + std::string(kRecordTextLength - 6, '0');
  EXPECT_EQ(ask("I" + record), "IOK\r");
  EXPECT_EQ(ask("I" + record), "INO\r");
  EXPECT_EQ(ask("I" + record), "IOK\r");
  EXPECT_EQ(ask("I1"), "I1OK\r");
  EXPECT_EQ(ask("I" + split), "IOK\r");
  EXPECT_EQ(image(), "status=E first=2 second=1 complete=no restarts=0 split=yes");
  EXPECT_EQ(ask("I2"), "I2OK\r");
  EXPECT_EQ(image(), "status=E first=2 second=1 complete=yes restarts=0 split=yes");

  EXPECT_EQ(sim.Command("firmware fault noanswer 0"), "ok");
  ASSERT_TRUE(WriteAll(port.Get(), "I" + record + "\r"));
  EXPECT_EQ(ReadFor(port.Get(), test::kSilenceWindow), "");
  EXPECT_EQ(sim.Command("firmware fault garbage 0"), "ok");
  EXPECT_EQ(sim.Command("firmware fault none"), "ok");
  EXPECT_EQ(ask("I" + record), "IOK\r") << "the fault was cleared";
  EXPECT_EQ(ask("I"), "I:EOK\r");
  EXPECT_EQ(image(), "status=E first=1 second=0 complete=no restarts=0 split=no");
  EXPECT_EQ(ask("I" + record), "IOK\r") << "a new run sends the image from its start";
  EXPECT_EQ(image(), "status=E first=1 second=0 complete=no restarts=1 split=no");

  for (const std::string bad : {"firmware", "firmware status F", "firmware status", "firmware fault delay 3",
                                "firmware fault no", "firmware fault no -1", "firmware fault no x"}) {
    const auto answer = sim.Command(bad);
    ASSERT_TRUE(answer.has_value()) << bad;
    EXPECT_EQ(answer->rfind("error: ", 0), 0u) << bad << " -> " << *answer;
  }
  EXPECT_EQ(sim.Command("quit"), "ok");
  EXPECT_EQ(sim.ExitStatus(), 0);
}

TEST(PelmorSimTool, FirmwareOptionAndQuit) {
  SimProcess sim({"--firmware", "LF1.00", "--no-pacing"});
  ASSERT_TRUE(sim.Started());
  const auto path = sim.OutputLine();
  ASSERT_TRUE(path.has_value());
  UniqueFd port = test::OpenLikeTheApplication(*path);
  ASSERT_TRUE(port.Valid()) << *path;
  ASSERT_TRUE(WriteAll(port.Get(), "V\r"));
  EXPECT_EQ(ReadLine(port.Get()), "VLF1.00 CRSWI\r");
  EXPECT_EQ(sim.Command("quit"), "ok");
  EXPECT_EQ(sim.ExitStatus(), 0);
}

}  // namespace
}  // namespace sim
