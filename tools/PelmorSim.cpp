// pelmor-sim: the reader emulator served on a pseudo-terminal, for running the terminal (or
// anything else that speaks to the reader) without the module.
//
// The first line of standard output is the slave device to open. After it, standard input
// takes one command per line and every command is answered by one line, "ok" or
// "error: ...", preceded by any lines the command prints. End of input leaves the emulator
// running; "quit", SIGINT or SIGTERM end it.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/PtyServer.h"
#include "platform/linux/UniqueFd.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kReadChunk = 256;

constexpr std::string_view kUsage =
    "usage: pelmor-sim [--no-pacing] [--firmware TEXT] [--command-set TEXT]\n"
    "                  [--scan-delay MS]\n"
    "Serves the reader emulator on a pseudo-terminal and prints its device path on the\n"
    "first line. The reader starts powered. Commands on standard input:\n"
    "  tag TT CODE       put a tag into the field (TT: type code such as 08, 80, A0)\n"
    "  transponder [N]   put a blank writable transponder into the field; N is its block\n"
    "                    count 3, 5 or 7 (default 7), read as type 13, 15 or 17\n"
    "  lock on|off       on: the transponder in the field refuses writes\n"
    "  blocks            print the transponder's block count, lock and data blocks 2..7\n"
    "  notag             take the tag or transponder out of the field\n"
    "  reset             send a reset report\n"
    "  power on|off      the supply pin; unpowered, the reader is silent\n"
    "  fault NAME [N]    inject a fault into the next N commands (N a number or 'all');\n"
    "                    NAME: none noanswer no badecho garbage split drop delay\n"
    "  pacing on|off     9600 baud pacing of the answers\n"
    "  firmware status C|D|E|old\n"
    "                    the firmware loader's answer to the status query \"I\": C or D\n"
    "                    (firmware running, \"I0\" switches to loading), E (loading mode,\n"
    "                    records taken), old (firmware without downloads: every download\n"
    "                    command is answered \"INO\")\n"
    "  firmware image    print the image received: status, records of the first part\n"
    "                    (before \"I1\") and the second, whether \"I2\" completed it, how\n"
    "                    often a new run began it again from its start, and whether the\n"
    "                    second part begins at the file's split record\n"
    "  firmware fault NAME K\n"
    "                    record K of the image (counted from 0 over both parts) gets the\n"
    "                    fault once; NAME: noanswer no garbage, or none to clear\n"
    "  config            print the reader's settings bytes\n"
    "  received          print the command lines received so far\n"
    "  help              print this text\n"
    "  quit              end the emulator\n";

void Print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void Reply(std::string_view text) { Print(std::string(text) + "\n"); }

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Hex2(uint8_t value) { return {kHexDigits[value >> 4], kHexDigits[value & 0x0F]}; }

std::string Hex8(uint32_t value) {
  std::string text(8, '0');
  for (char& digit : text) {
    digit = kHexDigits[value >> 28];
    value <<= 4;
  }
  return text;
}

// "count=5 lock=off 2=1D228874 3=1D741DB7 4=- 5=- 6=- 7=-": a block never written is '-'.
std::string DescribeTransponder(const sim::Transponder& transponder) {
  std::string text = "count=" + std::to_string(transponder.blockCount) +
                     " lock=" + (transponder.lock == sim::WriteLock::On ? "on" : "off");
  for (std::size_t i = 0; i < transponder.blocks.size(); ++i) {
    const auto& block = transponder.blocks[i];
    text += " " + std::to_string(sim::kFirstTransponderBlock + i) + "=" + (block ? Hex8(*block) : std::string("-"));
  }
  return text;
}

bool ParseInt(std::string_view text, int& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Splits off the first blank-separated word of text; text keeps what follows its blank.
std::string_view NextWord(std::string_view& text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  const std::size_t end = text.find(' ');
  const std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return word;
}

struct FaultName {
  std::string_view name;
  sim::Fault fault;
};
constexpr std::array<FaultName, 8> kFaultNames = {{
    {"none", sim::Fault::None},
    {"noanswer", sim::Fault::NoAnswer},
    {"no", sim::Fault::AnswerNO},
    {"badecho", sim::Fault::BadEcho},
    {"garbage", sim::Fault::Garbage},
    {"split", sim::Fault::SplitBytes},
    {"drop", sim::Fault::DropByte},
    {"delay", sim::Fault::Delay},
}};

struct LoaderStatusName {
  std::string_view name;
  sim::LoaderStatus status;
};
constexpr std::array<LoaderStatusName, 4> kLoaderStatusNames = {{
    {"C", sim::LoaderStatus::C},
    {"D", sim::LoaderStatus::D},
    {"E", sim::LoaderStatus::E},
    {"old", sim::LoaderStatus::OldFirmware},
}};

// The faults a single record can get.
constexpr std::array<FaultName, 4> kRecordFaultNames = {{
    {"none", sim::Fault::None},
    {"noanswer", sim::Fault::NoAnswer},
    {"no", sim::Fault::AnswerNO},
    {"garbage", sim::Fault::Garbage},
}};

std::string LoaderStatusText(sim::LoaderStatus status) {
  for (const LoaderStatusName& entry : kLoaderStatusNames) {
    if (entry.status == status) {
      return std::string(entry.name);
    }
  }
  return "?";
}

// "status=E first=150 second=50 complete=yes restarts=1 split=yes".
std::string DescribeImage(sim::LoaderStatus status, const sim::FirmwareImage& image) {
  return "status=" + LoaderStatusText(status) + " first=" + std::to_string(image.firstPart.size()) +
         " second=" + std::to_string(image.secondPart.size()) + " complete=" + (image.complete ? "yes" : "no") +
         " restarts=" + std::to_string(image.restarts) + " split=" + (sim::SplitsAtMarkedRecord(image) ? "yes" : "no");
}

bool ParseOnOff(std::string_view word, bool& on) {
  if (word == "on" || word == "off") {
    on = word == "on";
    return true;
  }
  return false;
}

enum class Next { Continue, Quit };

Next HandleCommand(sim::PtyServer& server, std::string_view line) {
  std::string_view rest = line;
  const std::string_view command = NextWord(rest);
  if (command.empty()) {
    return Next::Continue;
  }
  if (command == "quit") {
    Reply("ok");
    return Next::Quit;
  }
  if (command == "tag") {
    sim::Tag tag;
    tag.type = std::string(NextWord(rest));
    // The code is everything after the type's blank, blanks included.
    tag.code = std::string(rest);
    if (!server.PutTag(tag)) {
      Reply(
          "error: a tag is a two-character type code and a code of at most 31 printable "
          "characters");
      return Next::Continue;
    }
  } else if (command == "transponder") {
    const std::string_view countText = NextWord(rest);
    sim::Transponder blank;
    if ((!countText.empty() && !ParseInt(countText, blank.blockCount)) || !server.PutTransponder(blank)) {
      Reply("error: transponder [3|5|7]");
      return Next::Continue;
    }
  } else if (command == "lock") {
    bool on = false;
    if (!ParseOnOff(NextWord(rest), on)) {
      Reply("error: lock on|off");
      return Next::Continue;
    }
    if (!server.SetWriteLock(on ? sim::WriteLock::On : sim::WriteLock::Off)) {
      Reply("error: no transponder in the field");
      return Next::Continue;
    }
  } else if (command == "blocks") {
    const std::optional<sim::Transponder> transponder = server.TransponderInField();
    if (!transponder) {
      Reply("error: no transponder in the field");
      return Next::Continue;
    }
    Reply(DescribeTransponder(*transponder));
  } else if (command == "notag") {
    server.RemoveTag();
  } else if (command == "reset") {
    server.SendResetReport();
  } else if (command == "power" || command == "pacing") {
    bool on = false;
    if (!ParseOnOff(NextWord(rest), on)) {
      Reply("error: " + std::string(command) + " on|off");
      return Next::Continue;
    }
    if (command == "power") {
      server.SetPowered(on);
    } else {
      server.SetPacing(on ? sim::Pacing::On : sim::Pacing::Off);
    }
  } else if (command == "fault") {
    const std::string_view name = NextWord(rest);
    const std::string_view countText = NextWord(rest);
    int count = 1;
    if (countText == "all") {
      count = sim::kEveryCommand;
    } else if (!countText.empty() && (!ParseInt(countText, count) || count < 0)) {
      Reply("error: the count is a number or 'all'");
      return Next::Continue;
    }
    const FaultName* found = nullptr;
    for (const FaultName& entry : kFaultNames) {
      if (entry.name == name) {
        found = &entry;
      }
    }
    if (found == nullptr) {
      Reply("error: fault none|noanswer|no|badecho|garbage|split|drop|delay [N|all]");
      return Next::Continue;
    }
    server.SetFault(found->fault, count);
  } else if (command == "firmware") {
    const std::string_view what = NextWord(rest);
    if (what == "status") {
      const std::string_view name = NextWord(rest);
      const LoaderStatusName* found = nullptr;
      for (const LoaderStatusName& entry : kLoaderStatusNames) {
        if (entry.name == name) {
          found = &entry;
        }
      }
      if (found == nullptr) {
        Reply("error: firmware status C|D|E|old");
        return Next::Continue;
      }
      server.SetLoaderStatus(found->status);
    } else if (what == "image") {
      const sim::LoaderStatus status = server.CurrentLoaderStatus();
      Reply(DescribeImage(status, server.ReceivedImage()));
    } else if (what == "fault") {
      const std::string_view name = NextWord(rest);
      const std::string_view indexText = NextWord(rest);
      const FaultName* found = nullptr;
      for (const FaultName& entry : kRecordFaultNames) {
        if (entry.name == name) {
          found = &entry;
        }
      }
      int index = 0;
      const bool needsIndex = found != nullptr && found->fault != sim::Fault::None;
      if (found == nullptr || (needsIndex && (!ParseInt(indexText, index) || index < 0)) ||
          !server.SetRecordFault(found->fault, static_cast<std::size_t>(index))) {
        Reply("error: firmware fault noanswer|no|garbage K, or firmware fault none");
        return Next::Continue;
      }
    } else {
      Reply("error: firmware status C|D|E|old, firmware image, firmware fault NAME K");
      return Next::Continue;
    }
  } else if (command == "config") {
    const sim::ReaderConfig config = server.Config();
    Reply("option=" + Hex2(config.option) + " iso=" + Hex2(config.iso) + " types=" + Hex2(config.tagTypes) +
          " hdx=" + Hex2(config.hdx) + " supported=" + Hex2(config.supportedTypes) +
          " hdxsupported=" + Hex2(config.hdxSupported));
  } else if (command == "received") {
    for (const std::string& received : server.ReceivedLines()) {
      Reply("received " + received);
    }
  } else if (command == "help") {
    Print(kUsage);
  } else {
    Reply("error: unknown command '" + std::string(command) + "' (try help)");
    return Next::Continue;
  }
  Reply("ok");
  return Next::Continue;
}

struct Arguments {
  sim::ServerOptions options;
  bool help = false;
};

bool ParseArguments(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      arguments.help = true;
    } else if (arg == "--no-pacing") {
      arguments.options.pacing = sim::Pacing::Off;
    } else if (arg == "--firmware" && hasValue) {
      arguments.options.emulator.firmware = argv[++i];
    } else if (arg == "--command-set" && hasValue) {
      arguments.options.emulator.commandSet = argv[++i];
    } else if (arg == "--scan-delay" && hasValue) {
      int ms = 0;
      if (!ParseInt(argv[++i], ms) || ms < 0) {
        return false;
      }
      arguments.options.emulator.scanDelay = sim::Millis(ms);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!ParseArguments(argc, argv, arguments)) {
    std::fputs(kUsage.data(), stderr);
    return kExitUsage;
  }
  if (arguments.help) {
    Print(kUsage);
    return kExitOk;
  }
  // A reader on its own cable has supply as soon as the emulator runs.
  arguments.options.emulator.powered = true;

  // The signals are blocked before the server's thread exists, so they reach only the
  // signalfd read below, in this thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
    std::fputs("pelmor-sim: cannot block signals\n", stderr);
    return kExitFailure;
  }
  platform::UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC));
  if (!signalFd.Valid()) {
    std::perror("pelmor-sim: signalfd");
    return kExitFailure;
  }
  // A reader of our output that goes away must not end the emulator.
  ::signal(SIGPIPE, SIG_IGN);

  sim::PtyServer server(arguments.options);
  if (server.Start() != 0) {
    std::fprintf(stderr, "pelmor-sim: %s\n", server.ErrorText().c_str());
    return kExitFailure;
  }
  Reply(server.SlavePath());

  bool inputOpen = true;
  std::string input;
  std::array<char, kReadChunk> buffer{};
  while (true) {
    std::array<pollfd, 2> fds{{{signalFd.Get(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}}};
    const nfds_t count = inputOpen ? 2 : 1;
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      std::perror("pelmor-sim: poll");
      return kExitFailure;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      return kExitOk;
    }
    if (!inputOpen || (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      continue;
    }
    const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got <= 0) {
      if (got < 0 && errno == EINTR) {
        continue;
      }
      inputOpen = false;
      continue;
    }
    input.append(buffer.data(), static_cast<std::size_t>(got));
    std::size_t end = 0;
    while ((end = input.find('\n')) != std::string::npos) {
      std::string line = input.substr(0, end);
      input.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (HandleCommand(server, line) == Next::Quit) {
        return kExitOk;
      }
    }
  }
}
