#pragma once
// The serial port service, shaped after the handheld's port calls so the link logic above
// it reads the same: open by name, read and write the device control block and the
// time-outs, byte reads that return what is buffered, synchronous writes, close.
//
// Handles are small non-zero numbers from a table of the service; 0 is never a valid
// handle. A call with a handle that is not open fails with kErrInvalidHandle, so a copy of
// a handle kept after the port was closed is harmless.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "text/Text.h"

namespace platform {

using CommHandle = uintptr_t;

// Error codes of the service (GetLastError). errno values are mapped in one place per
// implementation; these are the ones callers look at.
inline constexpr uint32_t kErrNone = 0;
inline constexpr uint32_t kErrInvalidHandle = 6;
inline constexpr uint32_t kErrNotFound = 2;
inline constexpr uint32_t kErrAccessDenied = 5;
inline constexpr uint32_t kErrSharingViolation = 32;
inline constexpr uint32_t kErrGenFailure = 31;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrTimeout = 1460;
// A read or write found the device gone: unplugged, powered down, or the other end of a
// pseudo-terminal closed. The port stays useless until it is closed and opened again.
inline constexpr uint32_t kErrDeviceGone = 1167;

// The fields of the device control block the link sets; the rest of the driver's settings
// are kept as they were.
struct Dcb {
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  bool fParity = false;  // parity checking of received bytes
  friend bool operator==(const Dcb&, const Dcb&) = default;
};

inline constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
  friend bool operator==(const CommTimeouts&, const CommTimeouts&) = default;
};

class ISerialPorts {
 public:
  virtual ~ISerialPorts() = default;

  // Opens a port by name ("COM1:") for reading and writing, exclusively. Returns 0 on
  // failure (the reason in GetLastError).
  virtual CommHandle Open(const fw::WString& name) = 0;
  virtual bool Close(CommHandle h) = 0;

  virtual bool GetCommState(CommHandle h, Dcb& dcb) = 0;
  virtual bool SetCommState(CommHandle h, const Dcb& dcb) = 0;
  virtual bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) = 0;
  virtual bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) = 0;

  // Reads up to size bytes. With ReadIntervalTimeout MAXDWORD and both totals 0 it returns
  // at once with what is buffered, possibly nothing (read = 0, result true).
  virtual bool Read(CommHandle h, uint8_t* buffer, size_t size, size_t& read) = 0;
  // Writes synchronously; written tells how many bytes the driver took.
  virtual bool Write(CommHandle h, const uint8_t* data, size_t size, size_t& written) = 0;

  // A descriptor that polls readable whenever Read has bytes for h or would fail (the
  // device gone), for a message loop to watch; -1 when the port cannot be watched and has
  // to be polled. The descriptor stays the port's: it is valid until h is closed.
  virtual int ReadinessFd(CommHandle h) {
    (void)h;
    return -1;
  }

  virtual uint32_t GetLastError() const = 0;
  // The system's own text for an error code, ending in "\r\n" like the handheld's message
  // table texts; may be empty.
  virtual fw::WString ErrorText(uint32_t error) const = 0;
};

}  // namespace platform
