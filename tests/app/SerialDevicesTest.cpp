// The serial device list read from a sysfs tree laid out like the kernel's, and the choice of
// the reader's port.

#include "app/SerialDevices.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/app/Rig.h"

namespace {

namespace fs = std::filesystem;
using app::PortSource;
using app::SerialDevice;

// A machine with two USB serial adapters, a USB modem interface, a PC's serial port, an
// on-board UART, empty 8250 port slots and virtual consoles.
class FakeMachine {
 public:
  FakeMachine() {
    const fs::path usbBus = Sys("bus/usb");
    const fs::path usbSerialBus = Sys("bus/usb-serial");
    const fs::path platformBus = Sys("bus/platform");
    const fs::path pnpBus = Sys("bus/pnp");
    const fs::path serialBase = Sys("bus/serial-base");
    for (const auto& bus : {usbBus, usbSerialBus, platformBus, pnpBus, serialBase}) fs::create_directories(bus);

    // An FTDI adapter: tty -> usb-serial port -> interface -> USB device.
    const fs::path ftdi = Sys("devices/pci0000:00/0000:00:14.0/usb1/1-2");
    UsbDevice(ftdi, {{"idVendor", "0403"},
                     {"idProduct", "6001"},
                     {"manufacturer", "FTDI"},
                     {"product", "FT232R USB UART"},
                     {"serial", "A600ABCD"}});
    SerialPort(ftdi / "1-2:1.0" / "ttyUSB0", usbSerialBus, "ttyUSB0");

    // A second adapter that gives no strings, and a third: their numbers order them.
    const fs::path bare = Sys("devices/pci0000:00/0000:00:14.0/usb1/1-3");
    UsbDevice(bare, {{"idVendor", "1a86"}, {"idProduct", "7523"}});
    SerialPort(bare / "1-3:1.0" / "ttyUSB10", usbSerialBus, "ttyUSB10");
    const fs::path third = Sys("devices/pci0000:00/0000:00:14.0/usb1/1-4");
    UsbDevice(third, {{"idVendor", "067b"}, {"idProduct", "2303"}});
    SerialPort(third / "1-4:1.0" / "ttyUSB2", usbSerialBus, "ttyUSB2");

    // A USB modem (CDC ACM): the tty hangs directly on the interface.
    const fs::path modem = Sys("devices/pci0000:00/0000:00:14.0/usb1/1-5");
    UsbDevice(modem, {{"idVendor", "2341"}, {"idProduct", "0043"}, {"manufacturer", "Maker\x1b[2J"}});
    Device(modem / "1-5:1.0", usbBus);
    Tty(modem / "1-5:1.0", "ttyACM0");

    // The PC's own serial port, found by the firmware tables, with a UART (type 4, a 16550A),
    // as newer kernels show it: a serial-base controller and port between tty and hardware.
    Device(Sys("devices/pnp0/00:01"), pnpBus);
    Device(Sys("devices/pnp0/00:01/00:01:0"), serialBase);
    Device(Sys("devices/pnp0/00:01/00:01:0/00:01:0.0"), serialBase);
    Tty(Sys("devices/pnp0/00:01/00:01:0/00:01:0.0"), "ttyS0", "4");
    // An on-board UART of a handheld: a platform device of its own, the tty directly on it as
    // older kernels show it.
    Device(Sys("devices/platform/fe215040.serial"), platformBus);
    Tty(Sys("devices/platform/fe215040.serial"), "ttyS1", "4");
    // Port slots the 8250 driver keeps without a UART, in both forms.
    Device(Sys("devices/platform/serial8250"), platformBus);
    Tty(Sys("devices/platform/serial8250"), "ttyS2", "0");
    Device(Sys("devices/platform/serial8250/serial8250:0"), serialBase);
    Device(Sys("devices/platform/serial8250/serial8250:0/serial8250:0.3"), serialBase);
    Tty(Sys("devices/platform/serial8250/serial8250:0/serial8250:0.3"), "ttyS3", "0");
    // A slot that claims a UART but still hangs on the 8250 driver's reserve device.
    Device(Sys("devices/platform/serial8250/serial8250:0/serial8250:0.4"), serialBase);
    Tty(Sys("devices/platform/serial8250/serial8250:0/serial8250:0.4"), "ttyS4", "4");
    // Virtual consoles and the pseudo-terminal multiplexer have no device behind them.
    for (const char* name : {"tty0", "tty1", "ptmx", "console"}) {
      fs::create_directories(Sys("devices/virtual/tty") / name);
      fs::create_directory_symlink(Sys("devices/virtual/tty") / name, Sys("class/tty") / name);
    }

    // udev's stable names, relative links as udev makes them; one leads to a device that went.
    fs::create_directories(ById());
    fs::create_symlink("../../ttyUSB0", ById() / "usb-FTDI_FT232R_USB_UART_A600ABCD-if00-port0");
    fs::create_symlink("../../ttyACM0", ById() / "usb-Maker_Uno_123-if00");
    fs::create_symlink("../../ttyACM0", ById() / "usb-Maker_Uno_123-if00-alias");
    fs::create_symlink("../../ttyUSB7", ById() / "usb-Gone_Adapter-if00-port0");
  }

  app::SerialDeviceFolders Folders() const { return {Sys("class/tty"), dir_.Path() / "dev", ById()}; }
  fs::path Sys(const std::string& rel) const { return dir_.Path() / "sys" / rel; }
  fs::path ById() const { return dir_.Path() / "dev" / "serial" / "by-id"; }

 private:
  static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text << "\n"; }
  void UsbDevice(const fs::path& dir, const std::vector<std::pair<std::string, std::string>>& attrs) {
    Device(dir, Sys("bus/usb"));
    for (const auto& [name, value] : attrs) Write(dir / name, value);
  }
  static void Device(const fs::path& dir, const fs::path& bus) {
    fs::create_directories(dir);
    fs::create_directory_symlink(bus, dir / "subsystem");
  }
  void SerialPort(const fs::path& port, const fs::path& bus, const std::string& name) {
    Device(port.parent_path(), Sys("bus/usb"));
    Device(port, bus);
    Tty(port, name);
  }
  // The class device of a tty below its device, with the links the kernel makes.
  void Tty(const fs::path& device, const std::string& name, const std::string& type = "") {
    const fs::path tty = device / "tty" / name;
    fs::create_directories(tty);
    fs::create_directory_symlink(device, tty / "device");
    if (!type.empty()) Write(tty / "type", type);
    fs::create_directories(Sys("class/tty"));
    fs::create_directory_symlink(tty, Sys("class/tty") / name);
  }

  testing_rig::TempDir dir_;
};

std::vector<std::string> Names(const std::vector<SerialDevice>& devices) {
  std::vector<std::string> names;
  for (const auto& d : devices) names.push_back(d.name);
  return names;
}

const SerialDevice* Find(const std::vector<SerialDevice>& devices, const std::string& name) {
  for (const auto& d : devices)
    if (d.name == name) return &d;
  return nullptr;
}

TEST(SerialDevices, ListsHardwareTtysInNumberOrder) {
  FakeMachine m;
  const auto devices = app::ListSerialDevices(m.Folders());
  // No empty 8250 slots, no consoles; ttyUSB2 before ttyUSB10.
  EXPECT_EQ(Names(devices), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS1", "ttyUSB0", "ttyUSB2", "ttyUSB10"}));
}

TEST(SerialDevices, UsbAdapterIdentityAndStableNames) {
  FakeMachine m;
  const auto devices = app::ListSerialDevices(m.Folders());
  const SerialDevice* ftdi = Find(devices, "ttyUSB0");
  ASSERT_NE(ftdi, nullptr);
  EXPECT_EQ(ftdi->path, (m.Folders().dev / "ttyUSB0").string());
  EXPECT_TRUE(ftdi->IsUsb());
  EXPECT_EQ(ftdi->vendorId, "0403");
  EXPECT_EQ(ftdi->productId, "6001");
  EXPECT_EQ(ftdi->manufacturer, "FTDI");
  EXPECT_EQ(ftdi->product, "FT232R USB UART");
  EXPECT_EQ(ftdi->serial, "A600ABCD");
  EXPECT_EQ(ftdi->byId,
            (std::vector<std::string>{(m.ById() / "usb-FTDI_FT232R_USB_UART_A600ABCD-if00-port0").string()}));

  // A modem interface is one level below its USB device, not two.
  const SerialDevice* modem = Find(devices, "ttyACM0");
  ASSERT_NE(modem, nullptr);
  EXPECT_TRUE(modem->IsUsb());
  EXPECT_EQ(modem->vendorId, "2341");
  EXPECT_EQ(modem->productId, "0043");
  EXPECT_EQ(modem->serial, "");
  EXPECT_EQ(modem->byId.size(), 2u);

  const SerialDevice* bare = Find(devices, "ttyUSB10");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->vendorId, "1a86");
  EXPECT_EQ(bare->manufacturer, "");
  EXPECT_TRUE(bare->byId.empty());
}

TEST(SerialDevices, BoardPortsKeepTheirBus) {
  FakeMachine m;
  const auto devices = app::ListSerialDevices(m.Folders());
  const SerialDevice* pc = Find(devices, "ttyS0");
  ASSERT_NE(pc, nullptr);
  EXPECT_EQ(pc->bus, "pnp");
  EXPECT_FALSE(pc->IsUsb());
  EXPECT_EQ(pc->vendorId, "");
  // An on-board UART is a platform device too, yet a real one.
  const SerialDevice* board = Find(devices, "ttyS1");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->bus, "platform");
}

TEST(SerialDevices, MissingFoldersGiveAnEmptyList) {
  testing_rig::TempDir dir;
  EXPECT_TRUE(app::ListSerialDevices({dir.Path() / "no-sys", dir.Path() / "dev", dir.Path() / "no-by-id"}).empty());
  // A machine without /dev/serial/by-id (no udev) still lists its ports.
  FakeMachine m;
  auto folders = m.Folders();
  folders.byId = dir.Path() / "no-by-id";
  const auto devices = app::ListSerialDevices(folders);
  ASSERT_EQ(devices.size(), 6u);
  for (const auto& d : devices) EXPECT_TRUE(d.byId.empty()) << d.name;
}

TEST(SerialDevices, ListingLines) {
  SerialDevice ftdi{"ttyUSB0",
                    "/dev/ttyUSB0",
                    "usb",
                    "0403",
                    "6001",
                    "FTDI",
                    "FT232R USB UART",
                    "A600ABCD",
                    {"/dev/serial/by-id/usb-FTDI-if00-port0"}};
  EXPECT_EQ(app::DescribeSerialDevice(ftdi),
            "/dev/ttyUSB0  usb 0403:6001  FTDI FT232R USB UART  serial A600ABCD  "
            "/dev/serial/by-id/usb-FTDI-if00-port0");

  SerialDevice bare{"ttyUSB1", "/dev/ttyUSB1", "usb", "1a86", "7523", "", "", "", {}};
  EXPECT_EQ(app::DescribeSerialDevice(bare), "/dev/ttyUSB1  usb 1a86:7523");

  SerialDevice productOnly{"ttyACM0", "/dev/ttyACM0", "usb", "2341", "0043", "", "Uno", "", {}};
  EXPECT_EQ(app::DescribeSerialDevice(productOnly), "/dev/ttyACM0  usb 2341:0043  Uno");

  SerialDevice board{"ttyS0", "/dev/ttyS0", "pnp", "", "", "", "", "", {}};
  EXPECT_EQ(app::DescribeSerialDevice(board), "/dev/ttyS0  pnp");

  // A device's own strings cannot send escape sequences to the terminal.
  SerialDevice hostile{"ttyACM1", "/dev/ttyACM1", "usb", "2341", "0043", "Maker\x1b[2J", "Uno\r\n", "1\x07", {}};
  EXPECT_EQ(app::DescribeSerialDevice(hostile), "/dev/ttyACM1  usb 2341:0043  Maker?[2J Uno??  serial 1?");
}

TEST(SerialDevices, ChoosePort) {
  const std::vector<SerialDevice> none;
  const std::vector<SerialDevice> boardOnly{{"ttyS0", "/dev/ttyS0", "pnp", "", "", "", "", "", {}}};
  const std::vector<SerialDevice> withUsb{
      {"ttyS0", "/dev/ttyS0", "pnp", "", "", "", "", "", {}},
      {"ttyUSB3", "/dev/ttyUSB3", "usb", "0403", "6001", "", "", "", {}},
      {"ttyUSB4", "/dev/ttyUSB4", "usb", "0403", "6001", "", "", "", {}},
  };
  struct Case {
    std::string option;
    const char* env;
    std::string remembered;  // from pelmor.conf
    const std::vector<SerialDevice>* devices;
    std::string device;
    PortSource source;
  };
  const Case cases[] = {
      {"/dev/ttyS1", "/dev/ttyUSB9", "/dev/ttyACM7", &withUsb, "/dev/ttyS1", PortSource::CommandLine},
      {"", "/dev/ttyUSB9", "/dev/ttyACM7", &withUsb, "/dev/ttyUSB9", PortSource::Environment},
      {"", "", "/dev/ttyACM7", &withUsb, "/dev/ttyACM7", PortSource::Remembered},  // empty: not set
      {"", nullptr, "/dev/ttyACM7", &none, "/dev/ttyACM7", PortSource::Remembered},
      {"", "", "", &withUsb, "/dev/ttyUSB3", PortSource::FirstUsbDevice},
      {"", nullptr, "", &withUsb, "/dev/ttyUSB3", PortSource::FirstUsbDevice},
      {"", nullptr, "", &boardOnly, app::kFallbackPort, PortSource::Fallback},
      {"", nullptr, "", &none, app::kFallbackPort, PortSource::Fallback},
  };
  for (const Case& c : cases) {
    const app::PortChoice choice = app::ChoosePort(c.option, c.env, c.remembered, *c.devices);
    EXPECT_EQ(choice.device, c.device) << c.option << " / " << (c.env ? c.env : "(null)") << " / " << c.remembered;
    EXPECT_EQ(choice.source, c.source) << c.option << " / " << (c.env ? c.env : "(null)") << " / " << c.remembered;
  }
}

TEST(SerialDevices, TheFirstUsbDeviceOfAMachine) {
  FakeMachine m;
  // The modem sorts before the adapters, and it is on USB.
  EXPECT_EQ(app::ChoosePort("", nullptr, "", app::ListSerialDevices(m.Folders())).device,
            (m.Folders().dev / "ttyACM0").string());
}

}  // namespace
