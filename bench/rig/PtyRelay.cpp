#include "bench/rig/PtyRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace bench {

namespace {

// One byte at 9600 baud, 8N1: ten bit times.
constexpr std::chrono::microseconds kByteTime{1042};
// A line longer than this is no reader line; it is kept cut so memory stays bounded.
constexpr std::size_t kMaxKeptLine = 256;
// When a write finds the other side full, the relay looks again this much later.
constexpr std::chrono::milliseconds kRetryWrite{1};

timespec ToTimespec(Clock::duration wait) {
  wait = std::max(wait, Clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

bool MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

PtyRelay::~PtyRelay() { Stop(); }

int PtyRelay::Start(const std::string& readerDevice, bool paceToReader) {
  pace_ = paceToReader;
  reader_.Reset(::open(readerDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!reader_.Valid()) {
    error_ = readerDevice + ": " + std::strerror(errno);
    return -1;
  }
  master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0) {
    error_ = std::string("posix_openpt: ") + std::strerror(errno);
    return -1;
  }
  std::array<char, 128> path{};
  if (::ptsname_r(master_.Get(), path.data(), path.size()) != 0) {
    error_ = "ptsname_r failed";
    return -1;
  }
  slave_.Reset(::open(path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!slave_.Valid() || !MakeRaw(slave_.Get()) || !MakeRaw(reader_.Get())) {
    error_ = std::string(path.data()) + ": " + std::strerror(errno);
    return -1;
  }
  wake_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_.Valid()) {
    error_ = std::string("eventfd: ") + std::strerror(errno);
    return -1;
  }
  slavePath_ = path.data();
  // The one call here that reports failure by throwing; the benchmarks cannot go on
  // without the thread, and the exception ends them with its own message.
  thread_ = std::thread(&PtyRelay::Run, this);
  return 0;
}

void PtyRelay::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
  thread_.join();
}

void PtyRelay::SetDelay(std::chrono::microseconds delay) {
  std::lock_guard lock(mutex_);
  delay_ = delay;
}

std::vector<PtyRelay::Line> PtyRelay::TakeLinesToProgram() {
  std::lock_guard lock(mutex_);
  return std::exchange(linesToProgram_, {});
}

std::vector<PtyRelay::Line> PtyRelay::TakeLinesToReader() {
  std::lock_guard lock(mutex_);
  return std::exchange(linesToReader_, {});
}

std::optional<Clock::time_point> PtyRelay::FirstByteFromProgram() const {
  std::lock_guard lock(mutex_);
  return firstFromProgram_;
}

void PtyRelay::ReadSide(int fd, bool fromReader, Clock::time_point now) {
  std::array<char, 512> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got <= 0) return;
    std::lock_guard lock(mutex_);
    for (ssize_t i = 0; i < got; ++i) {
      const char byte = buffer[static_cast<size_t>(i)];
      if (fromReader) {
        // Bytes keep their order and their spacing; a delay changed meanwhile applies
        // from the first byte that can take it without overtaking one before it.
        const Clock::time_point at = std::max(now + delay_, lastToProgram_);
        lastToProgram_ = at;
        toProgram_.push_back({byte, at});
      } else {
        if (!firstFromProgram_) firstFromProgram_ = now;
        // Paced, each byte reaches the reader one byte time after the line is free for it.
        const Clock::time_point at = pace_ ? std::max(now, lastToReader_) + kByteTime : now;
        lastToReader_ = at;
        toReader_.push_back({byte, at});
      }
    }
  }
}

void PtyRelay::Flush(Clock::time_point now) {
  auto flush = [now](std::vector<Due>& queue, int fd, std::string& partial, std::vector<Line>& lines) {
    size_t sent = 0;
    while (sent < queue.size() && queue[sent].at <= now) {
      const char byte = queue[sent].byte;
      // Taken before the write: the relay may lose the processor between the write and a
      // clock read behind it while the program already works on the line, which made some
      // latencies look shorter than the program's own fixed wait.
      const Clock::time_point writtenFrom = Clock::now();
      if (::write(fd, &byte, 1) != 1) break;
      if (byte == '\r') {
        lines.push_back({std::move(partial), writtenFrom});
        partial.clear();
      } else if (partial.size() < kMaxKeptLine) {
        partial.push_back(byte);
      }
      ++sent;
    }
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(sent));
  };
  flush(toProgram_, master_.Get(), partialToProgram_, linesToProgram_);
  flush(toReader_, reader_.Get(), partialToReader_, linesToReader_);
}

void PtyRelay::Run() {
  std::array<pollfd, 3> fds{};
  bool readerOpen = true;
  for (;;) {
    std::optional<Clock::time_point> wakeAt;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      Flush(Clock::now());
      for (const auto* queue : {&toProgram_, &toReader_}) {
        if (queue->empty()) continue;
        // A byte whose time has passed after the flush is one the other side did not
        // take yet: it is tried again a little later.
        Clock::time_point due = queue->front().at;
        if (due <= Clock::now()) due = Clock::now() + kRetryWrite;
        wakeAt = wakeAt ? std::min(*wakeAt, due) : due;
      }
    }
    fds[0] = {readerOpen ? reader_.Get() : -1, POLLIN, 0};
    fds[1] = {master_.Get(), POLLIN, 0};
    fds[2] = {wake_.Get(), POLLIN, 0};
    timespec timeout{};
    if (wakeAt) timeout = ToTimespec(*wakeAt - Clock::now());
    const int ready = ::ppoll(fds.data(), fds.size(), wakeAt ? &timeout : nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const Clock::time_point now = Clock::now();
    if (fds[2].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
    }
    if (fds[0].revents & POLLIN) {
      ReadSide(reader_.Get(), true, now);
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // The emulator has gone; polling its dead device again would spin.
      readerOpen = false;
    }
    if (fds[1].revents & POLLIN) ReadSide(master_.Get(), false, now);
  }
}

}  // namespace bench
