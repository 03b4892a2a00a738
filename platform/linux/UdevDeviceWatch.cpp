#include "platform/linux/UdevDeviceWatch.h"

#include <libudev.h>
#include <unistd.h>

namespace platform {
namespace {

// udev's control socket: there while the udev daemon runs. Without the daemon the monitor
// would be made but never hear of a device.
constexpr const char* kUdevControl = "/run/udev/control";
// Events taken per readable wake-up, so that a flood cannot hold the message loop.
constexpr int kMaxEventsPerTake = 64;

std::string Text(const char* s) { return s ? s : ""; }

}  // namespace

std::unique_ptr<UdevDeviceWatch> UdevDeviceWatch::Open(std::string& error) {
  if (::access(kUdevControl, F_OK) != 0) {
    error = "udev is not running";
    return nullptr;
  }
  Context context(udev_new());
  if (!context) {
    error = "no udev context";
    return nullptr;
  }
  Monitor monitor(udev_monitor_new_from_netlink(context.get(), "udev"));
  if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0) {
    error = "the udev monitor cannot be made";
    return nullptr;
  }
  return std::unique_ptr<UdevDeviceWatch>(new UdevDeviceWatch(std::move(context), std::move(monitor)));
}

int UdevDeviceWatch::Fd() const { return udev_monitor_get_fd(monitor_.get()); }

std::vector<DeviceEvent> UdevDeviceWatch::TakeEvents() {
  std::vector<DeviceEvent> events;
  // The monitor's socket is non-blocking: receiving stops when nothing is left.
  for (int i = 0; i < kMaxEventsPerTake; ++i) {
    udev_device* device = udev_monitor_receive_device(monitor_.get());
    if (!device) break;
    DeviceEvent event;
    event.action = Text(udev_device_get_action(device));
    event.node = Text(udev_device_get_devnode(device));
    event.serial = Text(udev_device_get_property_value(device, "ID_SERIAL_SHORT"));
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(device); link;
         link = udev_list_entry_get_next(link))
      event.links.push_back(Text(udev_list_entry_get_name(link)));
    udev_device_unref(device);
    if (!event.node.empty()) events.push_back(std::move(event));
  }
  return events;
}

}  // namespace platform
