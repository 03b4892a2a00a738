#include "device/SlotMemory.h"

#include <cstdio>
#include <utility>

namespace device {
namespace {

constexpr uint32_t kPageSize = 4096;

// The file and line of a failure, as the first debug line of a failed kernel mapping.
void WriteErrorPlace(IDebugOut& debug, int line) {
  char text[160];
  std::snprintf(text, sizeof text, "ERROR: %s line %d: ", __FILE_NAME__, line);
  debug.Write(text);
}

}  // namespace

MappedWindow::MappedWindow(IMemoryPorts& ports, void* reservation, size_t reservedSize, volatile uint8_t* base,
                           size_t size)
    : ports_(&ports), reservation_(reservation), reservedSize_(reservedSize), base_(base), size_(size) {}

MappedWindow::MappedWindow(MappedWindow&& other) noexcept { *this = std::move(other); }

MappedWindow& MappedWindow::operator=(MappedWindow&& other) noexcept {
  if (this != &other) {
    Reset();
    ports_ = std::exchange(other.ports_, nullptr);
    reservation_ = std::exchange(other.reservation_, nullptr);
    reservedSize_ = std::exchange(other.reservedSize_, 0);
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void MappedWindow::Reset() {
  if (ports_ != nullptr && reservation_ != nullptr) ports_->Release(reservation_, reservedSize_);
  ports_ = nullptr;
  reservation_ = nullptr;
  reservedSize_ = 0;
  base_ = nullptr;
  size_ = 0;
}

uint32_t MappedWindow::ReadWord(size_t offset) const {
  if (base_ == nullptr || offset + 4 > size_) return 0;
  return *reinterpret_cast<volatile const uint32_t*>(base_ + offset);
}

void MappedWindow::WriteWord(size_t offset, uint32_t value) {
  if (base_ == nullptr || offset + 4 > size_) return;
  *reinterpret_cast<volatile uint32_t*>(base_ + offset) = value;
}

uint8_t MappedWindow::ReadByte(size_t offset) const {
  if (base_ == nullptr || offset >= size_) return 0;
  return base_[offset];
}

void MappedWindow::WriteByte(size_t offset, uint8_t value) {
  if (base_ == nullptr || offset >= size_) return;
  base_[offset] = value;
}

MappedWindow MapKernelWindow(IMemoryPorts& ports, IDebugOut& debug, size_t size, const char* name, uint32_t address) {
  const uint32_t offset = address % kPageSize;
  const size_t reserved = offset != 0 ? size + kPageSize : size;
  void* reservation = ports.Reserve(reserved);
  if (reservation == nullptr) {
    WriteErrorPlace(debug, __LINE__);
    char text[200];
    std::snprintf(text, sizeof text, "VirtualAlloc failed! %s : size=0x%x, (0x%x)\r\n", name,
                  static_cast<unsigned>(reserved), static_cast<unsigned>(ports.LastError()));
    debug.Write(text);
    return {};
  }
  void* mapped = ports.Map(reservation, address - offset, reserved, AddressSpace::kKernelVirtual);
  if (mapped == nullptr) {
    WriteErrorPlace(debug, __LINE__);
    char text[200];
    std::snprintf(text, sizeof text, "VirtualCopy failed! %s : addr=0x%x, offset=0x%x(0x%x)\r\n", name,
                  static_cast<unsigned>(address), static_cast<unsigned>(offset),
                  static_cast<unsigned>(ports.LastError()));
    debug.Write(text);
    // The reservation is given back so that a failed mapping leaves nothing behind.
    ports.Release(reservation, reserved);
    return {};
  }
  return MappedWindow(ports, reservation, reserved, static_cast<volatile uint8_t*>(mapped) + offset, size);
}

MappedWindow MapCompanionWindow(IMemoryPorts& ports, IDebugOut& debug, uint32_t physical, size_t size) {
  const uint32_t offset = physical % kPageSize;
  const size_t reserved = offset != 0 ? size + kPageSize : size;
  void* reservation = ports.Reserve(reserved);
  if (reservation == nullptr) {
    char text[80];
    std::snprintf(text, sizeof text, "MediaQ1188 VirtualAlloc failed! %x\r\n",
                  static_cast<unsigned>(ports.LastError()));
    debug.Write(text);
    return {};
  }
  void* mapped = ports.Map(reservation, physical - offset, reserved, AddressSpace::kPhysical);
  if (mapped == nullptr) {
    char text[80];
    std::snprintf(text, sizeof text, "MediaQ1188 VirtualCopy failed! %x\r\n", static_cast<unsigned>(ports.LastError()));
    debug.Write(text);
    ports.Release(reservation, reserved);
    return {};
  }
  return MappedWindow(ports, reservation, reserved, static_cast<volatile uint8_t*>(mapped) + offset, size);
}

}  // namespace device
