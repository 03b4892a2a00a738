#pragma once
// Reading and writing a pseudo-terminal the way the application does, with bounded waits on
// poll() instead of sleeps.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/UniqueFd.h"

namespace sim::test {

using platform::UniqueFd;

// Long enough for any answer on a loaded machine; only reached when an answer is missing.
inline constexpr std::chrono::milliseconds kAnswerTimeout{2000};
// How long a silent reader is listened to. Far longer than any answer needs without faults.
inline constexpr std::chrono::milliseconds kSilenceWindow{300};

// Opens the slave as the application opens its serial port: read-write, not as the
// controlling terminal, non-blocking, raw.
inline UniqueFd OpenLikeTheApplication(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.Valid()) {
    termios settings{};
    if (::tcgetattr(fd.Get(), &settings) == 0) {
      ::cfmakeraw(&settings);
      ::tcsetattr(fd.Get(), TCSANOW, &settings);
    }
  }
  return fd;
}

inline bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(kAnswerTimeout.count()));
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline After(std::chrono::milliseconds timeout) { return std::chrono::steady_clock::now() + timeout; }

// Waits until fd is readable or the deadline has passed; false once it has passed.
inline bool WaitReadable(int fd, Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    return false;
  }
  pollfd p{fd, POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(left.count()));
  return true;
}

inline bool WouldBlock(ssize_t got) { return got < 0 && (errno == EAGAIN || errno == EINTR); }

// Reads byte by byte until terminator (kept in the result) or until timeout has passed;
// nothing when the terminator did not come. Bytes after the terminator stay unread.
inline std::optional<std::string> ReadUntil(int fd, char terminator,
                                            std::chrono::milliseconds timeout = kAnswerTimeout) {
  const Deadline deadline = After(timeout);
  std::string text;
  while (true) {
    char c = 0;
    const ssize_t got = ::read(fd, &c, 1);
    if (got == 1) {
      text.push_back(c);
      if (c == terminator) {
        return text;
      }
    } else if (!WouldBlock(got) || !WaitReadable(fd, deadline)) {
      return std::nullopt;
    }
  }
}

inline std::optional<std::string> ReadLine(int fd) { return ReadUntil(fd, '\r'); }

// Everything that arrives within window, or until the other end goes away.
inline std::string ReadFor(int fd, std::chrono::milliseconds window) {
  const Deadline deadline = After(window);
  std::string text;
  while (true) {
    char buffer[64];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (!WouldBlock(got) || !WaitReadable(fd, deadline)) {
      return text;
    }
  }
}

}  // namespace sim::test
