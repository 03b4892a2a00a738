#include "app/PortProblem.h"

#include <grp.h>
#include <sys/stat.h>

#include <fstream>
#include <system_error>

#include "platform/Serial.h"

namespace app {
namespace {

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The first line of a process's name file, with anything unprintable shown as '?'.
std::string CommandOf(const std::filesystem::path& processDir) {
  std::ifstream in(processDir / "comm");
  std::string line;
  std::getline(in, line);
  constexpr size_t kMaxCommand = 64;
  if (line.size() > kMaxCommand) line.resize(kMaxCommand);
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return line;
}

std::string HolderText(const PortHolder& h) {
  std::string text = std::to_string(h.pid);
  if (!h.command.empty()) text += " (" + h.command + ")";
  return text;
}

}  // namespace

PortFailure ClassifyOpenError(uint32_t serialError) {
  switch (serialError) {
    case platform::kErrNotFound:
    case platform::kErrDeviceGone:
      return PortFailure::NoDevice;
    case platform::kErrAccessDenied:
      return PortFailure::AccessDenied;
    case platform::kErrSharingViolation:
      return PortFailure::Busy;
    default:
      return PortFailure::Other;
  }
}

std::string DescribePortProblem(const PortProblem& p) {
  switch (p.failure) {
    case PortFailure::NoDevice:
      return "No such device: " + p.device + "\nIs the reader plugged in? Pick its port above.";
    case PortFailure::AccessDenied:
      if (p.group.empty()) return "Permission denied: " + p.device + "\nYou may not open this device.";
      return "Permission denied: " + p.device + "\nJoin the group " + p.group + " (sudo usermod -aG " + p.group +
             " $USER),\nthen log out and in again.";
    case PortFailure::Busy: {
      if (p.holders.empty()) return "Busy: " + p.device + "\nAnother program has it open.";
      std::string text = "Busy: " + p.device + "\nheld by process";
      if (p.holders.size() > 1) text += "es";
      for (size_t i = 0; i < p.holders.size(); ++i) text += (i ? ", " : " ") + HolderText(p.holders[i]);
      return text;
    }
    case PortFailure::Other:
      break;
  }
  std::string why = p.systemText;
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
  return "Cannot open " + p.device + (why.empty() ? "" : "\n" + why);
}

std::string DeviceGroup(const std::filesystem::path& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) return {};
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16 * 1024);
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->gr_name)
    return found->gr_name;
  return std::to_string(st.st_gid);
}

std::vector<PortHolder> ProcessesHolding(const std::filesystem::path& proc, const std::filesystem::path& device) {
  std::vector<PortHolder> holders;
  std::error_code ec;
  const std::filesystem::path node = std::filesystem::canonical(device, ec);
  if (ec) return holders;
  std::filesystem::directory_iterator processes(proc, ec);
  for (; !ec && processes != std::filesystem::directory_iterator(); processes.increment(ec)) {
    const std::string name = processes->path().filename().string();
    if (!AllDigits(name) || name.size() > 9) continue;
    std::error_code fdError;
    std::filesystem::directory_iterator fds(processes->path() / "fd", fdError);
    for (; !fdError && fds != std::filesystem::directory_iterator(); fds.increment(fdError)) {
      std::error_code linkError;
      if (std::filesystem::read_symlink(fds->path(), linkError) != node || linkError) continue;
      holders.push_back({std::stoi(name), CommandOf(processes->path())});
      break;
    }
    if (holders.size() >= kMaxPortHolders) break;
  }
  return holders;
}

}  // namespace app
