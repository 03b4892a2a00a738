// The pin library's Linux ports: the model name from the device tree or DMI, /dev/mem
// mappings, the lock-file mutex, and the library on them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "device/ReaderPower.h"
#include "tests/fakes/FakeSlotPorts.h"
#include "device/linux/LinuxSlotPorts.h"

namespace {

using namespace device;
namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ =
        fs::temp_directory_path() / ("pelmor-device-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
    return path_ / name;
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

TEST(LinuxKernelIoControl, ModelNameFromDeviceTreeOrDmi) {
  struct Case {
    const char* name;
    std::optional<std::string> deviceTree, dmi;
    std::optional<std::u16string> model;  // none: the query fails
  };
  const Case cases[] = {
      {"device tree", std::string("WORKABOUT PRO\0", 14), std::nullopt, u"WORKABOUT PRO"},
      {"device tree first", std::string("Board A\0", 8), "Board B\n", u"Board A"},
      {"DMI", std::nullopt, "WORKABOUT PRO\n", u"WORKABOUT PRO"},
      {"empty device tree", "", "PC\n", u"PC"},
      {"neither", std::nullopt, std::nullopt, std::nullopt},
      {"longer than the buffer", std::string(120, 'x'), std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path dt = c.deviceTree ? dir.Write("model", *c.deviceTree) : dir.Path() / "none1";
    const fs::path dmi = c.dmi ? dir.Write("product_name", *c.dmi) : dir.Path() / "none2";
    LinuxKernelIoControl io(dt, dmi);
    uint8_t out[200] = {};
    uint32_t returned = 0;
    const bool ok = io.IoControl(0x01013FE8, nullptr, 0, out, sizeof out, &returned);
    ASSERT_EQ(ok, c.model.has_value());
    if (!ok) continue;
    EXPECT_EQ(returned, (c.model->size() + 1) * 2);
    std::u16string text;
    for (size_t i = 0; i + 1 < returned; i += 2) text.push_back(static_cast<char16_t>(out[i] | (out[i + 1] << 8)));
    EXPECT_EQ(text, *c.model + u'\0');
  }
}

TEST(LinuxKernelIoControl, ThereIsNoSlotPinService) {
  LinuxKernelIoControl io;
  uint8_t out[8] = {};
  for (uint32_t code : {0x80192000u, 0x80192004u, 0x80192008u, 0x8019200Cu, 0x80192010u})
    EXPECT_FALSE(io.IoControl(code, nullptr, 0, out, sizeof out, nullptr)) << std::hex << code;
}

TEST(DevMemPorts, MapsPhysicalMemoryFromTheDevice) {
  TempDir dir;
  // A plain file stands in for /dev/mem: its second page is "physical" 0x1000.
  std::string bytes(8192, '\0');
  bytes[4096] = 0x2A;
  const fs::path mem = dir.Write("mem", bytes);
  DevMemPorts ports(mem);
  void* reservation = ports.Reserve(4096);
  ASSERT_NE(reservation, nullptr);
  auto* mapped = static_cast<volatile uint8_t*>(ports.Map(reservation, 0x1000, 4096, AddressSpace::kPhysical));
  ASSERT_EQ(static_cast<volatile void*>(mapped), reservation);
  EXPECT_EQ(mapped[0], 0x2A);
  mapped[1] = 0x55;
  ports.Release(reservation, 4096);
  std::ifstream in(mem, std::ios::binary);
  in.seekg(4097);
  EXPECT_EQ(in.get(), 0x55);

  // The handheld's kernel windows do not exist here.
  reservation = ports.Reserve(4096);
  EXPECT_EQ(ports.Map(reservation, 0xA0101000, 4096, AddressSpace::kKernelVirtual), nullptr);
  EXPECT_EQ(ports.LastError(), static_cast<uint32_t>(ENXIO));
  ports.Release(reservation, 4096);

  DevMemPorts missing(dir.Path() / "no-such-device");
  reservation = missing.Reserve(4096);
  EXPECT_EQ(missing.Map(reservation, 0x08040000, 4096, AddressSpace::kPhysical), nullptr);
  EXPECT_EQ(missing.LastError(), static_cast<uint32_t>(ENOENT));
  missing.Release(reservation, 4096);
}

TEST(LockFileMutex, IsExclusiveBetweenHandlesAndTimesOut) {
  using std::chrono::milliseconds;
  TempDir dir;
  LockFileMutex first(dir.Path()), second(dir.Path());
  ASSERT_TRUE(first.Open("ExpansionSlotPinMutex"));
  ASSERT_TRUE(second.Open("ExpansionSlotPinMutex"));
  ASSERT_TRUE(first.Wait(milliseconds(0)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(second.Wait(milliseconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
  first.Release();
  EXPECT_TRUE(second.Wait(milliseconds(30)));
  second.Release();
  ASSERT_TRUE(first.Wait(milliseconds(0)));
  first.Close();  // a closed handle holds nothing, as an ended process
  EXPECT_TRUE(second.Wait(milliseconds(0)));

  LockFileMutex nowhere(dir.Path() / "missing");
  EXPECT_FALSE(nowhere.Open("ExpansionSlotPinMutex"));
  EXPECT_FALSE(nowhere.Wait(milliseconds(0)));
}

TEST(LinuxExpansionSlotPin, WorkaboutProModelWithoutKernelWindowsFails) {
  TempDir dir;
  LinuxKernelIoControl io(dir.Write("model", std::string("WORKABOUT PRO\0", 14)), dir.Path() / "none");
  DevMemPorts memory(dir.Path() / "no-mem");
  LockFileMutex mutex(dir.Path());
  fake::RecordingDebugOut debug;
  ExpansionSlotPin pins({io, memory, mutex, debug});
  ASSERT_EQ(pins.Backend(), SlotBackend::kDirect);
  std::u16string log;
  EXPECT_EQ(SwitchReaderOn(
                pins, [&](const std::u16string& t) { log += t; }, [](unsigned) {}),
            -1);
  EXPECT_EQ(log, u"The function failed\r\n");
  EXPECT_NE(debug.text.find("VirtualCopy failed! AllocateGPIO: DRIVER_GLOBALS_U_VIRTUAL"), std::string::npos);
}

TEST(LinuxExpansionSlotPin, AnyOtherModelHasNoBackend) {
  TempDir dir;
  LinuxKernelIoControl io(dir.Path() / "none", dir.Write("product_name", "Standard PC (Q35 + ICH9, 2009)\n"));
  DevMemPorts memory(dir.Path() / "no-mem");
  LockFileMutex mutex(dir.Path());
  fake::RecordingDebugOut debug;
  ExpansionSlotPin pins({io, memory, mutex, debug});
  EXPECT_EQ(pins.Backend(), SlotBackend::kNone);
  EXPECT_EQ(pins.AllocatePin(kReaderPowerPin, true), kPinFailed);
  EXPECT_EQ(debug.text, "");
}

}  // namespace
