#pragma once
// Serial devices coming and going, as the device manager announces them: the message loop
// watches Fd() and takes the events when it is readable.

#include <string>
#include <vector>

namespace platform {

struct DeviceEvent {
  std::string action;              // "add", "remove", "change" ...
  std::string node;                // the device node, "/dev/ttyUSB0"
  std::vector<std::string> links;  // its other names, "/dev/serial/by-id/usb-..."
  std::string serial;              // the USB serial number; empty where there is none
};

class IDeviceWatch {
 public:
  virtual ~IDeviceWatch() = default;
  virtual int Fd() const = 0;
  // The events that arrived; empty when there is none.
  virtual std::vector<DeviceEvent> TakeEvents() = 0;
};

}  // namespace platform
