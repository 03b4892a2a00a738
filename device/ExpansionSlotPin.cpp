#include "device/ExpansionSlotPin.h"

#include <chrono>
#include <cstddef>
#include <string_view>

namespace device {
namespace {

// Sent as the connector when the service reported no connector of kind 0.
constexpr uint32_t kNoConnector = 10000000;

// The model that offers backend 2, and the byte count of its UTF-16 name with terminator.
constexpr std::u16string_view kDirectModel = u"WORKABOUT PRO";
constexpr uint32_t kDirectModelBytes = (kDirectModel.size() + 1) * 2;
constexpr size_t kModelBufferBytes = 200;

// Answers of the slot-pin service.
constexpr uint32_t kLevelHighAnswer = 10;
constexpr size_t kAllocateRequestBytes = 416;

// Backend-2 windows.
constexpr uint32_t kGpioBase = 0xBCE00000;  // GPIO_BASE_U_VIRTUAL
constexpr size_t kGpioSize = 108;
constexpr uint32_t kCompanionBase = 0x08040000;
constexpr size_t kCompanionSize = 8192;
constexpr uint32_t kDriverGlobals = 0xA0101000;  // DRIVER_GLOBALS_U_VIRTUAL
constexpr size_t kDriverGlobalsSize = 512;
constexpr size_t kOwnershipPageSize = 4096;
constexpr size_t kOwnershipOffset = 140;

constexpr const char* kMutexName = "ExpansionSlotPinMutex";
constexpr std::chrono::milliseconds kMutexWait{2000};

// The result of taking an ownership byte that another holder has.
constexpr int kTakenElsewhere = 15;

// Offsets of a bank's registers in the GPIO block: level, set and clear.
constexpr size_t GplrOffset(size_t bank) { return 0x00 + 4 * bank; }
constexpr size_t GpsrOffset(size_t bank) { return 0x18 + 4 * bank; }
constexpr size_t GpcrOffset(size_t bank) { return 0x24 + 4 * bank; }

enum class Direction { kInput, kOutput };
enum class Location { kGpio, kCompanion };

struct PinInfo {
  uint32_t slotPin;
  size_t index;  // the pin's ownership byte and held flag
  Direction direction;
  Location location;
  size_t reg;  // GPIO: the bank; companion: the register's byte offset
  int bit;
};

constexpr PinInfo kPins[ExpansionSlotPin::kPinCount] = {
    {63, 0, Direction::kInput, Location::kGpio, 0, 13},
    {64, 1, Direction::kInput, Location::kGpio, 2, 15},
    {65, 2, Direction::kInput, Location::kGpio, 0, 11},
    {66, 3, Direction::kInput, Location::kGpio, 2, 16},
    {73, 10, Direction::kInput, Location::kGpio, 2, 2},
    {75, 12, Direction::kInput, Location::kGpio, 2, 1},
    {96, 33, Direction::kInput, Location::kGpio, 0, 26},
    {67, 4, Direction::kOutput, Location::kGpio, 2, 0},
    {69, 6, Direction::kOutput, Location::kCompanion, 0x0C, 15},
    {70, 7, Direction::kOutput, Location::kGpio, 1, 31},
    {71, 8, Direction::kOutput, Location::kCompanion, 0x0C, 11},
    {72, 9, Direction::kOutput, Location::kGpio, 2, 13},
    {74, 11, Direction::kOutput, Location::kCompanion, 0x2B0, 3},
    {76, 13, Direction::kOutput, Location::kCompanion, 0x2B0, 4},
    {90, 27, Direction::kOutput, Location::kGpio, 0, 23},
    {92, 29, Direction::kOutput, Location::kGpio, 0, 24},
    {94, 31, Direction::kOutput, Location::kGpio, 0, 25},
};

const PinInfo* FindPin(int logicalPin) {
  if (logicalPin < 0 || logicalPin >= ExpansionSlotPin::kPinCount) return nullptr;
  return &kPins[logicalPin];
}

// Only output pins may be driven.
const PinInfo* FindOutputPin(int logicalPin) {
  const PinInfo* pin = FindPin(logicalPin);
  return pin != nullptr && pin->direction == Direction::kOutput ? pin : nullptr;
}

uint32_t Mask(const PinInfo& pin) { return uint32_t{1} << pin.bit; }

// Request and answer words travel little-endian whatever the host's byte order.
template <size_t N>
void PutWord(std::array<uint8_t, N>& bytes, size_t word, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[word * 4 + i] = static_cast<uint8_t>(value >> (8 * i));
}

template <size_t N>
uint32_t GetWord(const std::array<uint8_t, N>& bytes, size_t word) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[word * 4 + i]) << (8 * i);
  return value;
}

template <size_t Words>
std::array<uint8_t, Words * 4> MakeWords(const uint32_t (&values)[Words]) {
  std::array<uint8_t, Words * 4> bytes{};
  for (size_t i = 0; i < Words; ++i) PutWord(bytes, i, values[i]);
  return bytes;
}

}  // namespace

ExpansionSlotPin::ExpansionSlotPin(SlotPinPorts ports) : ports_(ports), connector_(kNoConnector) {}

ExpansionSlotPin::~ExpansionSlotPin() {
  // The handheld's library never shuts down; here the object's end closes the mutex handle
  // it may still have open, and the windows give their mappings back themselves.
  if (mutexOpen_) ports_.mutex.Close();
}

SlotBackend ExpansionSlotPin::Backend() {
  InitialiseOnce();
  return backend_;
}

void ExpansionSlotPin::InitialiseOnce() {
  if (initialised_) return;
  initialised_ = true;
  handles_.fill(0);
  held_.fill(false);
  mappingReferences_ = 0;
  if (ServicePresent()) {
    backend_ = SlotBackend::kSlotPinService;
  } else if (IsWorkaboutPro()) {
    backend_ = SlotBackend::kDirect;
  } else {
    backend_ = SlotBackend::kNone;
  }
}

bool ExpansionSlotPin::ServicePresent() {
  std::array<uint8_t, 8> out{};
  if (!ports_.io.IoControl(kIoServicePresent, nullptr, 0, out.data(), out.size(), nullptr)) return false;
  const uint32_t present = GetWord(out, 0);
  const uint32_t connectors = GetWord(out, 1);
  if (present == 0 || connectors == 0) return false;
  // The last valid connector of kind 0 is the one pin requests go to.
  for (uint32_t i = 0; i < connectors; ++i) {
    const auto in = MakeWords({i});
    std::array<uint8_t, 8> info{};
    if (!ports_.io.IoControl(kIoConnectorInfo, in.data(), in.size(), info.data(), info.size(), nullptr)) continue;
    if (GetWord(info, 1) != 0 && GetWord(info, 0) == 0) connector_ = i;
  }
  return true;
}

bool ExpansionSlotPin::IsWorkaboutPro() {
  std::array<uint8_t, kModelBufferBytes> name{};
  uint32_t returned = 0;
  if (!ports_.io.IoControl(kIoDeviceModel, nullptr, 0, name.data(), name.size(), &returned)) return false;
  if (returned != kDirectModelBytes) return false;
  for (size_t i = 0; i <= kDirectModel.size(); ++i) {
    const char16_t expected = i < kDirectModel.size() ? kDirectModel[i] : u'\0';
    const auto unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (unit != expected) return false;
  }
  return true;
}

int ExpansionSlotPin::AllocatePin(int logicalPin, bool reserve) {
  InitialiseOnce();
  switch (backend_) {
    case SlotBackend::kSlotPinService:
      return ServiceAllocate(logicalPin, reserve);
    case SlotBackend::kDirect:
      return DirectAllocate(logicalPin, reserve);
    case SlotBackend::kNone:
      break;
  }
  return kPinFailed;
}

int ExpansionSlotPin::SetPinLevel(int logicalPin, bool level) {
  InitialiseOnce();
  switch (backend_) {
    case SlotBackend::kSlotPinService:
      return ServiceSetLevel(logicalPin, level);
    case SlotBackend::kDirect:
      return DirectSetLevel(logicalPin, level);
    case SlotBackend::kNone:
      break;
  }
  return kPinFailed;
}

int ExpansionSlotPin::GetPinLevel(int logicalPin) {
  InitialiseOnce();
  switch (backend_) {
    case SlotBackend::kSlotPinService:
      return ServiceGetLevel(logicalPin);
    case SlotBackend::kDirect:
      return DirectGetLevel(logicalPin);
    case SlotBackend::kNone:
      break;
  }
  return 0;
}

// Backend 1. The answer words are preset before each call (handle 0, status 1) and the
// call's own result is not looked at: a call that fails leaves the presets, which read as an
// invalid pin, as the service's callers have always seen it.

int ExpansionSlotPin::ServiceAllocate(int logicalPin, bool reserve) {
  const PinInfo* pin = FindPin(logicalPin);
  if (pin == nullptr) return kPinInvalid;
  uint32_t& handle = handles_[pin->slotPin];
  if (reserve && handle != 0) return kPinInUse;
  if (!reserve && handle == 0) return kPinInvalid;

  std::array<uint8_t, kAllocateRequestBytes> in{};
  PutWord(in, 0, reserve ? 1 : 0);
  PutWord(in, 1, connector_);
  PutWord(in, 2, handle);
  PutWord(in, 3, 1);
  PutWord(in, 4, pin->slotPin);
  auto out = MakeWords({0, 1});
  ports_.io.IoControl(kIoAllocatePin, in.data(), in.size(), out.data(), out.size(), nullptr);
  switch (GetWord(out, 1)) {
    case 0:
      // A give-up answers handle 0, which clears the entry.
      handle = GetWord(out, 0);
      return kPinOk;
    case 1:
    case 3:
    case 7:
      return kPinInvalid;
    case 8:
      return kPinInUse;
    default:
      return kPinFailed;
  }
}

int ExpansionSlotPin::ServiceSetLevel(int logicalPin, bool level) {
  const PinInfo* pin = FindOutputPin(logicalPin);
  if (pin == nullptr) return kPinInvalid;
  const auto in = MakeWords({pin->slotPin, connector_, handles_[pin->slotPin], level ? 1u : 0u});
  auto out = MakeWords({1});
  ports_.io.IoControl(kIoSetPinLevel, in.data(), in.size(), out.data(), out.size(), nullptr);
  switch (GetWord(out, 0)) {
    case 0:
      return kPinOk;
    case 1:
    case 3:
      return kPinInvalid;
    default:
      return kPinFailed;
  }
}

int ExpansionSlotPin::ServiceGetLevel(int logicalPin) {
  const PinInfo* pin = FindPin(logicalPin);
  if (pin == nullptr) return 0;
  const auto in = MakeWords({pin->slotPin, connector_, handles_[pin->slotPin]});
  auto out = MakeWords({1});
  ports_.io.IoControl(kIoGetPinLevel, in.data(), in.size(), out.data(), out.size(), nullptr);
  return GetWord(out, 0) == kLevelHighAnswer ? 1 : 0;
}

// Backend 2.

int ExpansionSlotPin::DirectAllocate(int logicalPin, bool reserve) {
  const PinInfo* pin = FindPin(logicalPin);
  if (pin == nullptr) return kPinInvalid;
  if (!globals_) {
    globals_ = MapKernelWindow(ports_.memory, ports_.debug, kDriverGlobalsSize,
                               "AllocateGPIO: DRIVER_GLOBALS_U_VIRTUAL", kDriverGlobals);
    if (!globals_) return kPinFailed;
  }
  if (!reserve) {
    if (!held_[pin->index]) return kPinInvalid;
    held_[pin->index] = false;
    ReleaseOwnership(pin->index);
    DropMappingReference();
    return kPinOk;
  }
  if (!TakeMappingReference()) return kPinFailed;
  switch (TakeOwnership(pin->index)) {
    case 0:
      held_[pin->index] = true;
      return kPinOk;
    case kTakenElsewhere:
      DropMappingReference();
      return kPinInUse;
    default:
      DropMappingReference();
      return kPinFailed;
  }
}

int ExpansionSlotPin::DirectSetLevel(int logicalPin, bool level) {
  const PinInfo* pin = FindOutputPin(logicalPin);
  if (pin == nullptr || !held_[pin->index]) return kPinInvalid;
  if (pin->location == Location::kGpio) {
    // The set and clear registers act on the bits written as 1 only: a plain write of the
    // mask changes this pin and no other.
    gpio_.WriteWord(level ? GpsrOffset(pin->reg) : GpcrOffset(pin->reg), Mask(*pin));
  } else {
    const uint32_t value = companion_.ReadWord(pin->reg);
    companion_.WriteWord(pin->reg, level ? (value | Mask(*pin)) : (value & ~Mask(*pin)));
  }
  return kPinOk;
}

int ExpansionSlotPin::DirectGetLevel(int logicalPin) {
  const PinInfo* pin = FindPin(logicalPin);
  if (pin == nullptr || !held_[pin->index]) return 0;
  const uint32_t value =
      pin->location == Location::kGpio ? gpio_.ReadWord(GplrOffset(pin->reg)) : companion_.ReadWord(pin->reg);
  return (value & Mask(*pin)) != 0 ? 1 : 0;
}

bool ExpansionSlotPin::TakeMappingReference() {
  if (!gpio_)
    gpio_ = MapKernelWindow(ports_.memory, ports_.debug, kGpioSize, "AllocateGPIO: GPIO_BASE_U_VIRTUAL", kGpioBase);
  if (!companion_) companion_ = MapCompanionWindow(ports_.memory, ports_.debug, kCompanionBase, kCompanionSize);
  if (!gpio_ || !companion_) return false;
  ++mappingReferences_;
  return true;
}

void ExpansionSlotPin::DropMappingReference() {
  if (mappingReferences_ == 0) return;
  if (--mappingReferences_ > 0) return;
  gpio_.Reset();
  companion_.Reset();
  globals_.Reset();
}

bool ExpansionSlotPin::OpenOwnershipPage() {
  if (!mutexOpen_) {
    if (!ports_.mutex.Open(kMutexName)) return false;
    mutexOpen_ = true;
  }
  if (!ownershipPage_) {
    ownershipPage_ = MapKernelWindow(ports_.memory, ports_.debug, kOwnershipPageSize,
                                     "ExpansionSlotPin Initialize : pDriverGlobals", kDriverGlobals);
    if (!ownershipPage_) {
      ports_.mutex.Close();
      mutexOpen_ = false;
      return false;
    }
  }
  return true;
}

void ExpansionSlotPin::CloseOwnershipPage() {
  ownershipPage_.Reset();
  if (mutexOpen_) ports_.mutex.Close();
  mutexOpen_ = false;
}

int ExpansionSlotPin::TakeOwnership(size_t index) {
  if (index >= kOwnershipSlots) return kPinInUse;
  if (!OpenOwnershipPage()) return kPinFailed;
  if (!ports_.mutex.Wait(kMutexWait)) return kPinFailed;
  const size_t at = kOwnershipOffset + index;
  if (ownershipPage_.ReadByte(at) != 0) {
    ports_.mutex.Release();
    return kTakenElsewhere;
  }
  ownershipPage_.WriteByte(at, 1);
  ports_.mutex.Release();
  return 0;
}

void ExpansionSlotPin::ReleaseOwnership(size_t index) {
  if (index >= kOwnershipSlots) return;
  if (!OpenOwnershipPage()) return;
  if (ports_.mutex.Wait(kMutexWait)) {
    ownershipPage_.WriteByte(kOwnershipOffset + index, 0);
    ports_.mutex.Release();
  }
  CloseOwnershipPage();
}

}  // namespace device
