#pragma once
// The reader's supply, through the supply pin (logical pin 10, slot pin 71).
//
// SwitchReaderOn and SwitchReaderOff reserve the pin, set its level, read it back and give it
// up again, so the pin is held only during a switch. Every failed step is logged with the
// text of its result code and makes the switch return -1; the caller adds its own line.
//
// How the pin is reached is an IPinAccess: the expansion-slot pin library of the handheld,
// or one of the Linux power modes below, chosen by MakePinAccess from the --power option.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "device/PinAccess.h"

namespace device {

using PowerLog = std::function<void(const std::u16string&)>;
using PowerSleep = std::function<void(unsigned ms)>;

// The reader needs this long after its supply comes on before it listens.
inline constexpr std::chrono::milliseconds kPowerOnSettle{150};

// The log text of a pin result code; empty for kPinOk.
std::u16string PinErrorText(int code);

// Logs the text of a pin result code.
void ReportPinError(int code, const PowerLog& log);

// 0 when the reader is on, -1 when not (the reason logged). Waits kPowerOnSettle through
// sleep after a switch whose steps all ran, even when the level did not read back.
int SwitchReaderOn(IPinAccess& pins, const PowerLog& log, const PowerSleep& sleep);

// 0 when the reader is off, -1 when not (the reason logged). Never waits.
int SwitchReaderOff(IPinAccess& pins, const PowerLog& log);

// The emulator's supply pin: set drives it, read tells whether it is on.
class SimPins : public IPinAccess {
 public:
  SimPins(std::function<void(bool)> set, std::function<bool()> read);
  int AllocatePin(int logicalPin, bool reserve) override;
  int SetPinLevel(int logicalPin, bool level) override;
  int GetPinLevel(int logicalPin) override;

 private:
  std::function<void(bool)> set_;
  std::function<bool()> read_;
  bool held_ = false;
};

// A reader on its own cable: every step succeeds and the level reads back as last set.
class AlwaysOnPins : public IPinAccess {
 public:
  int AllocatePin(int, bool) override { return kPinOk; }
  int SetPinLevel(int, bool level) override {
    level_ = level;
    return kPinOk;
  }
  int GetPinLevel(int) override { return level_ ? 1 : 0; }

 private:
  bool level_ = true;
};

// The few libgpiod calls a supply line needs, one virtual each, so that GpioPins runs
// against a fake. Results are 0 or an errno value.
class IGpioLine {
 public:
  virtual ~IGpioLine() = default;
  // Opens the chip (a path such as /dev/gpiochip0, a name such as gpiochip0, a number or a
  // label) and takes its line.
  virtual int Open(const std::string& chip, unsigned line) = 0;
  // Requests the line as it is: its direction and level stay what they were. EBUSY when
  // another holder has it.
  virtual int RequestAsIs(const char* consumer) = 0;
  // Makes the requested line an output driven at level (an output already stays one).
  virtual int SetDirectionOutput(int level) = 0;
  // 0 or 1, or -1 on failure.
  virtual int GetValue() = 0;
  // Gives the request up.
  virtual void Release() = 0;
  // Closes the chip, giving up the request first.
  virtual void Close() = 0;
};

// A GPIO line as the supply pin. Reserving opens the chip and requests the line for the
// consumer "pelmor"; giving up releases it and closes the chip, so that the line is held
// only during a switch, like the slot pin. The request takes the line as it is, because a
// request as an output would have to name a level: one that differs from the line's present
// level would cut or raise the supply before anyone asked, and a reader left powered would
// reset. Only setting the level drives the line, as an output.
class GpioPins : public IPinAccess {
 public:
  GpioPins(std::string chip, unsigned line, std::unique_ptr<IGpioLine> gpio);
  ~GpioPins() override;
  int AllocatePin(int logicalPin, bool reserve) override;
  int SetPinLevel(int logicalPin, bool level) override;
  int GetPinLevel(int logicalPin) override;

  static constexpr const char* kConsumer = "pelmor";

 private:
  std::string chip_;
  unsigned line_;
  std::unique_ptr<IGpioLine> gpio_;
  bool held_ = false;
};

// What "sim" needs: the emulator's supply pin.
struct PowerHooks {
  std::function<void(bool)> setSupply;
  std::function<bool()> readSupply;
};

// The pin access of a --power mode: "sim", "always-on", "gpio:CHIP:LINE" or "slot" (the
// expansion-slot pin library on its Linux ports). Null with a reason in error for a mode
// that is not one of these or a "sim" without hooks.
std::unique_ptr<IPinAccess> MakePinAccess(const std::string& mode, const PowerHooks& hooks, std::string& error);

}  // namespace device
