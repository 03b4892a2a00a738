#include "device/linux/LinuxSlotPorts.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

namespace device {
namespace {

// How often a contended lock is tried again while waiting for it.
constexpr std::chrono::milliseconds kLockRetry{5};

// A model name longer than this is not a model name.
constexpr size_t kModelFileLimit = 256;

// The file's text without the terminator and line end the kernel puts after it; empty when
// the file cannot be read.
std::string ReadModelFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string text;
  char c = 0;
  while (text.size() < kModelFileLimit && file.get(c)) text.push_back(c);
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Take();
  }
  return *this;
}

int FileDescriptor::Take() { return std::exchange(fd_, -1); }

void FileDescriptor::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

LinuxKernelIoControl::LinuxKernelIoControl(std::filesystem::path deviceTreeModel, std::filesystem::path dmiProduct)
    : deviceTreeModel_(std::move(deviceTreeModel)), dmiProduct_(std::move(dmiProduct)) {}

bool LinuxKernelIoControl::IoControl(uint32_t code, const void*, size_t, void* out, size_t outSize,
                                     uint32_t* returned) {
  if (code != kIoDeviceModel || out == nullptr) return false;
  std::string model = ReadModelFile(deviceTreeModel_);
  if (model.empty()) model = ReadModelFile(dmiProduct_);
  if (model.empty()) return false;
  // Both files hold ASCII; each byte becomes one UTF-16 unit.
  const size_t bytes = (model.size() + 1) * 2;
  if (bytes > outSize) return false;
  auto* units = static_cast<uint8_t*>(out);
  for (size_t i = 0; i < model.size(); ++i) {
    units[2 * i] = static_cast<uint8_t>(model[i]);
    units[2 * i + 1] = 0;
  }
  units[bytes - 2] = 0;
  units[bytes - 1] = 0;
  if (returned != nullptr) *returned = static_cast<uint32_t>(bytes);
  return true;
}

DevMemPorts::DevMemPorts(std::filesystem::path device) : device_(std::move(device)) {}

void* DevMemPorts::Reserve(size_t size) {
  void* block = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (block == MAP_FAILED) {
    lastError_ = static_cast<uint32_t>(errno);
    return nullptr;
  }
  return block;
}

void* DevMemPorts::Map(void* reservation, uint32_t address, size_t size, AddressSpace space) {
  if (space != AddressSpace::kPhysical) {
    lastError_ = ENXIO;
    return nullptr;
  }
  if (!memory_.Valid()) {
    memory_ = FileDescriptor(::open(device_.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
    if (!memory_.Valid()) {
      lastError_ = static_cast<uint32_t>(errno);
      return nullptr;
    }
  }
  void* mapped = ::mmap(reservation, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, memory_.Get(),
                        static_cast<off_t>(address));
  if (mapped == MAP_FAILED) {
    lastError_ = static_cast<uint32_t>(errno);
    return nullptr;
  }
  return mapped;
}

void DevMemPorts::Release(void* reservation, size_t size) {
  if (reservation != nullptr) ::munmap(reservation, size);
}

LockFileMutex::LockFileMutex(std::filesystem::path directory) : directory_(std::move(directory)) {}

bool LockFileMutex::Open(const std::string& name) {
  const std::filesystem::path path = directory_ / name;
  file_ = FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  return file_.Valid();
}

bool LockFileMutex::Wait(std::chrono::milliseconds timeout) {
  if (!file_.Valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::flock(file_.Get(), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockRetry);
  }
}

void LockFileMutex::Release() {
  if (file_.Valid()) ::flock(file_.Get(), LOCK_UN);
}

void LockFileMutex::Close() { file_.Reset(); }

void StderrDebugOut::Write(const std::string& text) { std::fputs(text.c_str(), stderr); }

}  // namespace device
