#pragma once
// Telling the lost reader among the serial devices that come: by its path, its device node,
// its stable names in /dev/serial/by-id or its USB serial number.

#include <optional>
#include <string>
#include <vector>

#include "app/PortProblem.h"
#include "app/SerialDevices.h"
#include "platform/DeviceWatch.h"

namespace app {

struct ReaderIdentity {
  std::string path;               // as the program opens it: a node or a link to one
  std::string node;               // the node the path led to when it was opened; may be empty
  std::vector<std::string> byId;  // the node's names in /dev/serial/by-id
  std::string serial;             // the USB serial number; empty where there is none
};

// What is known of the reader opened by `path`, which led to `node`, from the devices present.
ReaderIdentity IdentifyReader(const std::string& path, const std::string& node,
                              const std::vector<SerialDevice>& devices);

// The path to open when the event is the reader coming back: its own path where that still
// names it (the same node, or a link udev made for it), else the event's node (the same
// adapter under a new number: the same by-id name or USB serial number, or, for a reader
// known by neither, the node its path led to). Nothing for any other event.
std::optional<std::string> ReturningReaderPath(const ReaderIdentity& reader, const platform::DeviceEvent& event);

// Whether the lost reader is looked for by trying its port even where udev runs: udev
// announces a device once, when it comes, and never a pseudo-terminal (an emulator, a serial
// line over the network), nor a name outside /dev that never led to a device node. A device
// that is there but could not be opened (held by a modem manager probing the new adapter,
// or by another program) is not announced again either.
bool RetriesPort(const ReaderIdentity& reader, PortFailure lastOpenFailure);

}  // namespace app
