#include "tests/fakes/FakeSlotPorts.h"

#include <algorithm>
#include <cstring>

namespace device::fake {
namespace {

constexpr size_t kPage = 4096;

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t word) {
  if (bytes.size() < word * 4 + 4) return 0;
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(bytes[word * 4 + i]) << (8 * i);
  return v;
}

void PutWords(void* out, std::initializer_list<uint32_t> words) {
  auto* bytes = static_cast<uint8_t*>(out);
  size_t at = 0;
  for (uint32_t w : words)
    for (size_t i = 0; i < 4; ++i) bytes[at++] = static_cast<uint8_t>(w >> (8 * i));
}

}  // namespace

std::vector<FakeSlotPinService::Call> FakeSlotPinService::CallsOf(uint32_t code) const {
  std::vector<Call> found;
  for (const Call& c : calls)
    if (c.code == code) found.push_back(c);
  return found;
}

bool FakeSlotPinService::IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                                   uint32_t* returned) {
  Call call{code, {}, outSize, returned != nullptr};
  if (in != nullptr) call.in.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inSize);
  calls.push_back(call);
  const std::vector<uint8_t>& req = calls.back().in;

  // A request of the wrong shape fails as the kernel would refuse it.
  switch (code) {
    case kServicePresent:
      if (!present || inSize != 0 || outSize != 8) return false;
      PutWords(out, {presentFlag, static_cast<uint32_t>(connectors.size())});
      return true;
    case kConnectorInfo: {
      if (inSize != 4 || outSize != 8) return false;
      const uint32_t i = WordAt(req, 0);
      if (i >= connectors.size() || !connectors[i].answers) return false;
      PutWords(out, {connectors[i].kind, connectors[i].valid});
      return true;
    }
    case kDeviceModel: {
      if (!model || returned == nullptr) return false;
      const size_t bytes = (model->size() + 1) * 2;
      if (bytes > outSize) return false;
      auto* o = static_cast<uint8_t*>(out);
      for (size_t k = 0; k <= model->size(); ++k) {
        const char16_t u = k < model->size() ? (*model)[k] : u'\0';
        o[2 * k] = static_cast<uint8_t>(u & 0xFF);
        o[2 * k + 1] = static_cast<uint8_t>(u >> 8);
      }
      *returned = returnedBytes.value_or(static_cast<uint32_t>(bytes));
      return true;
    }
    default:
      break;
  }
  if (failPinCalls) return false;
  if (code == kAllocatePin) {
    if (inSize != 416 || outSize != 8) return false;
    const uint32_t request = WordAt(req, 0), handle = WordAt(req, 2), pin = WordAt(req, 4);
    uint32_t status = 1;
    uint32_t newHandle = 0;
    const auto holder = holders.find(pin);
    if (request == 1) {
      if (holder != holders.end()) {
        status = 8;
      } else {
        newHandle = nextHandle_++;
        holders[pin] = newHandle;
        status = 0;
      }
    } else if (request == 0 && holder != holders.end() && holder->second == handle) {
      holders.erase(holder);
      status = 0;
    }
    PutWords(out, {newHandle, allocateStatus.value_or(status)});
    return true;
  }
  if (code == kSetPinLevel) {
    if (inSize != 16 || outSize != 4) return false;
    const uint32_t pin = WordAt(req, 0), handle = WordAt(req, 2);
    const auto holder = holders.find(pin);
    uint32_t status = 3;
    if (holder != holders.end() && holder->second == handle && handle != 0) {
      levels[pin] = WordAt(req, 3) != 0;
      status = 0;
    }
    PutWords(out, {setStatus.value_or(status)});
    return true;
  }
  if (code == kGetPinLevel) {
    if (inSize != 12 || outSize != 4) return false;
    const uint32_t pin = WordAt(req, 0);
    PutWords(out, {levelWord.value_or(levels[pin] ? 10u : 0u)});
    return true;
  }
  return false;
}

FakeMemory::FakeMemory() {
  AddArea(AddressSpace::kKernelVirtual, kGpioBlock, kPage);
  AddArea(AddressSpace::kPhysical, kCompanionWindow, 2 * kPage);
  AddArea(AddressSpace::kKernelVirtual, kDriverGlobals, kPage);
}

void FakeMemory::AddArea(AddressSpace space, uint32_t address, size_t size) {
  areas_.push_back({space, address, std::vector<uint32_t>((size + 3) / 4)});
}

uint8_t* FakeMemory::Find(AddressSpace space, uint32_t address, size_t size) {
  for (Area& a : areas_) {
    const size_t bytes = a.words.size() * 4;
    if (a.space == space && address >= a.address && address - a.address + size <= bytes)
      return reinterpret_cast<uint8_t*>(a.words.data()) + (address - a.address);
  }
  return nullptr;
}

uint32_t FakeMemory::Word(AddressSpace space, uint32_t address) {
  uint32_t v = 0;
  if (const uint8_t* p = Find(space, address, 4)) std::memcpy(&v, p, 4);
  return v;
}

void FakeMemory::SetWord(AddressSpace space, uint32_t address, uint32_t value) {
  if (uint8_t* p = Find(space, address, 4)) std::memcpy(p, &value, 4);
}

uint8_t FakeMemory::Byte(AddressSpace space, uint32_t address) {
  const uint8_t* p = Find(space, address, 1);
  return p != nullptr ? *p : 0;
}

void FakeMemory::SetByte(AddressSpace space, uint32_t address, uint8_t value) {
  if (uint8_t* p = Find(space, address, 1)) *p = value;
}

void* FakeMemoryPorts::Reserve(size_t size) {
  reserveSizes.push_back(size);
  if (failReserve) {
    lastError_ = errorCode;
    return nullptr;
  }
  tokens_.push_back(std::make_unique<char>());
  void* token = tokens_.back().get();
  reservations_[token] = Reservation{size, std::nullopt};
  return token;
}

void* FakeMemoryPorts::Map(void* reservation, uint32_t address, size_t size, AddressSpace space) {
  maps.emplace_back(address, size);
  const auto r = reservations_.find(reservation);
  if (r == reservations_.end() || r->second.mapped || size > r->second.size || address % kPage != 0 ||
      (failMap && failMap(address, size))) {
    lastError_ = errorCode;
    return nullptr;
  }
  uint8_t* bytes = memory_.Find(space, address, size);
  if (bytes == nullptr) {
    lastError_ = errorCode;
    return nullptr;
  }
  r->second.mapped = address;
  r->second.mappedSize = size;
  return bytes;
}

void FakeMemoryPorts::Release(void* reservation, size_t size) {
  const auto r = reservations_.find(reservation);
  if (r == reservations_.end() || r->second.size != size) {
    ++badReleases;
    return;
  }
  reservations_.erase(r);
}

int FakeMemoryPorts::LiveMappingsOf(uint32_t address) const {
  return static_cast<int>(std::count_if(reservations_.begin(), reservations_.end(),
                                        [&](const auto& r) { return r.second.mapped && *r.second.mapped == address; }));
}

bool FakeNamedMutex::Open(const std::string& name) {
  opened.push_back(name);
  if (failOpen) return false;
  name_ = name;
  isOpen = true;
  return true;
}

bool FakeNamedMutex::Wait(std::chrono::milliseconds timeout) {
  waits.push_back(timeout);
  if (!isOpen || system_.timeOut) return false;
  int& owner = system_.owners[name_];
  if (owner != 0 && owner != process_) return false;
  owner = process_;
  return true;
}

void FakeNamedMutex::Release() {
  ++releases;
  int& owner = system_.owners[name_];
  if (owner == process_) owner = 0;
}

void FakeNamedMutex::Close() { isOpen = false; }

bool FakeNamedMutex::Owns() const {
  const auto o = system_.owners.find(name_);
  return o != system_.owners.end() && o->second == process_;
}

}  // namespace device::fake
