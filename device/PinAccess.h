#pragma once
// Access to the reader's supply pin: reserve it, set its level, read it back, give it up.
// The handheld's ExpansionSlotPin library and the Linux power modes (the emulator's supply
// pin, a GPIO line, a reader on its own cable) all keep this contract.

namespace device {

// Result codes of the pin operations.
inline constexpr int kPinOk = 0;
inline constexpr int kPinFailed = 1;
inline constexpr int kPinInvalid = 2;
inline constexpr int kPinInUse = 3;

// The logical pin of the reader's supply (slot pin 71).
inline constexpr int kReaderPowerPin = 10;

class IPinAccess {
 public:
  virtual ~IPinAccess() = default;
  // Reserves the pin (reserve true) or gives it up (false); a result code.
  virtual int AllocatePin(int logicalPin, bool reserve) = 0;
  // Drives an output pin the process holds; a result code.
  virtual int SetPinLevel(int logicalPin, bool level) = 0;
  // 1 when the pin reads high, otherwise 0.
  virtual int GetPinLevel(int logicalPin) = 0;
};

}  // namespace device
