#include "app/SerialDevices.h"

#include <algorithm>
#include <fstream>
#include <map>

namespace app {
namespace {

namespace fs = std::filesystem;

// Sysfs attributes are one short line; a page is the most the kernel gives for one.
constexpr size_t kMaxAttribute = 4096;
// From the tty's device up to the USB device: a USB serial adapter's port sits two levels
// below it (device, interface, port), a USB modem's interface one level.
constexpr int kUsbLevelsUp = 3;

// The text of a sysfs attribute without its line end; empty when it cannot be read.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string text(kMaxAttribute, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Name order with runs of digits compared by value, so that ttyUSB2 comes before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ei = i;
      size_t ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      // Leading zeros do not change the value; compare the significant digits.
      size_t si = i;
      size_t sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// Newer kernels put a controller and a port device of the bus "serial-base" between a
// serial core tty and the hardware; the hardware device lies above them.
constexpr int kSerialBaseLevels = 2;

std::string Subsystem(const fs::path& device) {
  std::error_code ec;
  const fs::path bus = fs::canonical(device / "subsystem", ec);
  return ec ? std::string() : bus.filename().string();
}

fs::path HardwareDevice(const fs::path& device) {
  fs::path p = device;
  for (int level = 0; level < kSerialBaseLevels && Subsystem(p) == "serial-base"; ++level) p = p.parent_path();
  return p;
}

// A standard serial port slot without a UART: the serial core reports type 0 for it, and the
// slots the 8250 driver keeps in reserve all hang on its one platform device.
bool IsEmptyPortSlot(const fs::path& ttyFolder, const fs::path& hardware) {
  return ReadAttribute(ttyFolder / "type") == "0" || hardware.filename() == "serial8250";
}

// Fills in the USB device's identity when the tty's device lies below one.
void ReadUsbIdentity(const fs::path& device, SerialDevice& out) {
  fs::path p = device;
  for (int level = 0; level <= kUsbLevelsUp; ++level) {
    std::error_code ec;
    if (fs::is_regular_file(p / "idVendor", ec)) {
      out.bus = "usb";
      out.vendorId = ReadAttribute(p / "idVendor");
      out.productId = ReadAttribute(p / "idProduct");
      out.manufacturer = ReadAttribute(p / "manufacturer");
      out.product = ReadAttribute(p / "product");
      out.serial = ReadAttribute(p / "serial");
      return;
    }
    if (!p.has_parent_path() || p.parent_path() == p) return;
    p = p.parent_path();
  }
}

// The links of /dev/serial/by-id, by the kernel name they lead to.
std::map<std::string, std::vector<std::string>> ReadByIdLinks(const fs::path& folder) {
  std::map<std::string, std::vector<std::string>> links;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    const fs::path target = fs::read_symlink(it->path(), linkError);
    if (linkError || target.filename().empty()) continue;
    links[target.filename().string()].push_back(it->path().string());
  }
  for (auto& [name, list] : links) std::sort(list.begin(), list.end());
  return links;
}

// Device strings come from the device's own firmware; a terminal must not take them as
// control sequences.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

}  // namespace

std::vector<SerialDevice> ListSerialDevices(const SerialDeviceFolders& folders) {
  std::vector<SerialDevice> devices;
  std::error_code ec;
  for (fs::directory_iterator it(folders.sysClassTty, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path tty = it->path();
    std::error_code deviceError;
    const fs::path device = fs::canonical(tty / "device", deviceError);
    if (deviceError) continue;  // a console or a pseudo-terminal: nothing behind it
    const fs::path hardware = HardwareDevice(device);
    if (IsEmptyPortSlot(tty, hardware)) continue;

    SerialDevice d;
    d.name = tty.filename().string();
    d.path = (folders.dev / d.name).string();
    d.bus = Subsystem(hardware);
    ReadUsbIdentity(hardware, d);
    devices.push_back(std::move(d));
  }

  const auto links = ReadByIdLinks(folders.byId);
  for (SerialDevice& d : devices) {
    auto found = links.find(d.name);
    if (found != links.end()) d.byId = found->second;
  }
  std::sort(devices.begin(), devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return NaturalLess(a.name, b.name); });
  return devices;
}

std::string DescribeSerialDevice(const SerialDevice& device) {
  std::vector<std::string> parts{Printable(device.path)};
  if (device.IsUsb()) {
    std::string usb = "usb";
    if (!device.vendorId.empty() || !device.productId.empty())
      usb += " " + Printable(device.vendorId) + ":" + Printable(device.productId);
    parts.push_back(usb);
    std::string names = Printable(device.manufacturer);
    if (!device.product.empty()) names += (names.empty() ? "" : " ") + Printable(device.product);
    if (!names.empty()) parts.push_back(names);
    if (!device.serial.empty()) parts.push_back("serial " + Printable(device.serial));
  } else if (!device.bus.empty()) {
    parts.push_back(Printable(device.bus));
  }
  for (const std::string& link : device.byId) parts.push_back(Printable(link));

  std::string line;
  for (const std::string& part : parts) line += (line.empty() ? "" : "  ") + part;
  return line;
}

PortChoice ChoosePort(const std::string& commandLinePort, const char* environmentPort,
                      const std::string& rememberedPort, const std::vector<SerialDevice>& devices) {
  if (!commandLinePort.empty()) return {commandLinePort, PortSource::CommandLine};
  if (environmentPort && *environmentPort) return {environmentPort, PortSource::Environment};
  if (!rememberedPort.empty()) return {rememberedPort, PortSource::Remembered};
  for (const SerialDevice& d : devices)
    if (d.IsUsb()) return {d.path, PortSource::FirstUsbDevice};
  return {kFallbackPort, PortSource::Fallback};
}

std::string DescribePortSource(PortSource source) {
  switch (source) {
    case PortSource::CommandLine:
      return "--port";
    case PortSource::Environment:
      return "PELMOR_PORT";
    case PortSource::Remembered:
      return "the port that last worked, from pelmor.conf";
    case PortSource::FirstUsbDevice:
      return "the first USB serial device";
    case PortSource::Fallback:
      return "the default, as no USB serial device is present";
    case PortSource::Emulator:
      return "the built-in emulator";
  }
  return {};
}

}  // namespace app
