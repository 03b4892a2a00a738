#pragma once
// One process using the expansion-slot pin library on fake ports. Processes made on the same
// SlotDevice share its memory and named mutexes, as two programs on one handheld do.

#include "device/ExpansionSlotPin.h"
#include "tests/fakes/FakeSlotPorts.h"

namespace slot_rig {

using namespace device;
using namespace device::fake;

struct SlotDevice {
  FakeMemory memory;
  FakeMutexSystem mutexes;
};

struct Process {
  Process(SlotDevice& device, int id) : memory(device.memory), mutex(device.mutexes, id) {}
  FakeSlotPinService io;
  FakeMemoryPorts memory;
  FakeNamedMutex mutex;
  RecordingDebugOut debug;
  ExpansionSlotPin pins{{io, memory, mutex, debug}};
};

// A process on a device with the slot-pin service.
inline void WithService(Process& p) { p.io.present = true; }

// A process on a "WORKABOUT PRO" without the service.
inline void WithoutService(Process& p) {
  p.io.present = false;
  p.io.model = u"WORKABOUT PRO";
}

}  // namespace slot_rig
