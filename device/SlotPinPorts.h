#pragma once
// The system calls the ExpansionSlotPin library rests on: the kernel's I/O control entry,
// its virtual-memory calls, a named mutex and the debug output. Each port has one virtual
// per call and no logic inside, so both backends of the library run against fakes in tests
// (tests/fakes/) and against the Linux stand-ins in the program (device/linux/).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace device {

// Request codes of the kernel I/O control entry. Every word in the requests and answers is
// 32 bits, little-endian.
inline constexpr uint32_t kIoServicePresent = 0x80192000;  // out: present flag, connector count
inline constexpr uint32_t kIoConnectorInfo = 0x80192004;   // in: connector; out: kind, valid
inline constexpr uint32_t kIoAllocatePin = 0x80192008;     // in: 416 bytes; out: handle, status
inline constexpr uint32_t kIoSetPinLevel = 0x8019200C;     // in: pin, connector, handle, level
inline constexpr uint32_t kIoGetPinLevel = 0x80192010;     // in: pin, connector, handle
inline constexpr uint32_t kIoDeviceModel = 0x01013FE8;     // out: UTF-16 model name

class IKernelIoControl {
 public:
  virtual ~IKernelIoControl() = default;
  // Sends a request with inSize bytes of input and lets the kernel write up to outSize bytes
  // of output. When returned is not null it receives the number of bytes written. False when
  // the call failed; the output may then be left as it was.
  virtual bool IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                         uint32_t* returned) = 0;
};

// The address space a window is mapped from.
enum class AddressSpace { kKernelVirtual, kPhysical };

class IMemoryPorts {
 public:
  virtual ~IMemoryPorts() = default;
  // Reserves size bytes of the process's address space without access; null on failure.
  virtual void* Reserve(size_t size) = 0;
  // Maps size bytes from a page-aligned address of the given space into a reservation,
  // read/write and uncached. Returns where the mapped bytes are reached (on a real system
  // the reservation itself); null on failure.
  virtual void* Map(void* reservation, uint32_t address, size_t size, AddressSpace space) = 0;
  // Gives a reservation back, with whatever is mapped into it; size is the reserved size.
  virtual void Release(void* reservation, size_t size) = 0;
  // The error code of the last call that failed.
  virtual uint32_t LastError() = 0;
};

// One handle on a mutex shared by name between processes.
class INamedMutex {
 public:
  virtual ~INamedMutex() = default;
  // Creates the mutex, or opens it when another process already did; false on failure.
  virtual bool Open(const std::string& name) = 0;
  // Waits until this process owns the mutex; false when the time ran out or it failed.
  virtual bool Wait(std::chrono::milliseconds timeout) = 0;
  // Gives up ownership.
  virtual void Release() = 0;
  // Closes the handle; the next use opens it again.
  virtual void Close() = 0;
};

// Debug output: seen by a developer, never by the user.
class IDebugOut {
 public:
  virtual ~IDebugOut() = default;
  virtual void Write(const std::string& text) = 0;
};

}  // namespace device
