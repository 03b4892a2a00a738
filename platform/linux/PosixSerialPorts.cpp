#include "platform/linux/PosixSerialPorts.h"

#include "platform/linux/TermiosDcb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// errno values and the service's error codes. The first row of a code gives the system
// text ErrorText shows for that code when it has no errno of its own at hand.
struct ErrnoCode {
  int err;
  uint32_t code;
};
constexpr ErrnoCode kErrnoCodes[] = {
    {EBADF, kErrInvalidHandle},
    {ENOENT, kErrNotFound},
    {ENODEV, kErrNotFound},
    // A USB adapter that was pulled, or a device node without a device behind it.
    {ENXIO, kErrNotFound},
    // A path that names something other than a terminal is no serial port.
    {ENOTTY, kErrNotFound},
    {EACCES, kErrAccessDenied},
    {EPERM, kErrAccessDenied},
    {EROFS, kErrAccessDenied},
    {EBUSY, kErrSharingViolation},
    // Only the lock of another opener reaches the error record with EWOULDBLOCK: reads and
    // writes handle their own "try again".
    {EWOULDBLOCK, kErrSharingViolation},
    {EINVAL, kErrInvalidParameter},
    {ETIMEDOUT, kErrTimeout},
    {EIO, kErrGenFailure},
    {ENODEV, kErrDeviceGone},
};

// The one place where errno values become the service's error codes.
uint32_t MapErrno(int err) {
  if (err == 0) return kErrNone;
  for (const ErrnoCode& row : kErrnoCodes) {
    if (row.err == err) return row.code;
  }
  return kErrGenFailure;
}

int RepresentativeErrno(uint32_t code) {
  for (const ErrnoCode& row : kErrnoCodes) {
    if (row.code == code) return row.err;
  }
  return 0;
}

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer); these
// overloads accept either.
[[maybe_unused]] const char* StrErrorResult(const char* text, const char*) { return text; }
[[maybe_unused]] const char* StrErrorResult(int rc, const char* buffer) { return rc == 0 ? buffer : ""; }

// multiplier * size + constant in milliseconds, saturated instead of wrapping: every wait is
// capped afterwards anyway.
uint64_t TotalTimeoutMs(uint32_t multiplier, uint32_t constant, size_t size) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (multiplier != 0 && size > (kMax - constant) / multiplier) return kMax;
  return uint64_t{multiplier} * size + constant;
}

milliseconds CappedWait(uint64_t totalMs, milliseconds cap) {
  return totalMs < static_cast<uint64_t>(cap.count()) ? milliseconds(totalMs) : cap;
}

// A time left as a poll() time-out, rounded up so that a wait never ends before its time.
int PollTimeout(Clock::duration left) {
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool EqualsComName(const fw::WString& name, std::u16string_view port) {
  if (name.size() != port.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != port[i]) return false;
  }
  return true;
}

}  // namespace

PosixSerialPorts::Port::~Port() {
  // The exclusive mode belongs to the tty, not to the descriptor: without clearing it, a
  // tty that stays open elsewhere (a pseudo-terminal's slave, say) refuses the next open
  // by anyone but root. The lock goes with the descriptor.
  if (fd) ::ioctl(fd.Get(), TIOCNXCL);
}

PosixSerialPorts::PosixSerialPorts(std::string com1Device) : com1Device_(std::move(com1Device)) {}

PosixSerialPorts::~PosixSerialPorts() = default;

PosixSerialPorts::Port* PosixSerialPorts::Find(CommHandle h) {
  auto it = ports_.find(h);
  return it == ports_.end() ? nullptr : &it->second;
}

void PosixSerialPorts::SetError(int err) {
  lastErrno_ = err;
  lastError_ = MapErrno(err);
}

bool PosixSerialPorts::FailIo(int err) {
  SetError(err);
  if (err == EIO || err == ENXIO || err == ENODEV) lastError_ = kErrDeviceGone;
  return false;
}

CommHandle PosixSerialPorts::Open(const fw::WString& name) {
  std::string path;
  if (EqualsComName(name, u"COM1:")) {
    path = com1Device_;
  } else if (!name.empty() && name.front() == u'/') {
    path = fw::ToUtf8(name);
  }
  if (path.empty() || path.find('\0') != std::string::npos) {
    SetError(ENOENT);
    return 0;
  }

  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    SetError(errno);
    return 0;
  }
  termios t{};
  if (::tcgetattr(fd.Get(), &t) != 0) {
    SetError(errno);
    return 0;
  }
  // The lock comes before any change, so that a refused second opener never touches the
  // settings of the port's owner.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    SetError(errno);
    return 0;
  }
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  // Reads wait through poll(), never in the line discipline.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0) {
    SetError(errno);
    return 0;
  }
  // Last, so that no failure after it has to give the exclusive mode back.
  if (::ioctl(fd.Get(), TIOCEXCL) != 0) {
    SetError(errno);
    return 0;
  }

  CommHandle h = nextHandle_++;
  ports_.try_emplace(h, std::move(fd));
  SetError(0);
  return h;
}

bool PosixSerialPorts::Close(CommHandle h) {
  if (ports_.erase(h) == 0) return Fail(EBADF);
  return Succeed();
}

bool PosixSerialPorts::GetCommState(CommHandle h, Dcb& dcb) {
  Port* port = Find(h);
  if (port == nullptr) return Fail(EBADF);
  termios t{};
  if (::tcgetattr(port->fd.Get(), &t) != 0) return Fail(errno);
  dcb = DcbOfTermios(t);
  return Succeed();
}

bool PosixSerialPorts::SetCommState(CommHandle h, const Dcb& dcb) {
  Port* port = Find(h);
  if (port == nullptr) return Fail(EBADF);
  termios before{};
  if (::tcgetattr(port->fd.Get(), &before) != 0) return Fail(errno);
  termios wanted = before;
  if (!ApplyDcb(dcb, wanted)) return Fail(EINVAL);
  if (::tcsetattr(port->fd.Get(), TCSANOW, &wanted) != 0) return Fail(errno);
  // tcsetattr succeeds when any part of the change was made, and some adapters quietly
  // keep what they cannot do; reading back tells a setting the device refused.
  termios now{};
  if (::tcgetattr(port->fd.Get(), &now) != 0) return Fail(errno);
  if (!(DcbOfTermios(now) == dcb)) {
    ::tcsetattr(port->fd.Get(), TCSANOW, &before);
    return Fail(EINVAL);
  }
  return Succeed();
}

bool PosixSerialPorts::GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) {
  Port* port = Find(h);
  if (port == nullptr) return Fail(EBADF);
  timeouts = port->timeouts;
  return Succeed();
}

bool PosixSerialPorts::SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) {
  Port* port = Find(h);
  if (port == nullptr) return Fail(EBADF);
  port->timeouts = timeouts;
  return Succeed();
}

bool PosixSerialPorts::Read(CommHandle h, uint8_t* buffer, size_t size, size_t& read) {
  read = 0;
  Port* port = Find(h);
  if (port == nullptr) return Fail(EBADF);
  if (size == 0) return Succeed();
  if (buffer == nullptr) return Fail(EINVAL);

  const int fd = port->fd.Get();
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return FailIo(errno);
    if (ready == 0) return Succeed();  // nothing buffered

    const ssize_t n = ::read(fd, buffer, size);
    if (n > 0) {
      read = static_cast<size_t>(n);
      return Succeed();
    }
    if (n == 0) {
      // A terminal reads nothing although poll() saw it ready only when it was hung up:
      // the device went away or the other end of the pseudo-terminal closed.
      if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return FailIo(EIO);
      return Succeed();
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return Succeed();
    return FailIo(errno);
  }
}

int PosixSerialPorts::ReadinessFd(CommHandle h) {
  Port* port = Find(h);
  if (port == nullptr) {
    SetError(EBADF);
    return -1;
  }
  SetError(0);
  return port->fd.Get();
}

bool PosixSerialPorts::Write(CommHandle h, const uint8_t* data, size_t size, size_t& written) {
  written = 0;
  Port* port = Find(h);
  if (port == nullptr) return Fail(EBADF);
  if (size == 0) return Succeed();
  if (data == nullptr) return Fail(EINVAL);

  const CommTimeouts& to = port->timeouts;
  const uint64_t totalMs = TotalTimeoutMs(to.WriteTotalTimeoutMultiplier, to.WriteTotalTimeoutConstant, size);
  const milliseconds wait = totalMs == 0 ? kWriteCap : CappedWait(totalMs, kWriteCap);
  const Clock::time_point deadline = Clock::now() + wait;

  const int fd = port->fd.Get();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      written = done;
      return FailIo(errno);
    }
    // The driver's queue is full: wait for room until the time is up.
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, PollTimeout(deadline - Clock::now()));
    if (ready < 0 && errno != EINTR) {
      written = done;
      return FailIo(errno);
    }
    if (ready == 0) break;
  }
  written = done;
  if (done < size) {
    // Like a driver's write time-out: the call succeeds and the count tells the caller.
    SetError(ETIMEDOUT);
    return true;
  }
  return Succeed();
}

fw::WString PosixSerialPorts::ErrorText(uint32_t error) const {
  if (error == kErrNone) return {};
  // The raw errno of the last failure says more than the code it was mapped to.
  const int err = (error == lastError_ && lastErrno_ != 0) ? lastErrno_ : RepresentativeErrno(error);
  if (err == 0) return {};
  char buffer[256] = {};
  const char* text = StrErrorResult(::strerror_r(err, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return {};
  return fw::FromUtf8(text) + u"\r\n";
}

}  // namespace platform
