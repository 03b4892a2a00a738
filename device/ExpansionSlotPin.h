#pragma once
// The expansion-slot pin library: 17 logical pins of the handheld's expansion slot, reached
// through one of two backends chosen at the first call.
//
// Backend 1 is the slot-pin service, a kernel service behind I/O control calls that owns the
// pins and hands out reservations. Backend 2, on a "WORKABOUT PRO" without the service, maps
// the processor's GPIO register block, the companion chip's register window and the driver
// globals page itself; every process records the pins it holds in ownership bytes of that
// page, changed only under the named mutex "ExpansionSlotPinMutex". Without either, every
// reservation and level change fails with kPinFailed and every level reads 0.
//
// One object holds what the library keeps for the whole process: the program makes one,
// tests make a fresh one per case. It is used from one thread. The ports must outlive it.

#include <array>
#include <cstdint>

#include "device/PinAccess.h"
#include "device/SlotMemory.h"
#include "device/SlotPinPorts.h"

namespace device {

struct SlotPinPorts {
  IKernelIoControl& io;
  IMemoryPorts& memory;
  INamedMutex& mutex;
  IDebugOut& debug;
};

enum class SlotBackend { kNone = 0, kSlotPinService = 1, kDirect = 2 };

class ExpansionSlotPin : public IPinAccess {
 public:
  explicit ExpansionSlotPin(SlotPinPorts ports);
  ~ExpansionSlotPin() override;
  ExpansionSlotPin(const ExpansionSlotPin&) = delete;
  ExpansionSlotPin& operator=(const ExpansionSlotPin&) = delete;

  int AllocatePin(int logicalPin, bool reserve) override;
  int SetPinLevel(int logicalPin, bool level) override;
  int GetPinLevel(int logicalPin) override;

  // The backend in use; the first call of any kind chooses it.
  SlotBackend Backend();

  // The number of logical pins.
  static constexpr int kPinCount = 17;

 private:
  static constexpr size_t kHandleSlots = 100;
  static constexpr size_t kOwnershipSlots = 34;

  void InitialiseOnce();
  bool ServicePresent();
  bool IsWorkaboutPro();

  int ServiceAllocate(int logicalPin, bool reserve);
  int ServiceSetLevel(int logicalPin, bool level);
  int ServiceGetLevel(int logicalPin);

  int DirectAllocate(int logicalPin, bool reserve);
  int DirectSetLevel(int logicalPin, bool level);
  int DirectGetLevel(int logicalPin);
  bool TakeMappingReference();
  void DropMappingReference();
  int TakeOwnership(size_t index);
  void ReleaseOwnership(size_t index);
  bool OpenOwnershipPage();
  void CloseOwnershipPage();

  SlotPinPorts ports_;
  bool initialised_ = false;
  SlotBackend backend_ = SlotBackend::kNone;

  // Backend 1: the connector sent with every request and the handle held per slot pin.
  uint32_t connector_;
  std::array<uint32_t, kHandleSlots> handles_{};

  // Backend 2. The two register windows and the 512-byte globals mapping live while a
  // reservation needs them; ownershipPage_ and the mutex stay open from a take to the next
  // release.
  MappedWindow gpio_;
  MappedWindow companion_;
  MappedWindow globals_;
  int mappingReferences_ = 0;
  std::array<bool, kOwnershipSlots> held_{};
  MappedWindow ownershipPage_;
  bool mutexOpen_ = false;
};

}  // namespace device
