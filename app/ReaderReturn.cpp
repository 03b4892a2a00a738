#include "app/ReaderReturn.h"

#include <algorithm>

namespace app {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& s) {
  return !s.empty() && std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

ReaderIdentity IdentifyReader(const std::string& path, const std::string& node,
                              const std::vector<SerialDevice>& devices) {
  ReaderIdentity reader{path, node, {}, {}};
  for (const SerialDevice& d : devices) {
    if (d.path != node && d.path != path && !Contains(d.byId, path)) continue;
    reader.byId = d.byId;
    if (d.IsUsb()) reader.serial = d.serial;
    break;
  }
  return reader;
}

std::optional<std::string> ReturningReaderPath(const ReaderIdentity& reader, const platform::DeviceEvent& event) {
  if (event.action != "add" || event.node.empty()) return std::nullopt;
  if (event.node == reader.path || Contains(event.links, reader.path)) return reader.path;
  // A node number is given to whichever adapter comes next: it tells the reader only where
  // nothing more stable is known of it.
  const bool known = !reader.byId.empty() || !reader.serial.empty();
  const bool sameDevice = (!known && !reader.node.empty() && event.node == reader.node) ||
                          std::any_of(reader.byId.begin(), reader.byId.end(),
                                      [&](const std::string& name) { return Contains(event.links, name); }) ||
                          (!reader.serial.empty() && event.serial == reader.serial);
  if (sameDevice) return event.node;
  return std::nullopt;
}

bool RetriesPort(const ReaderIdentity& reader, PortFailure lastOpenFailure) {
  const std::string& node = reader.node.empty() ? reader.path : reader.node;
  const bool pseudoTerminal = node.starts_with("/dev/pts/") || node == "/dev/ptmx";
  // A name outside /dev that never led to a node (a link not made yet) is none of udev's.
  const bool udevName = node.starts_with("/dev/");
  return pseudoTerminal || !udevName || lastOpenFailure != PortFailure::NoDevice;
}

}  // namespace app
