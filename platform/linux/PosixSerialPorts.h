#pragma once
// The serial port service on POSIX terminals (termios).
//
// The port name "COM1:" (in any letter case) stands for the device given at construction,
// a real tty such as /dev/ttyUSB0 or the slave of a pseudo-terminal; a name that begins
// with "/" is opened as the path it is; every other name fails with kErrNotFound.
//
// A port is opened for exclusive use: the tty is put into exclusive mode (TIOCEXCL), which
// keeps other programs from opening it, and an advisory lock (flock) is taken, which also
// stops a second opener that has the privilege to pass the exclusive mode (root), in this
// or another process. A second open of the same device therefore fails with
// kErrSharingViolation. At open the line is put into raw mode with the receiver enabled and
// the modem lines ignored (CLOCAL), as a serial driver starts; the speed stays as the
// device had it. Modem-line ioctls are never used, so a pseudo-terminal behaves like a
// real port.
//
// The device control block maps onto termios as TermiosDcb.h describes. SetCommState
// refuses with kErrInvalidParameter a block that has no termios form, and also one the
// device does not hold after the change (a pseudo-terminal, for one, always keeps 8 data
// bits without parity); a refused block leaves the settings as they were. Every termios
// field the block does not describe keeps its current value.
//
// Reads return at once with what the driver has buffered, possibly nothing: the one mode
// the program sets (interval MAXDWORD, both totals 0), and the only one implemented. The read
// time-outs are kept per handle and reported back, but do not make a read wait.
//
// Writes are synchronous: they return when the driver took every byte, or when the write
// total time-out (multiplier * size + constant, if above 0) or kWriteCap passed, whichever
// comes first, so the user interface never hangs on a reader that stopped reading. A write
// that timed out succeeds with the short count in `written`, as a driver's time-out does,
// and leaves kErrTimeout as the last error. The output queue is not drained.
//
// A device that went away (a USB adapter pulled, the pseudo-terminal's master closed) makes
// reads, writes and settings fail at once with an error, never wait.
//
// Every call sets the last error: kErrNone when it succeeded, otherwise the reason. The
// service is not thread-safe; like the rest of the program it is used from one thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/Serial.h"
#include "platform/linux/UniqueFd.h"

namespace platform {

class PosixSerialPorts : public ISerialPorts {
 public:
  // The longest any write waits for the driver to take its bytes.
  static constexpr std::chrono::milliseconds kWriteCap{1000};

  // com1Device: the device "COM1:" stands for; empty means "COM1:" is not there.
  explicit PosixSerialPorts(std::string com1Device);
  ~PosixSerialPorts() override;
  PosixSerialPorts(const PosixSerialPorts&) = delete;
  PosixSerialPorts& operator=(const PosixSerialPorts&) = delete;

  CommHandle Open(const fw::WString& name) override;
  bool Close(CommHandle h) override;

  bool GetCommState(CommHandle h, Dcb& dcb) override;
  bool SetCommState(CommHandle h, const Dcb& dcb) override;
  bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) override;
  bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override;

  bool Read(CommHandle h, uint8_t* buffer, size_t size, size_t& read) override;
  bool Write(CommHandle h, const uint8_t* data, size_t size, size_t& written) override;

  // The port's own descriptor: poll() sees it readable when Read has bytes or would fail.
  int ReadinessFd(CommHandle h) override;

  uint32_t GetLastError() const override { return lastError_; }
  fw::WString ErrorText(uint32_t error) const override;

 private:
  // An open port: the descriptor, holding the lock and the exclusive mode, and the
  // time-outs of its handle. Not movable: it lives in its table node until closed.
  struct Port {
    explicit Port(UniqueFd descriptor) : fd(std::move(descriptor)) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port();

    UniqueFd fd;
    CommTimeouts timeouts;
  };

  Port* Find(CommHandle h);
  // Records err (an errno value, 0 for success) as the last error.
  void SetError(int err);
  bool Fail(int err) {
    SetError(err);
    return false;
  }
  // A failed read or write: the errors by which a terminal says its device went away
  // become kErrDeviceGone.
  bool FailIo(int err);
  bool Succeed() {
    SetError(0);
    return true;
  }

  std::string com1Device_;
  std::map<CommHandle, Port> ports_;
  // Handles are never reused, so a copy kept after a close can never address a later port.
  CommHandle nextHandle_ = 1;
  uint32_t lastError_ = kErrNone;
  int lastErrno_ = 0;
};

}  // namespace platform
