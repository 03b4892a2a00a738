#pragma once
// Fakes of the expansion-slot pin library's ports, for tests.
//
// FakeSlotPinService answers the kernel I/O control requests as a slot-pin service and a
// model query would, with scriptable answers. FakeMemory stands for the physical memory of
// one handheld (the GPIO block, the companion chip's window and the driver globals page);
// two FakeMemoryPorts on one FakeMemory, like two FakeNamedMutex on one FakeMutexSystem,
// model two processes on the same device.
//
// The request codes and window addresses are written out here on purpose instead of taken
// from the library, so that a wrong constant in the library shows up as a failing test.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/SlotPinPorts.h"

namespace device::fake {

inline constexpr uint32_t kServicePresent = 0x80192000;
inline constexpr uint32_t kConnectorInfo = 0x80192004;
inline constexpr uint32_t kAllocatePin = 0x80192008;
inline constexpr uint32_t kSetPinLevel = 0x8019200C;
inline constexpr uint32_t kGetPinLevel = 0x80192010;
inline constexpr uint32_t kDeviceModel = 0x01013FE8;

inline constexpr uint32_t kGpioBlock = 0xBCE00000;        // kernel virtual
inline constexpr uint32_t kCompanionWindow = 0x08040000;  // physical
inline constexpr uint32_t kDriverGlobals = 0xA0101000;    // kernel virtual

class FakeSlotPinService : public IKernelIoControl {
 public:
  struct Connector {
    uint32_t kind = 0;
    uint32_t valid = 1;
    bool answers = true;  // false: the info call fails
  };
  struct Call {
    uint32_t code;
    std::vector<uint8_t> in;
    size_t outSize;
    bool countAsked;
  };

  // The presence answer; without it the presence call fails.
  bool present = true;
  uint32_t presentFlag = 1;
  std::vector<Connector> connectors = std::vector<Connector>(1);

  // The model query: no name makes the call fail; returnedBytes overrides the count.
  std::optional<std::u16string> model;
  std::optional<uint32_t> returnedBytes;

  // Pin requests. A holder handle per slot pin; a pin held elsewhere has a handle this
  // process never got. Forced answers replace the status or level word.
  std::map<uint32_t, uint32_t> holders;
  std::map<uint32_t, bool> levels;
  std::optional<uint32_t> allocateStatus;
  std::optional<uint32_t> setStatus;
  std::optional<uint32_t> levelWord;
  bool failPinCalls = false;  // pin requests fail without writing an answer

  std::vector<Call> calls;

  void HoldElsewhere(uint32_t slotPin) { holders[slotPin] = kElsewhere; }
  // The calls made with a code.
  std::vector<Call> CallsOf(uint32_t code) const;

  bool IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, uint32_t* returned) override;

 private:
  static constexpr uint32_t kElsewhere = 0xE15E;
  uint32_t nextHandle_ = 0x100;
};

// The memory of one device, shared by the processes on it.
class FakeMemory {
 public:
  FakeMemory();
  // The bytes at an address of a space, or null where no fake memory is.
  uint8_t* Find(AddressSpace space, uint32_t address, size_t size);
  uint32_t Word(AddressSpace space, uint32_t address);
  void SetWord(AddressSpace space, uint32_t address, uint32_t value);
  uint8_t Byte(AddressSpace space, uint32_t address);
  void SetByte(AddressSpace space, uint32_t address, uint8_t value);

  uint32_t GpioWord(size_t offset) { return Word(AddressSpace::kKernelVirtual, kGpioBlock + offset); }
  void SetGpioWord(size_t offset, uint32_t v) { SetWord(AddressSpace::kKernelVirtual, kGpioBlock + offset, v); }
  uint32_t CompanionWord(size_t offset) { return Word(AddressSpace::kPhysical, kCompanionWindow + offset); }
  void SetCompanionWord(size_t offset, uint32_t v) { SetWord(AddressSpace::kPhysical, kCompanionWindow + offset, v); }
  uint8_t Ownership(size_t index) { return Byte(AddressSpace::kKernelVirtual, kDriverGlobals + 140 + index); }
  // Adds zeroed memory of size bytes at an address of a space.
  void AddArea(AddressSpace space, uint32_t address, size_t size);

 private:
  struct Area {
    AddressSpace space;
    uint32_t address;
    std::vector<uint32_t> words;  // words keep register access aligned
  };
  std::vector<Area> areas_;
};

// One process's view of the memory calls.
class FakeMemoryPorts : public IMemoryPorts {
 public:
  explicit FakeMemoryPorts(FakeMemory& memory) : memory_(memory) {}

  bool failReserve = false;
  // Mappings this returns true for fail: address and size as Map gets them.
  std::function<bool(uint32_t address, size_t size)> failMap;
  uint32_t errorCode = 0x57;  // what LastError reports after an injected failure

  struct Reservation {
    size_t size;
    std::optional<uint32_t> mapped;  // the address mapped into it
    size_t mappedSize = 0;
  };

  void* Reserve(size_t size) override;
  void* Map(void* reservation, uint32_t address, size_t size, AddressSpace space) override;
  void Release(void* reservation, size_t size) override;
  uint32_t LastError() override { return lastError_; }

  // Reservations not given back.
  size_t LiveReservations() const { return reservations_.size(); }
  // Live mappings of an address, and sizes asked for at Reserve.
  int LiveMappingsOf(uint32_t address) const;
  std::vector<size_t> reserveSizes;
  std::vector<std::pair<uint32_t, size_t>> maps;  // address, size
  int badReleases = 0;                            // unknown reservation or wrong size

 private:
  FakeMemory& memory_;
  std::map<void*, Reservation> reservations_;
  std::vector<std::unique_ptr<char>> tokens_;
  uint32_t lastError_ = 0;
};

// The named mutexes of one device.
struct FakeMutexSystem {
  std::map<std::string, int> owners;  // name -> owning process, 0: none
  bool timeOut = false;               // every wait times out
};

// One process's handle on a named mutex.
class FakeNamedMutex : public INamedMutex {
 public:
  FakeNamedMutex(FakeMutexSystem& system, int process) : system_(system), process_(process) {}

  bool failOpen = false;
  std::vector<std::string> opened;  // names passed to Open
  std::vector<std::chrono::milliseconds> waits;
  bool isOpen = false;
  int releases = 0;

  bool Open(const std::string& name) override;
  bool Wait(std::chrono::milliseconds timeout) override;
  void Release() override;
  void Close() override;
  // True when this process owns the mutex it opened last.
  bool Owns() const;

 private:
  FakeMutexSystem& system_;
  int process_;
  std::string name_;
};

class RecordingDebugOut : public IDebugOut {
 public:
  std::string text;
  void Write(const std::string& t) override { text += t; }
};

}  // namespace device::fake
