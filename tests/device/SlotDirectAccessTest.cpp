// Direct access (backend 2): ownership bytes under the named mutex, shared between
// processes; the register mappings and their reference count; failing mappings.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>

#include "device/SlotMemory.h"
#include "tests/device/SlotRig.h"

namespace {

using namespace slot_rig;
using std::chrono::milliseconds;

constexpr int kPin7 = 7;  // a GPIO output pin, bank 2 bit 0

struct DirectAccess : ::testing::Test {
  SlotDevice device;
  Process a{device, 1};
  Process b{device, 2};
  void SetUp() override {
    WithoutService(a);
    WithoutService(b);
  }
};

TEST_F(DirectAccess, AnotherProcessHoldingThePinMakesItInUse) {
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  device.memory.SetCompanionWord(0x0C, 0);
  EXPECT_EQ(b.pins.AllocatePin(kReaderPowerPin, true), kPinInUse);
  // b holds nothing: it can neither drive the pin nor give it up, and keeps no register
  // mapping for the failed reservation.
  EXPECT_EQ(b.pins.SetPinLevel(kReaderPowerPin, true), kPinInvalid);
  EXPECT_EQ(device.memory.CompanionWord(0x0C), 0u);
  EXPECT_EQ(b.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);
  EXPECT_EQ(b.memory.LiveMappingsOf(kGpioBlock), 0);
  EXPECT_EQ(b.memory.LiveMappingsOf(kCompanionWindow), 0);

  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  EXPECT_EQ(b.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinInUse);
}

TEST_F(DirectAccess, ReservingTwiceInOneProcessIsInUse) {
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinInUse);
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);
}

TEST_F(DirectAccess, OwnershipChangesOnlyUnderTheNamedMutex) {
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  ASSERT_EQ(a.mutex.opened, std::vector<std::string>{"ExpansionSlotPinMutex"});
  EXPECT_FALSE(a.mutex.Owns());
  EXPECT_TRUE(a.mutex.isOpen);  // stays open from a take to the next release
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  EXPECT_FALSE(a.mutex.Owns());
  EXPECT_FALSE(a.mutex.isOpen);
  EXPECT_EQ(a.mutex.waits, (std::vector<milliseconds>{milliseconds(2000), milliseconds(2000)}));
  EXPECT_EQ(a.mutex.releases, 2);
}

TEST_F(DirectAccess, MutexOwnedElsewhereOrTimingOutFailsTheReservation) {
  device.mutexes.owners["ExpansionSlotPinMutex"] = 3;
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinFailed);
  EXPECT_EQ(device.memory.Ownership(8), 0);
  EXPECT_EQ(a.memory.LiveMappingsOf(kGpioBlock), 0);  // the reference was dropped
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);

  device.mutexes.owners.clear();
  device.mutexes.timeOut = true;
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinFailed);
  device.mutexes.timeOut = false;
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
}

TEST_F(DirectAccess, ReleaseTimingOutStillGivesThePinUpHere) {
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  device.mutexes.timeOut = true;
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  // The byte could not be cleared, so the pin still counts as held on the device.
  EXPECT_EQ(device.memory.Ownership(8), 1);
  EXPECT_FALSE(a.mutex.isOpen);
  EXPECT_EQ(a.memory.LiveReservations(), 0u);
  EXPECT_EQ(a.pins.SetPinLevel(kReaderPowerPin, true), kPinInvalid);
}

TEST_F(DirectAccess, MutexThatCannotBeOpenedFails) {
  a.mutex.failOpen = true;
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinFailed);
  EXPECT_EQ(device.memory.Ownership(8), 0);
}

TEST_F(DirectAccess, MappingsLiveWhileAReservationNeedsThem) {
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  ASSERT_EQ(a.pins.AllocatePin(kPin7, true), kPinOk);
  EXPECT_EQ(a.memory.LiveMappingsOf(kGpioBlock), 1);
  EXPECT_EQ(a.memory.LiveMappingsOf(kCompanionWindow), 1);
  ASSERT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinOk);
  EXPECT_EQ(a.memory.LiveMappingsOf(kGpioBlock), 1);
  ASSERT_EQ(a.pins.SetPinLevel(kPin7, true), kPinOk);
  EXPECT_EQ(device.memory.GpioWord(0x20), 1u);  // GPSR2 bit 0
  ASSERT_EQ(a.pins.AllocatePin(kPin7, false), kPinOk);
  EXPECT_EQ(a.memory.LiveReservations(), 0u);
  // A give-up that is refused does not drop a reference another reservation needs.
  ASSERT_EQ(a.pins.AllocatePin(kPin7, true), kPinOk);
  EXPECT_EQ(a.pins.AllocatePin(kReaderPowerPin, false), kPinInvalid);
  EXPECT_EQ(a.pins.SetPinLevel(kPin7, false), kPinOk);
  EXPECT_EQ(device.memory.GpioWord(0x2C), 1u);  // GPCR2 bit 0
  EXPECT_EQ(a.memory.badReleases, 0);
}

TEST(DirectAccessEnd, TheLibraryGivesEverythingBackWhenDestroyed) {
  SlotDevice device;
  FakeSlotPinService io;
  io.present = false;
  io.model = u"WORKABOUT PRO";
  FakeMemoryPorts memory(device.memory);
  FakeNamedMutex mutex(device.mutexes, 1);
  RecordingDebugOut debug;
  {
    ExpansionSlotPin pins({io, memory, mutex, debug});
    ASSERT_EQ(pins.AllocatePin(kReaderPowerPin, true), kPinOk);
    EXPECT_GT(memory.LiveReservations(), 0u);
  }
  EXPECT_EQ(memory.LiveReservations(), 0u);
  EXPECT_EQ(memory.badReleases, 0);
  EXPECT_FALSE(mutex.isOpen);
}

TEST_F(DirectAccess, FailingMappingsFailTheReservationWithDebugLines) {
  // A failed kernel mapping names the source place first; the place is given as "@".
  const std::regex place(R"(^ERROR: SlotMemory\.cpp line \d+: )");
  struct Case {
    const char* name;
    bool failReserve;
    std::function<bool(uint32_t, size_t)> failMap;
    std::string debug;
  };
  const Case cases[] = {
      {"reserving", true, nullptr,
       "@VirtualAlloc failed! AllocateGPIO: DRIVER_GLOBALS_U_VIRTUAL : size=0x200, (0x57)\r\n"},
      {"driver globals", false, [](uint32_t at, size_t size) { return at == kDriverGlobals && size == 512; },
       "@VirtualCopy failed! AllocateGPIO: DRIVER_GLOBALS_U_VIRTUAL : "
       "addr=0xa0101000, offset=0x0(0x57)\r\n"},
      {"GPIO block", false, [](uint32_t at, size_t) { return at == kGpioBlock; },
       "@VirtualCopy failed! AllocateGPIO: GPIO_BASE_U_VIRTUAL : "
       "addr=0xbce00000, offset=0x0(0x57)\r\n"},
      {"companion window", false, [](uint32_t at, size_t) { return at == kCompanionWindow; },
       "MediaQ1188 VirtualCopy failed! 57\r\n"},
      {"ownership page", false, [](uint32_t at, size_t size) { return at == kDriverGlobals && size == 4096; },
       "@VirtualCopy failed! ExpansionSlotPin Initialize : pDriverGlobals : "
       "addr=0xa0101000, offset=0x0(0x57)\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SlotDevice d;
    Process p(d, 1);
    WithoutService(p);
    p.memory.failReserve = c.failReserve;
    p.memory.failMap = c.failMap;
    EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinFailed);
    EXPECT_EQ(std::regex_replace(p.debug.text, place, "@"), c.debug);
    EXPECT_EQ(d.memory.Ownership(8), 0);
    EXPECT_FALSE(p.mutex.isOpen);
    EXPECT_EQ(p.pins.SetPinLevel(kReaderPowerPin, true), kPinInvalid);
    EXPECT_EQ(p.memory.badReleases, 0);
    // Once the memory is there again the pin can be had.
    p.memory.failReserve = false;
    p.memory.failMap = nullptr;
    EXPECT_EQ(p.pins.AllocatePin(kReaderPowerPin, true), kPinOk);
  }
}

TEST(SlotMemory, AnAddressInsideAPageIsReachedThroughAPageMore) {
  FakeMemory memory;
  memory.AddArea(AddressSpace::kKernelVirtual, 0x10000000, 3 * 4096);
  memory.SetWord(AddressSpace::kKernelVirtual, 0x10000010, 0xCAFEF00D);
  FakeMemoryPorts ports(memory);
  RecordingDebugOut debug;
  {
    MappedWindow w = MapKernelWindow(ports, debug, 512, "test window", 0x10000010);
    ASSERT_TRUE(w);
    EXPECT_EQ(ports.reserveSizes, std::vector<size_t>{512 + 4096});
    ASSERT_EQ(ports.maps.size(), 1u);
    EXPECT_EQ(ports.maps[0], (std::pair<uint32_t, size_t>{0x10000000, 512 + 4096}));
    EXPECT_EQ(w.ReadWord(0), 0xCAFEF00Du);
    EXPECT_EQ(w.ReadWord(512), 0u);  // outside the window
  }
  EXPECT_EQ(ports.LiveReservations(), 0u);
  EXPECT_EQ(ports.badReleases, 0);

  ports.failMap = [](uint32_t, size_t) { return true; };
  EXPECT_FALSE(MapKernelWindow(ports, debug, 512, "test window", 0x10000010));
  EXPECT_NE(debug.text.find("VirtualCopy failed! test window : addr=0x10000010, offset=0x10(0x57)\r\n"),
            std::string::npos)
      << debug.text;
  EXPECT_EQ(ports.LiveReservations(), 0u);

  debug.text.clear();
  ports.failReserve = true;
  EXPECT_FALSE(MapCompanionWindow(ports, debug, 0x08040000, 8192));
  EXPECT_EQ(debug.text, "MediaQ1188 VirtualAlloc failed! 57\r\n");
}

}  // namespace
