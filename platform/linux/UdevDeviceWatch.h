#pragma once
// Serial devices coming and going, from udev: a monitor on the "tty" subsystem whose events
// arrive once udev has made the device node and its links. Where udev does not run (a
// container, a minimal system), Open fails and the caller falls back to trying the port.

#include <memory>
#include <string>

#include <libudev.h>

#include "platform/DeviceWatch.h"
#include "platform/linux/UniquePtr.h"

namespace platform {

class UdevDeviceWatch final : public IDeviceWatch {
 public:
  // Null with the reason when udev is not running or the monitor cannot be made.
  static std::unique_ptr<UdevDeviceWatch> Open(std::string& error);

  int Fd() const override;
  std::vector<DeviceEvent> TakeEvents() override;

 private:
  using Context = UniquePtr<udev, udev_unref>;
  using Monitor = UniquePtr<udev_monitor, udev_monitor_unref>;
  UdevDeviceWatch(Context context, Monitor monitor) : udev_(std::move(context)), monitor_(std::move(monitor)) {}
  // The monitor goes first: it holds a reference of its own on the context.
  Context udev_;
  Monitor monitor_;
};

}  // namespace platform
