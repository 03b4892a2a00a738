#pragma once
// The serial devices of the machine, as the kernel shows them in /sys/class/tty and udev names
// them in /dev/serial/by-id, and the choice of the reader's port when none is given.
//
// The folders are parameters so that tests can lay out a tree of their own; nothing here
// opens a device.

#include <filesystem>
#include <string>
#include <vector>

namespace app {

struct SerialDevice {
  std::string name;  // the kernel's name, "ttyUSB0"
  std::string path;  // the device node, "/dev/ttyUSB0"
  // "usb" for a device on a USB adapter or a USB modem interface, otherwise the subsystem of
  // the device behind the tty ("pnp", "platform", "pci", "amba" ...).
  std::string bus;
  // Of the USB device; empty where the device does not say.
  std::string vendorId;  // four hexadecimal digits
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
  // The stable names in /dev/serial/by-id that lead to this device, sorted.
  std::vector<std::string> byId;

  bool IsUsb() const { return bus == "usb"; }
};

struct SerialDeviceFolders {
  std::filesystem::path sysClassTty = "/sys/class/tty";
  std::filesystem::path dev = "/dev";
  std::filesystem::path byId = "/dev/serial/by-id";
};

// The ttys that stand for hardware, in name order with numbers compared as numbers (ttyS2
// before ttyS10). A tty with no device behind it (consoles, pseudo-terminals) is left out, and
// so is a standard serial port slot with no UART (the kernel keeps ttyS0 to ttyS31 whether a
// port is there or not). A folder that cannot be read gives an empty list.
std::vector<SerialDevice> ListSerialDevices(const SerialDeviceFolders& folders = {});

// One line of `pelmor --list-ports`, without the line end: the device node, then what is known
// of it. Control characters from the device's own strings are shown as '?'.
std::string DescribeSerialDevice(const SerialDevice& device);

// The default device when neither --port nor PELMOR_PORT names one and no USB serial device
// is present.
inline constexpr const char* kFallbackPort = "/dev/ttyUSB0";

enum class PortSource { CommandLine, Environment, Remembered, FirstUsbDevice, Fallback, Emulator };

struct PortChoice {
  std::string device;
  PortSource source = PortSource::Fallback;
};

// The reader's port: --port, else the environment's PELMOR_PORT (null or empty: not set),
// else the port that last worked (remembered in pelmor.conf; empty: none), else the first USB
// serial device of the list, else kFallbackPort.
PortChoice ChoosePort(const std::string& commandLinePort, const char* environmentPort,
                      const std::string& rememberedPort, const std::vector<SerialDevice>& devices);

// How the port was found, in a few words for the user: "--port", "PELMOR_PORT" ...
std::string DescribePortSource(PortSource source);

}  // namespace app
