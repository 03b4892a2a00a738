#include "device/ReaderPower.h"

#include <cerrno>
#include <charconv>
#include <string_view>

#include "device/linux/LibgpiodLine.h"
#include "device/linux/LinuxSlotPorts.h"

namespace device {
namespace {

enum class Power { kOn, kOff };

constexpr char16_t kReadBackFailed[] = u"failed to gain access to pin 71\r\n";

int SwitchReader(IPinAccess& pins, Power power, const PowerLog& log, const PowerSleep* sleep) {
  const bool high = power == Power::kOn;
  int result = 0;
  int r = pins.AllocatePin(kReaderPowerPin, true);
  if (r != kPinOk) {
    ReportPinError(r, log);
    result = -1;
  }
  if (r == kPinOk) {
    r = pins.SetPinLevel(kReaderPowerPin, high);
    if (r != kPinOk) {
      ReportPinError(r, log);
      result = -1;
      // Left reserved, the pin would stay held by this process and every later switch would
      // fail as "already in use"; so it is given up again.
      const int released = pins.AllocatePin(kReaderPowerPin, false);
      if (released != kPinOk) ReportPinError(released, log);
    }
  }
  if (r == kPinOk) {
    const int level = pins.GetPinLevel(kReaderPowerPin);
    // A mismatch is logged, but the pin is still given up and switching on still waits.
    if (high ? level != 1 : level == 1) {
      if (log) log(kReadBackFailed);
      result = -1;
    }
  }
  if (r == kPinOk) {
    r = pins.AllocatePin(kReaderPowerPin, false);
    if (r != kPinOk) {
      ReportPinError(r, log);
      result = -1;
    }
  }
  if (r == kPinOk && sleep != nullptr && *sleep) (*sleep)(static_cast<unsigned>(kPowerOnSettle.count()));
  return result;
}

// "gpio:CHIP:LINE": the chip may itself hold colons (a path), the line is the part after the
// last colon and must be a decimal number.
bool ParseGpioMode(const std::string& mode, std::string& chip, unsigned& line) {
  constexpr std::string_view kPrefix = "gpio:";
  if (mode.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::string rest = mode.substr(kPrefix.size());
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= rest.size()) return false;
  const char* first = rest.data() + colon + 1;
  const char* last = rest.data() + rest.size();
  for (const char* p = first; p != last; ++p)
    if (*p < '0' || *p > '9') return false;
  const auto [end, ec] = std::from_chars(first, last, line);
  if (ec != std::errc() || end != last) return false;
  chip = rest.substr(0, colon);
  return true;
}

}  // namespace

std::u16string PinErrorText(int code) {
  switch (code) {
    case kPinOk:
      return {};
    case kPinFailed:
      return u"The function failed\r\n";
    case kPinInvalid:
      return u"An invalid pin was selected,\r\n \t\t\t\t     or an attempt to set an input "
             u"pin.\r\n";
    case kPinInUse:
      return u"The %GPIO pin is already in use.\r\n";
    default:
      return u"Undefined error.\r\n";
  }
}

void ReportPinError(int code, const PowerLog& log) {
  if (log) log(PinErrorText(code));
}

int SwitchReaderOn(IPinAccess& pins, const PowerLog& log, const PowerSleep& sleep) {
  return SwitchReader(pins, Power::kOn, log, &sleep);
}

int SwitchReaderOff(IPinAccess& pins, const PowerLog& log) { return SwitchReader(pins, Power::kOff, log, nullptr); }

SimPins::SimPins(std::function<void(bool)> set, std::function<bool()> read)
    : set_(std::move(set)), read_(std::move(read)) {}

int SimPins::AllocatePin(int logicalPin, bool reserve) {
  if (logicalPin != kReaderPowerPin) return kPinInvalid;
  if (reserve == held_) return reserve ? kPinInUse : kPinInvalid;
  held_ = reserve;
  return kPinOk;
}

int SimPins::SetPinLevel(int logicalPin, bool level) {
  if (logicalPin != kReaderPowerPin || !held_) return kPinInvalid;
  if (!set_) return kPinFailed;
  set_(level);
  return kPinOk;
}

int SimPins::GetPinLevel(int logicalPin) {
  if (logicalPin != kReaderPowerPin || !held_ || !read_) return 0;
  return read_() ? 1 : 0;
}

GpioPins::GpioPins(std::string chip, unsigned line, std::unique_ptr<IGpioLine> gpio)
    : chip_(std::move(chip)), line_(line), gpio_(std::move(gpio)) {}

GpioPins::~GpioPins() {
  if (gpio_) gpio_->Close();
}

int GpioPins::AllocatePin(int logicalPin, bool reserve) {
  if (logicalPin != kReaderPowerPin || !gpio_) return kPinInvalid;
  if (!reserve) {
    if (!held_) return kPinInvalid;
    gpio_->Release();
    gpio_->Close();
    held_ = false;
    return kPinOk;
  }
  if (held_) return kPinInUse;
  if (gpio_->Open(chip_, line_) != 0) return kPinFailed;
  const int error = gpio_->RequestAsIs(kConsumer);
  if (error != 0) {
    gpio_->Close();
    return error == EBUSY ? kPinInUse : kPinFailed;
  }
  held_ = true;
  return kPinOk;
}

int GpioPins::SetPinLevel(int logicalPin, bool level) {
  if (logicalPin != kReaderPowerPin || !held_) return kPinInvalid;
  return gpio_->SetDirectionOutput(level ? 1 : 0) == 0 ? kPinOk : kPinFailed;
}

int GpioPins::GetPinLevel(int logicalPin) {
  if (logicalPin != kReaderPowerPin || !held_) return 0;
  return gpio_->GetValue() == 1 ? 1 : 0;
}

std::unique_ptr<IPinAccess> MakePinAccess(const std::string& mode, const PowerHooks& hooks, std::string& error) {
  error.clear();
  if (mode == "sim") {
    if (!hooks.setSupply || !hooks.readSupply) {
      error = "--power sim needs the reader emulator";
      return nullptr;
    }
    return std::make_unique<SimPins>(hooks.setSupply, hooks.readSupply);
  }
  if (mode == "always-on") return std::make_unique<AlwaysOnPins>();
  if (mode == "slot") return std::make_unique<LinuxExpansionSlotPin>();
  std::string chip;
  unsigned line = 0;
  if (ParseGpioMode(mode, chip, line)) return std::make_unique<GpioPins>(chip, line, std::make_unique<LibgpiodLine>());
  error = "--power takes sim, always-on, slot or gpio:CHIP:LINE, not '" + mode + "'";
  return nullptr;
}

}  // namespace device
