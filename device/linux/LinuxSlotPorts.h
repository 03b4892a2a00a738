#pragma once
// The expansion-slot pin library's ports on Linux, and the library assembled on them.
//
// - Kernel I/O control: there is no slot-pin service, so every pin request fails. The model
//   query answers the device tree's model (/proc/device-tree/model) or, without a device
//   tree, the DMI product name (/sys/class/dmi/id/product_name), as UTF-16 with terminator.
// - Memory: reservations are inaccessible anonymous mappings. Physical windows are mapped
//   from /dev/mem over the reservation; without the device or the permission the mapping
//   fails with errno as its error code. The handheld's kernel virtual windows (its GPIO
//   block and driver globals) have no counterpart here and always fail with ENXIO, so
//   backend 2 ends with kPinFailed without touching memory that means something else here.
// - Named mutex: an advisory lock (flock) on a file of that name in /run/lock. The kernel
//   drops it when its holder ends, as the handheld's mutex is abandoned with its owner.
// - Debug output: standard error.
//
// On an ordinary PC all of this ends in backend 0: every switch fails with "The function
// failed".

#include <chrono>
#include <filesystem>
#include <string>

#include "device/ExpansionSlotPin.h"
#include "device/SlotPinPorts.h"

namespace device {

// Owns one file descriptor; closes it on destruction. Move-only.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Take()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Take();
  void Reset();

 private:
  int fd_ = -1;
};

class LinuxKernelIoControl : public IKernelIoControl {
 public:
  explicit LinuxKernelIoControl(std::filesystem::path deviceTreeModel = "/proc/device-tree/model",
                                std::filesystem::path dmiProduct = "/sys/class/dmi/id/product_name");
  bool IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, uint32_t* returned) override;

 private:
  std::filesystem::path deviceTreeModel_;
  std::filesystem::path dmiProduct_;
};

class DevMemPorts : public IMemoryPorts {
 public:
  explicit DevMemPorts(std::filesystem::path device = "/dev/mem");
  void* Reserve(size_t size) override;
  void* Map(void* reservation, uint32_t address, size_t size, AddressSpace space) override;
  void Release(void* reservation, size_t size) override;
  uint32_t LastError() override { return lastError_; }

 private:
  std::filesystem::path device_;
  FileDescriptor memory_;  // opened at the first physical mapping
  uint32_t lastError_ = 0;
};

class LockFileMutex : public INamedMutex {
 public:
  explicit LockFileMutex(std::filesystem::path directory = "/run/lock");
  bool Open(const std::string& name) override;
  bool Wait(std::chrono::milliseconds timeout) override;
  void Release() override;
  void Close() override;

 private:
  std::filesystem::path directory_;
  FileDescriptor file_;
};

class StderrDebugOut : public IDebugOut {
 public:
  void Write(const std::string& text) override;
};

// The library on the Linux ports, owning them.
class LinuxExpansionSlotPin : public IPinAccess {
 public:
  LinuxExpansionSlotPin() = default;
  int AllocatePin(int logicalPin, bool reserve) override { return pins_.AllocatePin(logicalPin, reserve); }
  int SetPinLevel(int logicalPin, bool level) override { return pins_.SetPinLevel(logicalPin, level); }
  int GetPinLevel(int logicalPin) override { return pins_.GetPinLevel(logicalPin); }

 private:
  LinuxKernelIoControl io_;
  DevMemPorts memory_;
  LockFileMutex mutex_;
  StderrDebugOut debug_;
  ExpansionSlotPin pins_{{io_, memory_, mutex_, debug_}};
};

}  // namespace device
