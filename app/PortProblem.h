#pragma once
// Why the reader's port could not be opened, in plain words for the "Reader port" dialog:
// the device is not there, the user may not open it (and which group gives access), or
// another process holds it (and which one, where the system tells).
//
// The folders are parameters so that tests can lay out a tree of their own.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace app {

enum class PortFailure { NoDevice, AccessDenied, Busy, Other };

// The kind of failure of a serial service error code (platform/Serial.h).
PortFailure ClassifyOpenError(uint32_t serialError);

struct PortHolder {
  int pid = 0;
  std::string command;  // the process's name, empty where it cannot be read
};

struct PortProblem {
  PortFailure failure = PortFailure::Other;
  std::string device;
  std::string group;                // AccessDenied: the group owning the device node
  std::vector<PortHolder> holders;  // Busy: the processes that have it open
  std::string systemText;           // Other: the system's text for the error
};

// The reason in a few short lines ('\n' between them), naming the device.
std::string DescribePortProblem(const PortProblem& problem);

// The name of the group owning the device node (links followed); its number where it has
// no name; empty when the node cannot be looked at.
std::string DeviceGroup(const std::filesystem::path& device);

// At most this many holders are looked for.
inline constexpr size_t kMaxPortHolders = 4;

// The processes under `proc` (normally /proc) with a descriptor open on the device (links
// followed), in the order found, with their names from proc/PID/comm. Processes whose
// descriptors cannot be read (another user's) are not seen.
std::vector<PortHolder> ProcessesHolding(const std::filesystem::path& proc, const std::filesystem::path& device);

}  // namespace app
