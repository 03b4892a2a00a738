#pragma once
// The reader's supply. The main window switches it through SwitchReaderOn and
// SwitchReaderOff; how the supply is reached (the emulator's pin, a GPIO line, nothing for
// a reader on its own cable) is the backend's business.

#include <functional>

namespace device {

class IReaderSupply {
 public:
  virtual ~IReaderSupply() = default;
  // Drives the supply; false when it could not be switched.
  virtual bool Set(bool on) = 0;
};

// A reader powered by its own cable: switching always succeeds and changes nothing.
class AlwaysOnSupply : public IReaderSupply {
 public:
  bool Set(bool) override { return true; }
};

// A supply reached through a callback, such as the emulator's supply pin.
class CallbackSupply : public IReaderSupply {
 public:
  explicit CallbackSupply(std::function<bool(bool)> set) : set_(std::move(set)) {}
  bool Set(bool on) override { return set_ ? set_(on) : false; }

 private:
  std::function<bool(bool)> set_;
};

}  // namespace device
