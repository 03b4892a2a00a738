#pragma once
// Mapped windows of the expansion-slot pin library: the processor's GPIO register block,
// the companion chip's register window and the driver globals page.
//
// A window is mapped at a page boundary: an address inside a page is reached by reserving
// one page more and returning the reservation plus the address's offset in its page.
// Failures write debug lines only; the caller sees an empty window.

#include <cstddef>
#include <cstdint>

#include "device/SlotPinPorts.h"

namespace device {

// A mapping that gives its reservation back when reset or destroyed; move-only.
class MappedWindow {
 public:
  MappedWindow() = default;
  MappedWindow(IMemoryPorts& ports, void* reservation, size_t reservedSize, volatile uint8_t* base, size_t size);
  ~MappedWindow() { Reset(); }
  MappedWindow(MappedWindow&& other) noexcept;
  MappedWindow& operator=(MappedWindow&& other) noexcept;
  MappedWindow(const MappedWindow&) = delete;
  MappedWindow& operator=(const MappedWindow&) = delete;

  explicit operator bool() const { return base_ != nullptr; }
  void Reset();

  // Register and byte access inside the window. Reads outside it give 0 and writes outside
  // it are dropped, so a wrong offset can never reach memory the window does not cover.
  uint32_t ReadWord(size_t offset) const;
  void WriteWord(size_t offset, uint32_t value);
  uint8_t ReadByte(size_t offset) const;
  void WriteByte(size_t offset, uint8_t value);

 private:
  IMemoryPorts* ports_ = nullptr;
  void* reservation_ = nullptr;
  size_t reservedSize_ = 0;
  volatile uint8_t* base_ = nullptr;
  size_t size_ = 0;
};

// Maps size bytes of a kernel virtual address; name identifies the window in debug lines.
MappedWindow MapKernelWindow(IMemoryPorts& ports, IDebugOut& debug, size_t size, const char* name, uint32_t address);

// Maps size bytes of the companion chip's registers from a physical address.
MappedWindow MapCompanionWindow(IMemoryPorts& ports, IDebugOut& debug, uint32_t physical, size_t size);

}  // namespace device
